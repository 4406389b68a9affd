#pragma once

#include "core/bindings/repo_binding.h"

#include <QWidget>

#include <functional>

class QLabel;

namespace orvu {

class PlainButton;

// A binding whose folder can no longer be used: its name, "Needs re-linking", "Re-link"
// (which opens the add-repo flow) and an immediate remove.
class RelinkRowView : public QWidget {
    Q_OBJECT
public:
    RelinkRowView(const RepoBinding &binding, std::function<void()> onRelink,
                  std::function<void()> onRemove, QWidget *parent = nullptr);

    void setBinding(const RepoBinding &binding);
    QString bindingId() const { return m_bindingId; }
    QLabel *nameLabel() const { return m_name; }
    PlainButton *relinkButton() const { return m_relink; }
    PlainButton *removeButton() const { return m_remove; }

private:
    QString m_bindingId;
    QLabel *m_name;
    PlainButton *m_relink;
    PlainButton *m_remove;
};

} // namespace orvu
