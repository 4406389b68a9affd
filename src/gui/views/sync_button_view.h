#pragma once

#include "core/sync/sync_types.h"

#include <QPointer>
#include <QWidget>

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

namespace orvu {

class OutlineButton;
struct ViewServices;
class SyncEngine;

// The sync button of a repo row. Before syncing it checks what the server side would do:
// conflicts reported by the last status are confirmed against a dry run ("Checking..."
// meanwhile, the button disabled), and files deleted on the server are confirmed before the
// sync removes them here, whether or not conflicts were confirmed first.
class SyncButtonView : public QWidget {
    Q_OBJECT
public:
    SyncButtonView(SyncEngine *engine, ViewServices &services, std::function<void()> onSyncNow,
                   QWidget *parent = nullptr);

    void setEngine(SyncEngine *engine);
    void setLabel(const QString &label);
    // Re-reads the engine's state for the button's enablement.
    void refresh();

    void handleSyncTap();

    bool isCheckingPreview() const { return m_checkingPreview; }
    const std::optional<SyncPreview> &syncPreview() const { return m_syncPreview; }
    OutlineButton *button() const { return m_button; }

private:
    QCoro::Task<> checkPreviewThenSync();
    void askDeleteOrSync();

    QPointer<SyncEngine> m_engine;
    ViewServices &m_services;
    std::function<void()> m_onSyncNow;
    QString m_label;
    bool m_checkingPreview = false;
    std::optional<SyncPreview> m_syncPreview;
    OutlineButton *m_button;
};

} // namespace orvu
