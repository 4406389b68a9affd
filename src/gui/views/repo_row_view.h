#pragma once

#include "gui/views/view_rules.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;

namespace orvu {

class ElidedLabel;
class PendingChangesListView;
class PlainButton;
class StatusDot;
class SyncButtonView;
class SyncEngine;
class SyncProgressView;
class UpdateThrottle;
struct ViewServices;

// One repo in the panel: status dot, name and status line, reveal, expand and remove; below,
// when expanded, its pending changes; then the sync button or, while a run reports progress,
// the progress, with a control that stops the run beside it. A row stands for an engine id: the
// list re-points it at the engine that currently has that id, so `expanded` and hover survive the
// engine being replaced.
class RepoRowView : public QWidget {
    Q_OBJECT
public:
    RepoRowView(SyncEngine *engine, ViewServices &services, std::function<void()> onRemove,
                QWidget *parent = nullptr);
    ~RepoRowView() override;

    const QString &engineId() const { return m_engineId; }
    void setEngine(SyncEngine *engine);

    bool isExpanded() const { return m_expanded; }
    void setExpanded(bool expanded);

    // Header row and sync button from the engine's values; the list too when it is shown.
    void refresh();

    StatusDot *statusDot() const { return m_dot; }
    QLabel *statusLabel() const { return m_status; }
    PlainButton *revealButton() const { return m_reveal; }
    PlainButton *expandButton() const { return m_expand; }
    PlainButton *removeButton() const { return m_remove; }
    SyncButtonView *syncButton() const { return m_syncButton; }
    SyncProgressView *progressView() const { return m_progress; }
    PlainButton *stopButton() const { return m_stop; }
    PendingChangesListView *changesList() const { return m_list; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refreshProgress();
    void updateList();
    void askRemove();

    QPointer<SyncEngine> m_engine;
    QString m_engineId;
    ViewServices &m_services;
    std::function<void()> m_onRemove;
    bool m_expanded = false;
    bool m_hovered = false;
    rules::RepoValues m_values;

    QWidget *m_header;
    StatusDot *m_dot;
    QLabel *m_name;
    QLabel *m_status;
    PlainButton *m_reveal;
    PlainButton *m_expand;
    PlainButton *m_remove;
    PendingChangesListView *m_list = nullptr;
    SyncProgressView *m_progress;
    SyncButtonView *m_syncButton;
    PlainButton *m_stop;
    UpdateThrottle *m_progressThrottle;
};

} // namespace orvu
