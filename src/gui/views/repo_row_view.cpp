#include "gui/views/repo_row_view.h"

#include "core/sync/sync_engine.h"
#include "gui/views/panel_controls.h"
#include "gui/views/pending_changes_list_view.h"
#include "gui/views/sync_button_view.h"
#include "gui/views/sync_progress_view.h"
#include "gui/views/update_throttle.h"
#include "gui/views/view_services.h"
#include "gui/views/view_style.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>

namespace orvu {

namespace {

constexpr int kMaxPendingRows = 50;

void setTextIfChanged(QLabel *label, const QString &text) {
    if (label->text() != text)
        label->setText(text);
}

} // namespace

RepoRowView::RepoRowView(SyncEngine *engine, ViewServices &services, std::function<void()> onRemove,
                         QWidget *parent)
    : QWidget(parent), m_engine(engine), m_engineId(engine->id()), m_services(services),
      m_onRemove(std::move(onRemove)) {
    const QPalette palette = style::current();
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_header = new QWidget(this);
    m_header->setAttribute(Qt::WA_Hover);
    m_header->setFocusPolicy(Qt::TabFocus);
    m_header->installEventFilter(this);
    markAsRow(m_header);
    auto *header = new QHBoxLayout(m_header);
    // The dot in the middle of the leading column, the names on the text edge.
    header->setContentsMargins(style::kEdge, style::kGap, style::kEdge, style::kGap);
    header->setSpacing(0);
    header->addSpacing((style::kLeadColumn - 8) / 2);
    m_dot = new StatusDot(m_header);
    header->addWidget(m_dot);
    header->addSpacing((style::kLeadColumn - 8) / 2 + style::kGap);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(0);
    m_name = new QLabel(m_header);
    m_name->setFont(style::subheadline(true));
    texts->addWidget(m_name);
    m_status = new QLabel(m_header);
    m_status->setFont(style::caption());
    style::setTextColor(m_status, style::secondary(palette));
    texts->addWidget(m_status);
    header->addLayout(texts, 1);
    header->addSpacing(style::kGap);

    const QColor iconColor = style::secondary(palette);
    m_reveal = new PlainButton(m_header);
    m_reveal->setSymbol(QStringLiteral("folder"), 12, iconColor);
    m_reveal->setToolTipText(QStringLiteral("Reveal folder"));
    connect(m_reveal, &QToolButton::clicked, this, [this] {
        if (m_engine && m_engine->folderPath() && m_services.fileRevealing)
            m_services.fileRevealing->revealFolder(*m_engine->folderPath());
    });
    header->addWidget(m_reveal);
    m_expand = new PlainButton(m_header);
    m_expand->setToolTipText(QStringLiteral("Show changes"));
    connect(m_expand, &QToolButton::clicked, this, [this] { setExpanded(!m_expanded); });
    header->addWidget(m_expand);
    m_remove = new PlainButton(m_header);
    m_remove->setSymbol(QStringLiteral("xmark.circle"), 12, iconColor);
    m_remove->setToolTipText(QStringLiteral("Remove from Orvu (unlink)"));
    m_remove->setObjectName(QStringLiteral("removeRepo_") + engine->slug());
    connect(m_remove, &QToolButton::clicked, this, &RepoRowView::askRemove);
    header->addWidget(m_remove);
    column->addWidget(m_header);

    // The list goes here, between the header and the button, when expanded. The progress (or,
    // before the first file, the disabled sync button) and the stop control share one line.
    auto *run = new QHBoxLayout;
    run->setContentsMargins(0, 0, 0, 0);
    run->setSpacing(0);
    m_progress = new SyncProgressView(this);
    m_progress->hide();
    run->addWidget(m_progress, 1);
    m_syncButton = new SyncButtonView(
        engine, services,
        [this] {
            if (m_engine)
                m_engine->sync(true);
        },
        this);
    m_syncButton->hide();
    run->addWidget(m_syncButton, 1);
    m_stop = new PlainButton(this);
    m_stop->setSymbol(QStringLiteral("stop.circle"), 14, iconColor);
    m_stop->setToolTipText(QStringLiteral("Stop sync"));
    m_stop->setObjectName(QStringLiteral("stopSync"));
    m_stop->hide();
    connect(m_stop, &QToolButton::clicked, this, [this] {
        if (m_engine)
            m_engine->stopSync();
    });
    run->addWidget(m_stop, 0, Qt::AlignVCenter);
    run->addSpacing(12);
    column->addLayout(run);
    column->addWidget(new Divider(this));

    m_progressThrottle = new UpdateThrottle([this] { refreshProgress(); }, this);
    setEngine(engine);
}

RepoRowView::~RepoRowView() = default;

void RepoRowView::setEngine(SyncEngine *engine) {
    if (m_engine)
        disconnect(m_engine, nullptr, this, nullptr);
    m_engine = engine;
    m_syncButton->setEngine(engine);
    if (m_list)
        m_list->setEngine(engine);
    if (engine) {
        connect(engine, &SyncEngine::changed, this, &RepoRowView::refresh);
        connect(engine, &SyncEngine::syncFinished, this, &RepoRowView::refresh);
        // A run may report thousands of files a second; the row follows at a steady pace.
        connect(engine, &SyncEngine::progressChanged, m_progressThrottle, &UpdateThrottle::request);
    }
    refresh();
}

void RepoRowView::setExpanded(bool expanded) {
    if (expanded == m_expanded)
        return;
    m_expanded = expanded;
    updateList();
    refresh();
}

void RepoRowView::refresh() {
    if (!m_engine)
        return;
    const SyncEngine &engine = *m_engine;
    const QPalette palette = style::current();
    m_values = rules::RepoValues{
        engine.state(),        engine.pendingChanges().size(), engine.selectedPaths().size(),
        engine.remoteStatus(), engine.checkFailure(),          engine.wasStopped()};
    setTextIfChanged(m_name, engine.displayName());
    if (m_header->accessibleName() != engine.displayName())
        m_header->setAccessibleName(engine.displayName());
    const QString line = rules::statusLine(m_values);
    setTextIfChanged(m_status, line);
    m_dot->setColor(style::tint(rules::statusColor(m_values), palette));
    if (m_dot->accessibleDescription() != line)
        m_dot->setAccessibleDescription(line);

    m_reveal->setVisible(engine.folderPath().has_value());
    const bool hasChanges = !engine.pendingChanges().isEmpty();
    m_expand->setVisible(hasChanges);
    m_expand->setSymbol(m_expanded ? QStringLiteral("chevron.up") : QStringLiteral("chevron.down"),
                        11, style::secondary(palette));
    m_expand->setToolTipText(m_expanded ? QStringLiteral("Hide changes")
                                        : QStringLiteral("Show changes"));
    updateList();
    if (m_list)
        m_list->refresh();
    m_syncButton->setLabel(rules::syncLabel(m_values));
    refreshProgress();
}

void RepoRowView::refreshProgress() {
    if (!m_engine)
        return;
    const std::optional<SyncProgress> &progress = m_engine->syncProgress();
    if (progress)
        m_progress->setProgress(*progress);
    m_progress->setVisible(progress.has_value());
    // Only a run of this engine can be stopped, not the wait for another one's.
    const bool running = m_engine->isRunningSync() && m_engine->state().kind == SyncState::syncing;
    m_syncButton->setVisible(!progress && (rules::hasWork(m_values) || running));
    m_stop->setVisible(running);
    if (m_list)
        m_list->refreshStatuses();
}

void RepoRowView::updateList() {
    // The list goes with the last pending change even while `expanded` stays set, and comes
    // back with the next one.
    const bool show = m_expanded && m_engine && !m_engine->pendingChanges().isEmpty();
    if (show && !m_list) {
        m_list = new PendingChangesListView(m_engine, m_services, kMaxPendingRows, this);
        static_cast<QVBoxLayout *>(layout())->insertWidget(1, m_list);
        m_list->show(); // at once, not when the layout gets round to it
    } else if (!show && m_list) {
        m_list->hide();
        m_list->deleteLater();
        m_list = nullptr;
    }
}

void RepoRowView::askRemove() {
    if (!m_engine)
        return;
    const QPointer<RepoRowView> self(this);
    m_services.alerts.ask(this, rules::removeRepoAlert(m_engine->displayName()),
                          QStringLiteral("Remove"), true, [self] {
                              if (self && self->m_onRemove)
                                  self->m_onRemove();
                          });
}

bool RepoRowView::eventFilter(QObject *watched, QEvent *event) {
    if (watched != m_header)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Enter:
    case QEvent::Leave:
    case QEvent::FocusIn:
    case QEvent::FocusOut:
        // Hover washes the row; the keyboard focus rings it, so the two never look alike.
        m_hovered = (event->type() == QEvent::Enter || m_header->underMouse()) &&
                    event->type() != QEvent::Leave;
        m_header->update();
        break;
    case QEvent::Paint:
        if (m_hovered)
            QPainter(m_header).fillRect(m_header->rect(), style::wash(style::current(), 0.05));
        if (m_header->hasFocus())
            style::paintFocusRing(m_header,
                                  m_header->rect().adjusted(style::kUnit, 1, -style::kUnit, -1));
        break;
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) &&
            m_expand->isVisible()) {
            setExpanded(!m_expanded);
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace orvu
