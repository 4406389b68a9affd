#pragma once

#include <QAbstractButton>

namespace orvu {

// A full-width menu entry at the bottom of the panel: a symbol in a 16-point column, then the
// label; the whole row is the hit area, washed while hovered and ringed while focused.
class PopoverMenuButton : public QAbstractButton {
    Q_OBJECT
public:
    PopoverMenuButton(const QString &label, const QString &systemImage, QWidget *parent = nullptr);

    // Shows a small spinner in place of the symbol.
    void setSpinning(bool spinning);
    bool isSpinning() const { return m_spinning; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    QString m_systemImage;
    bool m_spinning = false;
    int m_spinTimer = 0;
    int m_angle = 0;
};

} // namespace orvu
