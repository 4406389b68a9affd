#pragma once

#include "gui/views/view_rules.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>

class QWidget;

namespace orvu {

// The panel's confirmations: a window-modal message box over the panel (which stays open while
// it is shown) whose default and escape button is "Cancel", so that Enter never confirms a
// deletion by accident. The box does not block: `onConfirm` runs when the user confirms.
class Alerts {
public:
    void ask(QWidget *anchor, const rules::AlertText &text, const QString &confirmLabel,
             bool destructive, std::function<void()> onConfirm);

    // For tests: while set, every ask() shows nothing and is answered at once (true confirms).
    void answerWith(std::optional<bool> answer) { m_answer = answer; }
    // Every alert answered that way, in order.
    const QList<rules::AlertText> &asked() const { return m_asked; }

private:
    std::optional<bool> m_answer;
    QList<rules::AlertText> m_asked;
};

} // namespace orvu
