#include "gui/views/pending_changes_list_view.h"

#include "core/sync/sync_engine.h"
#include "gui/views/panel_controls.h"
#include "gui/views/pending_change_row_view.h"
#include "gui/views/view_rules.h"
#include "gui/views/view_services.h"
#include "gui/views/view_style.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLabel>

namespace orvu {

namespace {

constexpr int kMaxListHeight = 160;

} // namespace

PendingChangesListView::PendingChangesListView(SyncEngine *engine, ViewServices &services,
                                               int maxDisplay, QWidget *parent)
    : QWidget(parent), m_engine(engine), m_services(services), m_maxDisplay(maxDisplay) {
    const QPalette palette = style::current();
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(style::kTextEdge, 0, style::kEdge - style::kUnit, 0);
    m_header = new QLabel(this);
    m_header->setFont(style::caption(true));
    style::setTextColor(m_header, style::secondary(palette));
    header->addWidget(m_header);
    header->addStretch(1);
    m_selectAll = new PlainButton(this);
    m_selectAll->setObjectName(QStringLiteral("selectAllButton"));
    m_selectAll->setFont(style::caption());
    style::setTextColor(m_selectAll, style::tint(rules::Tint::blue, palette));
    connect(m_selectAll, &QToolButton::clicked, this, [this] {
        if (m_engine)
            m_engine->toggleSelectAll();
    });
    header->addWidget(m_selectAll);
    column->addLayout(header);

    m_rowsBox = new QWidget(this);
    auto *boxLayout = new QVBoxLayout(m_rowsBox);
    boxLayout->setContentsMargins(0, 0, 0, 0);
    boxLayout->setSpacing(0);
    m_rowsLayout = new QVBoxLayout;
    m_rowsLayout->setSpacing(0);
    boxLayout->addLayout(m_rowsLayout);
    m_footer = new QLabel(m_rowsBox);
    m_footer->setObjectName(QStringLiteral("moreChanges"));
    m_footer->setFont(style::caption());
    m_footer->setContentsMargins(style::kTextEdge, style::kUnit, style::kEdge, style::kUnit);
    style::setTextColor(m_footer, style::secondary(palette));
    boxLayout->addWidget(m_footer);
    m_area = new CappedScrollArea(kMaxListHeight, m_rowsBox, this);
    column->addWidget(m_area);
    refresh();
}

void PendingChangesListView::setEngine(SyncEngine *engine) {
    m_engine = engine;
    refresh();
}

PendingChangeRowView *PendingChangesListView::makeRow() {
    PendingChangeRowView::Actions actions;
    actions.setSelected = [this](const QString &path, bool selected) {
        if (m_engine)
            m_engine->setSelected(path, selected);
    };
    actions.reveal = [this](const QString &path) {
        if (m_engine && m_engine->folderPath() && m_services.fileRevealing)
            m_services.fileRevealing->revealFile(QDir(*m_engine->folderPath()).filePath(path));
    };
    actions.askDiscard = [this](const PendingChange &change) {
        const QPointer<PendingChangesListView> self(this);
        m_services.alerts.ask(this, rules::discardAlert(change.path), QStringLiteral("Discard"),
                              true, [self, change] {
                                  if (self && self->m_engine)
                                      self->m_engine->discard(change);
                              });
    };
    return new PendingChangeRowView(std::move(actions), m_rowsBox);
}

void PendingChangesListView::refresh() {
    const QList<PendingChange> changes =
        m_engine ? m_engine->pendingChanges() : QList<PendingChange>();
    m_header->setText(rules::pendingHeaderText(changes.size()));
    m_selectAll->setLabel(m_engine && m_engine->allSelected() ? QStringLiteral("Deselect All")
                                                              : QStringLiteral("Select All"));
    const QString footer = rules::pendingFooterText(changes.size(), m_maxDisplay);
    m_footer->setText(footer);
    m_footer->setVisible(!footer.isEmpty());

    const qsizetype shown = std::min<qsizetype>(changes.size(), m_maxDisplay);
    QStringList order;
    order.reserve(shown);
    QHash<QString, PendingChangeRowView *> rows;
    rows.reserve(shown);
    for (qsizetype i = 0; i < shown; ++i) {
        const PendingChange &change = changes[i];
        PendingChangeRowView *row = m_rows.take(change.path);
        if (!row)
            row = makeRow();
        order.append(change.path);
        rows.insert(change.path, row);
    }
    // Rows whose path left the first entries; their confirmation (if any) lives on in the
    // alert and acts on the engine, not on the row.
    for (PendingChangeRowView *gone : std::as_const(m_rows)) {
        gone->hide();
        gone->deleteLater();
    }
    m_rows = std::move(rows);
    if (order != m_order) {
        while (m_rowsLayout->count())
            delete m_rowsLayout->takeAt(0);
        for (const QString &path : std::as_const(order)) {
            m_rowsLayout->addWidget(m_rows.value(path));
            m_rows.value(path)->show();
        }
        m_order = std::move(order);
        requestVisualTabOrder(this);
    }
    refreshStatuses();
}

void PendingChangesListView::refreshStatuses() {
    if (!m_engine)
        return;
    const QSet<QString> &selected = m_engine->selectedPaths();
    const QHash<QString, FileTransferStatus> &statuses = m_engine->fileStatuses();
    const QList<PendingChange> &changes = m_engine->pendingChanges();
    PendingChangeRowView *inTransfer = nullptr;
    for (qsizetype i = 0; i < m_order.size() && i < changes.size(); ++i) {
        const PendingChange &change = changes[i];
        PendingChangeRowView *row = m_rows.value(change.path);
        if (!row)
            continue; // the list changed and refresh() is on its way
        const auto status = statuses.constFind(change.path);
        row->setValues(change, selected.contains(change.path),
                       status == statuses.cend() ? std::nullopt
                                                 : std::optional<FileTransferStatus>(*status));
        if (!inTransfer && status != statuses.cend() && *status == FileTransferStatus::transferring)
            inTransfer = row;
    }
    // The list follows the file being sent, as long as the user is not reading elsewhere in it
    // with the keyboard.
    if (inTransfer && !m_rowsBox->hasFocus() && !m_rowsBox->focusWidget())
        m_area->ensureWidgetVisible(inTransfer, 0, 0);
}

QList<PendingChangeRowView *> PendingChangesListView::rows() const {
    QList<PendingChangeRowView *> out;
    for (const QString &path : m_order)
        out.append(m_rows.value(path));
    return out;
}

} // namespace orvu
