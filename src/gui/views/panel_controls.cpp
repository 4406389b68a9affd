#include "gui/views/panel_controls.h"

#include "gui/views/symbol.h"
#include "gui/views/view_style.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLayout>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QTimer>

namespace orvu {

namespace {

const char *const kRowProperty = "orvuPanelRow";

bool isActivationKey(const QKeyEvent *event) {
    return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
}

const char *const kTabOrderRootProperty = "orvuTabOrderRoot";
const char *const kTabOrderPendingProperty = "orvuTabOrderPending";

// Focusable widgets in the order their layouts place them, top to bottom, left to right.
// Hidden ones are included, so the order still holds when they show.
void collectInVisualOrder(QLayout *layout, QWidgetList &out);

void collectWidget(QWidget *widget, QWidgetList &out) {
    if (widget->focusPolicy() & Qt::TabFocus)
        out.append(widget);
    if (auto *area = qobject_cast<QScrollArea *>(widget); area && area->widget())
        collectWidget(area->widget(), out);
    else if (widget->layout())
        collectInVisualOrder(widget->layout(), out);
}

void collectInVisualOrder(QLayout *layout, QWidgetList &out) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (QWidget *widget = item->widget())
            collectWidget(widget, out);
        else if (QLayout *inner = item->layout())
            collectInVisualOrder(inner, out);
    }
}

QWidgetList visualOrder(QWidget *root) {
    QWidgetList out;
    if (root->layout())
        collectInVisualOrder(root->layout(), out);
    return out;
}

} // namespace

StatusDot::StatusDot(QWidget *parent) : QWidget(parent) {
    setFixedSize(8, 8);
    setAccessibleName(QStringLiteral("Status"));
}

void StatusDot::setColor(const QColor &color) {
    if (color == m_color)
        return;
    m_color = color;
    update();
}

void StatusDot::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_color);
    painter.drawEllipse(QRectF(rect()));
}

PlainButton::PlainButton(QWidget *parent) : QToolButton(parent) {
    setAutoRaise(true);
    setCursor(Qt::PointingHandCursor);
    // Reached with Tab, not taken by a click: a control with the focus always shows it.
    setFocusPolicy(Qt::TabFocus);
    setMinimumSize(style::kMinTarget, style::kMinTarget);
}

void PlainButton::paintEvent(QPaintEvent *event) {
    QToolButton::paintEvent(event);
    if (hasFocus())
        style::paintFocusRing(this, rect(), 4);
}

void PlainButton::setSymbol(const QString &name, int size, const QColor &color) {
    const QString key = name + u'|' + color.name() + u'|' + QString::number(size);
    if (key == m_symbolKey)
        return;
    m_symbolKey = key;
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setIconSize(QSize(size, size));
    setIcon(QIcon(symbolPixmap(name, color, size, devicePixelRatioF())));
}

void PlainButton::setToolTipText(const QString &tip) {
    if (tip == toolTip())
        return;
    setToolTip(tip);
    setAccessibleName(tip);
}

void PlainButton::setLabel(const QString &text) {
    if (text == this->text())
        return;
    setToolButtonStyle(Qt::ToolButtonTextOnly);
    setText(text);
    setAccessibleName(text);
}

void PlainButton::keyPressEvent(QKeyEvent *event) {
    if (isActivationKey(event))
        animateClick();
    else
        QToolButton::keyPressEvent(event);
}

OutlineButton::OutlineButton(const QString &symbol, int symbolSize, const QFont &font,
                             int horizontalPadding, int height, QWidget *parent)
    : QAbstractButton(parent), m_symbol(symbol), m_symbolSize(symbolSize),
      m_padding(horizontalPadding) {
    setFont(font);
    setFixedHeight(height);
    setAttribute(Qt::WA_Hover);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void OutlineButton::setLabel(const QString &text) {
    if (text == this->text())
        return;
    setText(text);
    setAccessibleName(text);
    updateGeometry();
    update();
}

QSize OutlineButton::sizeHint() const {
    const int textWidth = fontMetrics().horizontalAdvance(text());
    return {2 * m_padding + m_symbolSize + style::kUnit + textWidth,
            std::max(height(), fontMetrics().height() + style::kGap)};
}

void OutlineButton::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette palette = style::current();
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(frame, 6, 6);
    if (isEnabled() && (underMouse() || isDown()))
        painter.fillPath(path, style::wash(palette, isDown() ? 0.14 : 0.08));
    painter.setPen(QPen(style::separator(palette), 1));
    painter.drawPath(path);
    if (hasFocus()) {
        painter.setPen(QPen(style::focusRing(palette), 2));
        QPainterPath ring;
        ring.addRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 6, 6);
        painter.drawPath(ring);
    }

    const QColor ink = isEnabled() ? style::primary(palette) : style::tertiary(palette);
    const int textWidth = fontMetrics().horizontalAdvance(text());
    const int contentWidth =
        std::min(width() - 2 * m_padding, m_symbolSize + style::kUnit + textWidth);
    int x = (width() - contentWidth) / 2;
    painter.drawPixmap(x, (height() - m_symbolSize) / 2,
                       symbolPixmap(m_symbol, ink, m_symbolSize, devicePixelRatioF()));
    x += m_symbolSize + style::kUnit;
    painter.setPen(ink);
    painter.drawText(QRect(x, 0, width() - m_padding - x, height()), Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideRight, width() - m_padding - x));
}

void OutlineButton::keyPressEvent(QKeyEvent *event) {
    if (isActivationKey(event))
        animateClick();
    else
        QAbstractButton::keyPressEvent(event);
}

ProminentButton::ProminentButton(const QString &text, QWidget *parent) : QPushButton(text, parent) {
    setAttribute(Qt::WA_Hover);
    setMinimumHeight(style::kControlHeight);
}

void ProminentButton::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette app = style::current();
    QColor fill = style::accentFill(app);
    if (!isEnabled())
        fill =
            QColor::fromRgbF(fill.redF() * 0.35f + app.color(QPalette::Window).redF() * 0.65f,
                             fill.greenF() * 0.35f + app.color(QPalette::Window).greenF() * 0.65f,
                             fill.blueF() * 0.35f + app.color(QPalette::Window).blueF() * 0.65f);
    else if (isDown())
        fill = fill.darker(125);
    else if (underMouse())
        fill = fill.darker(110);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    painter.fillPath(path, fill);
    if (hasFocus()) {
        // Inside the fill, in the label's colour: an outer ring would vanish into the fill.
        painter.setPen(QPen(style::accentText(app), 1.5));
        painter.drawRoundedRect(QRectF(rect()).adjusted(2.5, 2.5, -2.5, -2.5), 3, 3);
    }
    QStyleOptionButton option;
    initStyleOption(&option);
    option.state &= ~QStyle::State_HasFocus;
    option.palette.setColor(QPalette::ButtonText,
                            isEnabled() ? style::accentText(app) : style::primary(app));
    style()->drawControl(QStyle::CE_PushButtonLabel, &option, &painter, this);
}

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, QWidget *parent) : QWidget(parent), m_mode(mode) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void ElidedLabel::setText(const QString &text) {
    if (text == m_text)
        return;
    m_text = text;
    setAccessibleName(text);
    update();
}

QSize ElidedLabel::sizeHint() const {
    return {fontMetrics().horizontalAdvance(m_text), fontMetrics().height()};
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, fontMetrics().height()};
}

void ElidedLabel::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(rect(), Qt::AlignVCenter | Qt::AlignLeft,
                     fontMetrics().elidedText(m_text, m_mode, width()));
}

Divider::Divider(QWidget *parent) : QWidget(parent) {
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Divider::paintEvent(QPaintEvent *) {
    QPainter(this).fillRect(rect(), style::separator(style::current()));
}

CappedScrollArea::CappedScrollArea(int maxHeight, QWidget *content, QWidget *parent)
    : QScrollArea(parent), m_maxHeight(maxHeight) {
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::NoFocus); // its rows take the focus, and it scrolls to them
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setWidgetResizable(true);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    setWidget(content);
    content->installEventFilter(this);
    setFixedHeight(contentHeight());
}

int CappedScrollArea::contentHeight() const {
    return std::min(m_maxHeight, widget()->sizeHint().height());
}

QSize CappedScrollArea::sizeHint() const {
    return {QScrollArea::sizeHint().width(), contentHeight()};
}

QSize CappedScrollArea::minimumSizeHint() const {
    return sizeHint();
}

bool CappedScrollArea::eventFilter(QObject *watched, QEvent *event) {
    if (watched == widget() && event->type() == QEvent::LayoutRequest) {
        // The content's layout has not been redone yet; its hint already has the new height.
        const int height = contentHeight();
        if (height != this->height())
            setFixedHeight(height);
    }
    return QScrollArea::eventFilter(watched, event);
}

namespace {

// Up and Down on a row move to the row above or below, whatever kind of widget it is.
class RowNavigator : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() != QEvent::KeyPress)
            return false;
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key != Qt::Key_Up && key != Qt::Key_Down)
            return false;
        // At the first or last row the key does nothing rather than leave the rows.
        focusNeighbourRow(static_cast<QWidget *>(watched), key == Qt::Key_Down ? 1 : -1);
        return true;
    }
};

} // namespace

void markAsRow(QWidget *widget) {
    widget->setProperty(kRowProperty, true);
    widget->installEventFilter(new RowNavigator(widget));
}

bool focusNeighbourRow(QWidget *from, int delta) {
    QWidgetList rows;
    for (QWidget *widget : visualOrder(from->window()))
        if (widget->property(kRowProperty).toBool() && widget->isVisible() && widget->isEnabled())
            rows.append(widget);
    const qsizetype index = rows.indexOf(from);
    if (index < 0 || index + delta < 0 || index + delta >= rows.size())
        return false;
    QWidget *target = rows[index + delta];
    target->setFocus(delta > 0 ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    for (QWidget *up = target->parentWidget(); up; up = up->parentWidget())
        if (auto *area = qobject_cast<QScrollArea *>(up))
            area->ensureWidgetVisible(target, 0, 0);
    return true;
}

void markAsTabOrderRoot(QWidget *root) {
    root->setProperty(kTabOrderRootProperty, true);
}

void requestVisualTabOrder(QWidget *changed) {
    QWidget *root = changed;
    while (root && !root->property(kTabOrderRootProperty).toBool())
        root = root->parentWidget();
    if (!root || root->property(kTabOrderPendingProperty).toBool())
        return;
    root->setProperty(kTabOrderPendingProperty, true);
    // Once, after every change made in this turn of the event loop.
    QTimer::singleShot(0, root, [root] {
        root->setProperty(kTabOrderPendingProperty, false);
        // From the root itself, which holds the focus when the panel opens.
        QWidget *previous = root;
        for (QWidget *next : visualOrder(root)) {
            QWidget::setTabOrder(previous, next);
            previous = next;
        }
    });
}

} // namespace orvu
