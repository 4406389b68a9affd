#pragma once

#include "core/sync/sync_types.h"

#include <QWidget>

#include <functional>
#include <optional>

class QCheckBox;
class QGraphicsOpacityEffect;

namespace orvu {

class PlainButton;

// One pending change: a checkbox that puts the file into the next sync, its kind of change or
// its transfer status, a file-type icon and the path (cut at its head so that the file name
// stays visible). Pressing the row shows the file in the file manager; while hovered or
// focused, and while the file takes no part in a running transfer, it offers to discard the
// change. Keys: Space toggles the checkbox, Enter reveals, Delete asks to discard.
//
// A list may hold fifty of these, so the row draws its mark, icon and path itself and has
// only two child widgets: the checkbox and the discard button.
class PendingChangeRowView : public QWidget {
    Q_OBJECT
public:
    struct Actions {
        std::function<void(const QString &path, bool selected)> setSelected;
        std::function<void(const QString &path)> reveal;
        std::function<void(const PendingChange &change)> askDiscard;
    };

    explicit PendingChangeRowView(Actions actions, QWidget *parent = nullptr);

    // Redraws only when something shown changed.
    void setValues(const PendingChange &change, bool selected,
                   std::optional<FileTransferStatus> status);
    const PendingChange &change() const { return m_change; }
    bool isSelected() const { return m_selected; }

    QCheckBox *checkBox() const { return m_checkBox; }
    PlainButton *discardButton() const { return m_discardButton; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void setHovered(bool hovered);
    void updateSpinner();

    Actions m_actions;
    PendingChange m_change;
    bool m_selected = false;
    bool m_hasValues = false;
    std::optional<FileTransferStatus> m_status;
    bool m_hovered = false;
    int m_spinTimer = 0;
    int m_angle = 0;

    QCheckBox *m_checkBox;
    QGraphicsOpacityEffect *m_dimming;
    PlainButton *m_discardButton;
};

} // namespace orvu
