#pragma once

#include "core/account/user.h"
#include "gui/views/popover_content_view.h"

#include <QHash>
#include <QWidget>

class QVBoxLayout;

namespace orvu {

class MultiRepoHeaderView;
class RelinkRowView;
class RepoRowView;
class SyncCoordinator;
struct ViewServices;

// The panel while signed in: the header, one row per engine and per binding that needs
// re-linking (or the empty state), and the menu. Rows are kept per engine id and binding id
// across changes of the coordinator's lists.
class SignedInMultiRepoView : public QWidget {
    Q_OBJECT
public:
    SignedInMultiRepoView(const User &user, SyncCoordinator &coordinator, ViewServices &services,
                          const PopoverCallbacks &callbacks, QWidget *parent = nullptr);

    void setUser(const User &user);
    MultiRepoHeaderView *header() const { return m_header; }
    // The rows shown, in list order.
    QList<RepoRowView *> repoRows() const;
    QList<RelinkRowView *> relinkRows() const;

private:
    void rebuildRows();

    SyncCoordinator &m_coordinator;
    ViewServices &m_services;
    PopoverCallbacks m_callbacks;
    MultiRepoHeaderView *m_header;
    QWidget *m_list;
    QWidget *m_listArea;
    QVBoxLayout *m_rowsLayout;
    QWidget *m_emptyState;
    QWidget *m_emptyStateDivider;
    QHash<QString, RepoRowView *> m_repoRows;
    QHash<QString, RelinkRowView *> m_relinkRows;
    QList<QWidget *> m_order;
};

} // namespace orvu
