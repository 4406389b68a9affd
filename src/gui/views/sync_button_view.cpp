#include "gui/views/sync_button_view.h"

#include "core/sync/sync_engine.h"
#include "gui/views/panel_controls.h"
#include "gui/views/view_rules.h"
#include "gui/views/view_services.h"
#include "gui/views/view_style.h"

#include <QVBoxLayout>

namespace orvu {

SyncButtonView::SyncButtonView(SyncEngine *engine, ViewServices &services,
                               std::function<void()> onSyncNow, QWidget *parent)
    : QWidget(parent), m_engine(engine), m_services(services), m_onSyncNow(std::move(onSyncNow)) {
    auto *column = new QVBoxLayout(this);
    // Under the repo's name, on the text edge.
    column->setContentsMargins(style::kTextEdge, style::kUnit, style::kEdge, 3 * style::kUnit);
    m_button = new OutlineButton(QStringLiteral("arrow.triangle.2.circlepath"), 13,
                                 style::callout(true), 3 * style::kUnit, 30, this);
    m_button->setObjectName(QStringLiteral("syncButton"));
    m_button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(m_button, &QAbstractButton::clicked, this, &SyncButtonView::handleSyncTap);
    column->addWidget(m_button);
    refresh();
}

void SyncButtonView::setEngine(SyncEngine *engine) {
    m_engine = engine;
    refresh();
}

void SyncButtonView::setLabel(const QString &label) {
    m_label = label;
    refresh();
}

void SyncButtonView::refresh() {
    m_button->setLabel(m_checkingPreview ? QStringLiteral("Checking...") : m_label);
    const bool syncing = m_engine && m_engine->state().kind == SyncState::syncing;
    m_button->setEnabled(m_engine && !syncing && !m_checkingPreview);
}

void SyncButtonView::handleSyncTap() {
    if (!m_engine || m_checkingPreview)
        return;
    const auto &remote = m_engine->remoteStatus();
    if (remote && remote->conflicts >= 1)
        checkPreviewThenSync();
    else
        askDeleteOrSync();
}

QCoro::Task<> SyncButtonView::checkPreviewThenSync() {
    const QPointer<SyncButtonView> self(this);
    m_checkingPreview = true;
    refresh();
    QCoro::Task<std::optional<SyncPreview>> previewing = m_engine->preview();
    const std::optional<SyncPreview> preview = co_await previewing;
    if (!self)
        co_return;
    m_checkingPreview = false;
    refresh();
    if (!m_engine)
        co_return;
    // No plan (the dry run failed) counts as a plan without conflicts.
    if (preview && preview->conflicts >= 1) {
        m_syncPreview = preview;
        // Agreeing to keep both versions says nothing about files the sync would delete
        // here, so those are still asked about before anything is removed.
        m_services.alerts.ask(this, rules::conflictAlert(preview), QStringLiteral("Sync"), false,
                              [self] {
                                  if (self && self->m_engine)
                                      self->askDeleteOrSync();
                              });
        co_return;
    }
    askDeleteOrSync();
}

void SyncButtonView::askDeleteOrSync() {
    const QStringList deletions = rules::remoteDeletePaths(m_engine->remoteStatus());
    if (deletions.isEmpty()) {
        if (m_onSyncNow)
            m_onSyncNow();
        return;
    }
    const QPointer<SyncButtonView> self(this);
    m_services.alerts.ask(this, rules::deleteAlert(deletions), QStringLiteral("Sync"), true,
                          [self] {
                              if (self && self->m_onSyncNow)
                                  self->m_onSyncNow();
                          });
}

} // namespace orvu
