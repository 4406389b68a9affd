#pragma once

#include "core/sync/sync_types.h"

#include <QWidget>

#include <functional>
#include <optional>

class QCheckBox;
class QGraphicsOpacityEffect;
class QLabel;
class QStackedWidget;

namespace orvu {

class ElidedLabel;
class PlainButton;

// One pending change: a checkbox that puts the file into the next sync, its kind of change or
// its transfer status, a file-type icon and the path (cut at its head so that the file name
// stays visible). Pressing the row shows the file in the file manager; while hovered or
// focused, and while the file takes no part in a running transfer, it offers to discard the
// change. Keys: Space toggles the checkbox, Enter reveals, Delete asks to discard.
class PendingChangeRowView : public QWidget {
    Q_OBJECT
public:
    struct Actions {
        std::function<void(const QString &path, bool selected)> setSelected;
        std::function<void(const QString &path)> reveal;
        std::function<void(const PendingChange &change)> askDiscard;
    };

    PendingChangeRowView(Actions actions, QWidget *parent = nullptr);

    // Updates only what differs from the values shown.
    void setValues(const PendingChange &change, bool selected,
                   std::optional<FileTransferStatus> status);
    const PendingChange &change() const { return m_change; }
    bool isSelected() const { return m_selected; }

    QCheckBox *checkBox() const { return m_checkBox; }
    PlainButton *discardButton() const { return m_discardButton; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void updateDiscardButton();
    void showMark();

    Actions m_actions;
    PendingChange m_change;
    bool m_selected = false;
    bool m_hasValues = false;
    std::optional<FileTransferStatus> m_status;
    bool m_hovered = false;

    QWidget *m_content;
    QGraphicsOpacityEffect *m_dimming;
    QCheckBox *m_checkBox;
    QStackedWidget *m_mark;
    QLabel *m_letter;
    QLabel *m_doneMark;
    QLabel *m_fileIcon;
    ElidedLabel *m_path;
    PlainButton *m_discardButton;
};

} // namespace orvu
