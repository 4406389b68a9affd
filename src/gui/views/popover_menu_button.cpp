#include "gui/views/popover_menu_button.h"

#include "gui/views/panel_controls.h"
#include "gui/views/symbol.h"
#include "gui/views/view_style.h"

#include <QKeyEvent>
#include <QPainter>

namespace orvu {

namespace {

constexpr int kVerticalPadding = style::kGap;
constexpr int kSymbol = 16;

} // namespace

PopoverMenuButton::PopoverMenuButton(const QString &label, const QString &systemImage,
                                     QWidget *parent)
    : QAbstractButton(parent), m_systemImage(systemImage) {
    setText(label);
    setAccessibleName(label);
    setFont(style::callout());
    setAttribute(Qt::WA_Hover);
    // Reached with Tab, not taken by a click: a control with the focus always shows it.
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    markAsRow(this);
}

void PopoverMenuButton::setSpinning(bool spinning) {
    if (spinning == m_spinning)
        return;
    m_spinning = spinning;
    if (spinning)
        m_spinTimer = startTimer(80);
    else if (m_spinTimer)
        killTimer(std::exchange(m_spinTimer, 0));
    update();
}

QSize PopoverMenuButton::sizeHint() const {
    return {style::kTextEdge + style::kEdge + fontMetrics().horizontalAdvance(text()),
            std::max(style::kMinTarget,
                     2 * kVerticalPadding + std::max(kSymbol, fontMetrics().height()))};
}

void PopoverMenuButton::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette palette = style::current();
    if (underMouse() || isDown())
        painter.fillRect(rect(), style::wash(palette, isDown() ? 0.14 : 0.08));
    // The symbol sits in the panel's leading column, the label on its text edge.
    const QRect symbol(style::kEdge + (style::kLeadColumn - kSymbol) / 2, (height() - kSymbol) / 2,
                       kSymbol, kSymbol);
    if (m_spinning) {
        painter.setPen(QPen(style::secondary(palette), 2, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(QRectF(symbol).adjusted(2, 2, -2, -2), -m_angle * 16, 100 * 16);
    } else {
        painter.drawPixmap(symbol.topLeft(), symbolPixmap(m_systemImage, style::primary(palette),
                                                          kSymbol, devicePixelRatioF()));
    }
    painter.setPen(style::primary(palette));
    const int x = style::kTextEdge;
    painter.drawText(QRect(x, 0, width() - x - style::kEdge, height()),
                     Qt::AlignVCenter | Qt::AlignLeft, text());
    painter.end();
    if (hasFocus())
        style::paintFocusRing(this, rect().adjusted(style::kUnit, 1, -style::kUnit, -1));
}

void PopoverMenuButton::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        animateClick();
    else
        QAbstractButton::keyPressEvent(event);
}

void PopoverMenuButton::timerEvent(QTimerEvent *event) {
    // The button's own timers (the click a screen reader's "Press" animates) are not ours.
    if (event->timerId() != m_spinTimer) {
        QAbstractButton::timerEvent(event);
        return;
    }
    m_angle = (m_angle + 30) % 360;
    update();
}

} // namespace orvu
