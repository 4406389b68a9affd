#include "gui/views/pending_change_row_view.h"

#include "gui/views/panel_controls.h"
#include "gui/views/symbol.h"
#include "gui/views/view_rules.h"
#include "gui/views/view_style.h"

#include <QCheckBox>
#include <QGraphicsOpacityEffect>
#include <QKeyEvent>
#include <QPainter>

namespace orvu {

namespace {

// The check box in the panel's leading column; the mark on its text edge.
constexpr int kRight = style::kEdge;
constexpr int kVertical = style::kUnit / 2;
constexpr int kGap = style::kUnit + 2;
constexpr int kMarkWidth = 14;
constexpr int kIconWidth = 16;
constexpr int kIconSize = 13;

} // namespace

PendingChangeRowView::PendingChangeRowView(Actions actions, QWidget *parent)
    : QWidget(parent), m_actions(std::move(actions)) {
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFont(style::monospacedCallout());
    markAsRow(this);

    // The row takes the keyboard for it (Space), so the box itself is not a tab stop.
    m_checkBox = new QCheckBox(this);
    m_checkBox->setFocusPolicy(Qt::NoFocus);
    m_checkBox->resize(m_checkBox->sizeHint());
    m_dimming = new QGraphicsOpacityEffect(m_checkBox);
    m_dimming->setOpacity(0.5);
    m_checkBox->setGraphicsEffect(m_dimming);
    connect(m_checkBox, &QCheckBox::toggled, this, [this](bool checked) {
        if (checked != m_selected && m_actions.setSelected)
            m_actions.setSelected(m_change.path, checked);
    });

    m_discardButton = new PlainButton(this);
    // Reverting is not removing: a turning-back arrow, unlike the repo's remove symbol.
    m_discardButton->setSymbol(QStringLiteral("arrow.uturn.backward"), 12,
                               style::secondary(style::current()));
    m_discardButton->setToolTipText(QStringLiteral("Discard change"));
    m_discardButton->setFocusPolicy(Qt::NoFocus); // Delete on the row does the same
    m_discardButton->resize(m_discardButton->sizeHint());
    m_discardButton->hide();
    connect(m_discardButton, &QToolButton::clicked, this, [this] {
        if (m_actions.askDiscard)
            m_actions.askDiscard(m_change);
    });
}

QSize PendingChangeRowView::sizeHint() const {
    const int content = std::max(
        {m_checkBox->height(), fontMetrics().height(), kIconWidth, m_discardButton->height()});
    return {style::kTextEdge + kRight + 200, std::max(style::kMinTarget, content + 2 * kVertical)};
}

void PendingChangeRowView::setValues(const PendingChange &change, bool selected,
                                     std::optional<FileTransferStatus> status) {
    const bool first = !m_hasValues;
    m_hasValues = true;
    if (!first && change == m_change && selected == m_selected && status == m_status)
        return;
    if (first || change.path != m_change.path) {
        setAccessibleName(change.path);
        m_checkBox->setAccessibleName(change.path);
    }
    m_change = change;
    if (first || selected != m_selected) {
        m_selected = selected;
        const QSignalBlocker quiet(m_checkBox);
        m_checkBox->setChecked(selected);
        m_dimming->setEnabled(!selected);
    }
    m_status = status;
    m_discardButton->setVisible((m_hovered || hasFocus()) && !m_status);
    updateSpinner();
    update();
}

void PendingChangeRowView::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette palette = style::current();
    if (m_hovered)
        painter.fillRect(rect(), style::wash(palette, 0.08));
    painter.setOpacity(m_selected ? 1.0 : 0.5);
    const qreal ratio = devicePixelRatioF();

    int x = style::kTextEdge;
    const QRect mark(x, 0, kMarkWidth, height());
    if (m_status == FileTransferStatus::done) {
        const QPixmap check = symbolPixmap(QStringLiteral("checkmark"),
                                           style::tint(rules::Tint::green, palette), 11, ratio);
        painter.drawPixmap(mark.center().x() - 5, (height() - 11) / 2, check);
    } else if (m_status == FileTransferStatus::transferring) {
        painter.setPen(QPen(style::secondary(palette), 1.5, Qt::SolidLine, Qt::RoundCap));
        const QRectF spinner(mark.center().x() - 4.5, height() / 2.0 - 4.5, 9, 9);
        painter.drawArc(spinner, -m_angle * 16, 270 * 16);
    } else {
        const rules::ChangeMark letter = rules::changeLetter(m_change.changeType);
        QFont bold = font();
        bold.setWeight(QFont::Bold);
        painter.setFont(bold);
        painter.setPen(style::tint(letter.tint, palette));
        painter.drawText(mark, Qt::AlignCenter, letter.letter);
        painter.setFont(font());
    }
    x += kMarkWidth + kGap;

    painter.drawPixmap(x + (kIconWidth - kIconSize) / 2, (height() - kIconSize) / 2,
                       symbolPixmap(rules::changeIcon(m_change.path), style::secondary(palette),
                                    kIconSize, ratio));
    x += kIconWidth + kGap;

    const int right = width() - kRight - m_discardButton->width() - kGap;
    painter.setPen(m_change.changeType == PendingChange::ChangeType::deleted
                       ? style::secondary(palette)
                       : style::primary(palette));
    painter.drawText(QRect(x, 0, std::max(0, right - x), height()),
                     Qt::AlignVCenter | Qt::AlignLeft,
                     fontMetrics().elidedText(m_change.path, Qt::ElideLeft, right - x));
    painter.end();
    if (hasFocus())
        style::paintFocusRing(this, rect().adjusted(style::kUnit, 0, -style::kUnit, 0), 4);
}

void PendingChangeRowView::resizeEvent(QResizeEvent *) {
    m_checkBox->move(style::kEdge + (style::kLeadColumn - m_checkBox->width()) / 2,
                     (height() - m_checkBox->height()) / 2);
    m_discardButton->move(width() - kRight - m_discardButton->width(),
                          (height() - m_discardButton->height()) / 2);
}

void PendingChangeRowView::setHovered(bool hovered) {
    if (hovered == m_hovered)
        return;
    m_hovered = hovered;
    // A file taking part in a run cannot be discarded under it.
    m_discardButton->setVisible((m_hovered || hasFocus()) && !m_status);
    update();
}

void PendingChangeRowView::enterEvent(QEnterEvent *event) {
    setHovered(true);
    QWidget::enterEvent(event);
}

void PendingChangeRowView::leaveEvent(QEvent *event) {
    setHovered(false);
    QWidget::leaveEvent(event);
}

// The keyboard reaches the discard button through the row (Delete), so focus shows it as hover
// does, but rings the row instead of washing it.
void PendingChangeRowView::focusInEvent(QFocusEvent *event) {
    m_discardButton->setVisible(!m_status);
    QWidget::focusInEvent(event);
}

void PendingChangeRowView::focusOutEvent(QFocusEvent *event) {
    m_discardButton->setVisible((m_hovered || hasFocus()) && !m_status);
    QWidget::focusOutEvent(event);
}

void PendingChangeRowView::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        m_actions.reveal)
        m_actions.reveal(m_change.path);
    QWidget::mouseReleaseEvent(event);
}

void PendingChangeRowView::keyPressEvent(QKeyEvent *event) {
    switch (event->key()) {
    case Qt::Key_Space:
        m_checkBox->toggle();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (m_actions.reveal)
            m_actions.reveal(m_change.path);
        return;
    case Qt::Key_Delete:
        if (!m_status && m_actions.askDiscard)
            m_actions.askDiscard(m_change);
        return;
    default:
        break;
    }
    QWidget::keyPressEvent(event);
}

// The spinner turns only while its file is in transfer and the row is on screen.
void PendingChangeRowView::updateSpinner() {
    const bool spin = m_status == FileTransferStatus::transferring && isVisible();
    if (spin && !m_spinTimer)
        m_spinTimer = startTimer(80);
    else if (!spin && m_spinTimer)
        killTimer(std::exchange(m_spinTimer, 0));
}

void PendingChangeRowView::timerEvent(QTimerEvent *event) {
    if (event->timerId() != m_spinTimer) {
        QWidget::timerEvent(event);
        return;
    }
    m_angle = (m_angle + 30) % 360;
    update(QRect(style::kTextEdge, 0, kMarkWidth, height()));
}

void PendingChangeRowView::showEvent(QShowEvent *) {
    updateSpinner();
}

void PendingChangeRowView::hideEvent(QHideEvent *) {
    updateSpinner();
}

} // namespace orvu
