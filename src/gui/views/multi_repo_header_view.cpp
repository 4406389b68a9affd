#include "gui/views/multi_repo_header_view.h"

#include "core/bindings/sync_coordinator.h"
#include "core/sync/sync_engine.h"
#include "gui/views/panel_controls.h"
#include "gui/views/symbol.h"
#include "gui/views/view_rules.h"
#include "gui/views/view_style.h"

#include <QHBoxLayout>
#include <QLabel>

namespace orvu {

MultiRepoHeaderView::MultiRepoHeaderView(const User &user, SyncCoordinator &coordinator,
                                         std::function<void()> onSignOut, QWidget *parent)
    : QWidget(parent), m_coordinator(coordinator) {
    const QPalette palette = style::current();
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(style::kEdge, 3 * style::kUnit, style::kEdge, 3 * style::kUnit);
    row->setSpacing(style::kGap);
    auto *avatar = new QLabel(this);
    avatar->setPixmap(symbolPixmap(QStringLiteral("person.crop.circle.fill"),
                                   style::secondary(palette), 24, devicePixelRatioF()));
    avatar->setFixedWidth(style::kLeadColumn);
    row->addWidget(avatar);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(style::kUnit / 2);
    // A long address gives way with an ellipsis; the sign-out button never does.
    m_name = new ElidedLabel(Qt::ElideRight, this);
    m_name->setFont(style::headline());
    texts->addWidget(m_name);
    auto *statusRow = new QHBoxLayout;
    statusRow->setSpacing(style::kUnit + 2);
    m_dot = new StatusDot(this);
    statusRow->addWidget(m_dot);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("headerStatus"));
    m_status->setFont(style::caption());
    style::setTextColor(m_status, style::secondary(palette));
    statusRow->addWidget(m_status, 1);
    texts->addLayout(statusRow);
    row->addLayout(texts, 1);

    m_signOut = new OutlineButton(QStringLiteral("rectangle.portrait.and.arrow.right"), 11,
                                  style::caption(), 10, 28, this);
    m_signOut->setLabel(QStringLiteral("Logout"));
    m_signOut->setObjectName(QStringLiteral("logoutButton"));
    m_signOut->setToolTip(QStringLiteral("Sign out of Orvu"));
    connect(m_signOut, &QAbstractButton::clicked, this, [onSignOut = std::move(onSignOut)] {
        if (onSignOut)
            onSignOut();
    });
    row->addWidget(m_signOut);

    // The summary depends on the engines' states and counts, never on their progress.
    connect(&coordinator, &SyncCoordinator::enginesChanged, this, &MultiRepoHeaderView::refresh);
    connect(&coordinator, &SyncCoordinator::engineChanged, this, &MultiRepoHeaderView::refresh);
    setUser(user);
    refresh();
}

void MultiRepoHeaderView::setUser(const User &user) {
    m_name->setText(rules::userDisplayName(user.username, user.email));
}

void MultiRepoHeaderView::refresh() {
    const SyncState::Kind aggregate = m_coordinator.aggregateState().kind;
    const qint64 remote = m_coordinator.remoteTotal();
    const std::optional<QString> checkFailure = m_coordinator.checkFailure();
    const QString text = rules::headerStatusText(m_coordinator.anySyncing(), aggregate, remote,
                                                 m_coordinator.pendingTotal(),
                                                 m_coordinator.engines().size(), checkFailure);
    if (m_status->text() != text)
        m_status->setText(text);
    m_dot->setAccessibleDescription(text);
    m_dot->setColor(style::tint(
        rules::headerStatusColor(aggregate, remote, checkFailure.has_value()), style::current()));
}

} // namespace orvu
