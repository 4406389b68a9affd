#include "gui/views/sync_progress_view.h"

#include "gui/views/panel_controls.h"
#include "gui/views/view_rules.h"
#include "gui/views/view_style.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

namespace orvu {

namespace {

constexpr int kBarSteps = 1000;

} // namespace

SyncProgressView::SyncProgressView(QWidget *parent) : QWidget(parent) {
    const QPalette palette = style::current();
    auto *column = new QVBoxLayout(this);
    // Its own rows under the repo's name: the bar, a gap, the counter and the file.
    column->setContentsMargins(style::kTextEdge, style::kUnit, style::kEdge, 3 * style::kUnit);
    column->setSpacing(style::kGap);
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, kBarSteps);
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(style::kGap);
    m_bar->setAccessibleName(QStringLiteral("Sync progress"));
    column->addWidget(m_bar);

    auto *line = new QHBoxLayout;
    line->setSpacing(style::kUnit);
    m_counter = new QLabel(this);
    m_counter->setFont(style::caption());
    style::setTextColor(m_counter, style::secondary(palette));
    line->addWidget(m_counter);
    m_currentFile = new ElidedLabel(Qt::ElideMiddle, this);
    m_currentFile->setFont(style::caption());
    style::setTextColor(m_currentFile, style::tertiary(palette));
    line->addWidget(m_currentFile, 1);
    column->addLayout(line);
}

void SyncProgressView::setProgress(const SyncProgress &progress) {
    if (m_shown == progress)
        return;
    m_shown = progress;
    const int value = int(rules::progressFraction(progress) * kBarSteps);
    if (value != m_bar->value()) {
        // QProgressBar repaints at once on a visible step; with updates off while the value is
        // set, its repaint is posted instead and shares one frame with the labels below.
        m_bar->setUpdatesEnabled(false);
        m_bar->setValue(value);
        m_bar->setUpdatesEnabled(true);
    }
    const QString counter = rules::progressText(progress);
    if (counter != m_counter->text())
        m_counter->setText(counter);
    m_currentFile->setText(progress.currentFile.value_or(QString()));
    m_currentFile->setVisible(progress.currentFile.has_value());
}

} // namespace orvu
