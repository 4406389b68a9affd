#include "gui/views/signed_in_multi_repo_view.h"

#include "core/bindings/sync_coordinator.h"
#include "core/sync/sync_engine.h"
#include "gui/views/multi_repo_header_view.h"
#include "gui/views/panel_controls.h"
#include "gui/views/popover_menu_button.h"
#include "gui/views/relink_row_view.h"
#include "gui/views/repo_row_view.h"
#include "gui/views/view_style.h"

#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

#include <algorithm>

namespace orvu {

namespace {

constexpr int kMaxListHeight = 420;

std::function<void()> guarded(const std::function<void()> &callback) {
    return [callback] {
        if (callback)
            callback();
    };
}

} // namespace

SignedInMultiRepoView::SignedInMultiRepoView(const User &user, SyncCoordinator &coordinator,
                                             ViewServices &services,
                                             const PopoverCallbacks &callbacks, QWidget *parent)
    : QWidget(parent), m_coordinator(coordinator), m_services(services), m_callbacks(callbacks) {
    const QPalette palette = style::current();
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, style::kUnit);
    column->setSpacing(0);
    m_header = new MultiRepoHeaderView(user, coordinator, callbacks.onSignOut, this);
    column->addWidget(m_header);
    column->addWidget(new Divider(this));

    m_list = new QWidget;
    m_rowsLayout = new QVBoxLayout(m_list);
    m_rowsLayout->setContentsMargins(0, 0, 0, 0);
    m_rowsLayout->setSpacing(0);
    m_listArea = new CappedScrollArea(kMaxListHeight, m_list, this);
    column->addWidget(m_listArea);

    m_emptyState = new QWidget(this);
    auto *empty = new QVBoxLayout(m_emptyState);
    empty->setContentsMargins(5 * style::kUnit, 4 * style::kUnit, 5 * style::kUnit,
                              4 * style::kUnit);
    empty->setSpacing(style::kGap);
    auto *noRepos = new QLabel(QStringLiteral("No repos yet"), m_emptyState);
    noRepos->setObjectName(QStringLiteral("noReposState"));
    noRepos->setFont(style::subheadline());
    style::setTextColor(noRepos, style::secondary(palette));
    empty->addWidget(noRepos, 0, Qt::AlignHCenter);
    auto *hint = new QLabel(
        QStringLiteral("Add a folder and bind it to one of your repos to start syncing."),
        m_emptyState);
    hint->setFont(style::caption());
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignHCenter);
    style::setTextColor(hint, style::secondary(palette));
    empty->addWidget(hint);
    column->addWidget(m_emptyState);
    // Every row ends with its own divider; this one closes the empty state.
    m_emptyStateDivider = new Divider(this);
    column->addWidget(m_emptyStateDivider);
    // While the panel is open it keeps its height when the list gets shorter (see
    // PopoverContentView); the room left over goes here, so the menu stays under the pointer.
    column->addStretch(1);

    auto addMenuButton = [&](const QString &label, const char *symbol, const char *id,
                             const std::function<void()> &action) {
        auto *button = new PopoverMenuButton(label, QString::fromLatin1(symbol), this);
        button->setObjectName(QString::fromLatin1(id));
        connect(button, &QAbstractButton::clicked, this, guarded(action));
        column->addWidget(button);
    };
    addMenuButton(QStringLiteral("Add Repo..."), "plus.circle", "addRepoButton",
                  callbacks.onAddRepo);
    column->addWidget(new Divider(this));
    addMenuButton(QStringLiteral("Check for Updates\u2026"), "arrow.down.app",
                  "checkForUpdatesButton", callbacks.onCheckForUpdates);
    addMenuButton(QStringLiteral("Sign Out"), "rectangle.portrait.and.arrow.right", "signOutButton",
                  callbacks.onSignOut);
    addMenuButton(QStringLiteral("Quit Orvu"), "power", "quitButton", callbacks.onQuit);

    connect(&coordinator, &SyncCoordinator::enginesChanged, this,
            &SignedInMultiRepoView::rebuildRows);
    rebuildRows();
}

void SignedInMultiRepoView::setUser(const User &user) {
    m_header->setUser(user);
}

void SignedInMultiRepoView::rebuildRows() {
    QList<QWidget *> order;
    QHash<QString, RepoRowView *> repoRows;
    for (SyncEngine *engine : m_coordinator.engines()) {
        const QString id = engine->id();
        if (repoRows.contains(id))
            continue; // one row per id, as the list is keyed
        RepoRowView *row = m_repoRows.take(id);
        if (row) {
            row->setEngine(engine);
        } else {
            const QPointer<SyncCoordinator> coordinator(&m_coordinator);
            row = new RepoRowView(
                engine, m_services,
                [coordinator, id] {
                    if (coordinator)
                        coordinator->removeBinding(id);
                },
                m_list);
        }
        repoRows.insert(id, row);
        order.append(row);
    }
    QHash<QString, RelinkRowView *> relinkRows;
    for (const RepoBinding &binding : m_coordinator.needsRelink()) {
        const QString id = binding.id();
        if (relinkRows.contains(id))
            continue;
        RelinkRowView *row = m_relinkRows.take(id);
        if (row) {
            row->setBinding(binding);
        } else {
            const QPointer<SyncCoordinator> coordinator(&m_coordinator);
            row = new RelinkRowView(
                binding, guarded(m_callbacks.onAddRepo),
                [coordinator, id] {
                    if (coordinator)
                        coordinator->removeBinding(id);
                },
                m_list);
        }
        relinkRows.insert(id, row);
        order.append(row);
    }
    // What is left went away. A row may be the sender of what led here (its remove button),
    // so it is deleted once control is back in the event loop.
    auto retire = [](QWidget *gone) {
        gone->hide();
        gone->deleteLater();
    };
    std::for_each(m_repoRows.cbegin(), m_repoRows.cend(), retire);
    std::for_each(m_relinkRows.cbegin(), m_relinkRows.cend(), retire);
    m_repoRows = std::move(repoRows);
    m_relinkRows = std::move(relinkRows);

    const bool any = m_coordinator.hasAnyBinding();
    m_listArea->setVisible(any);
    m_emptyState->setVisible(!any);
    m_emptyStateDivider->setVisible(!any);
    if (order == m_order)
        return;
    while (m_rowsLayout->count())
        delete m_rowsLayout->takeAt(0);
    for (QWidget *row : std::as_const(order)) {
        m_rowsLayout->addWidget(row);
        row->show();
    }
    m_order = std::move(order);
    requestVisualTabOrder(this);
}

QList<RepoRowView *> SignedInMultiRepoView::repoRows() const {
    QList<RepoRowView *> out;
    for (QWidget *row : m_order)
        if (auto *repo = qobject_cast<RepoRowView *>(row))
            out.append(repo);
    return out;
}

QList<RelinkRowView *> SignedInMultiRepoView::relinkRows() const {
    QList<RelinkRowView *> out;
    for (QWidget *row : m_order)
        if (auto *relink = qobject_cast<RelinkRowView *>(row))
            out.append(relink);
    return out;
}

} // namespace orvu
