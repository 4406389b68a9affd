#include "gui/views/view_style.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QScrollArea>
#include <QWidget>

#include <cmath>

namespace orvu::style {

namespace {

QColor over(const QColor &ink, qreal opacity, const QColor &ground) {
    return QColor::fromRgbF(ink.redF() * opacity + ground.redF() * (1 - opacity),
                            ink.greenF() * opacity + ground.greenF() * (1 - opacity),
                            ink.blueF() * opacity + ground.blueF() * (1 - opacity));
}

double luminance(const QColor &color) {
    const auto channel = [](float c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = color.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
           0.0722 * channel(rgb.blueF());
}

QFont scaled(qreal delta, QFont::Weight weight) {
    QFont font = QApplication::font();
    if (font.pointSizeF() > 0)
        font.setPointSizeF(std::max(7.0, font.pointSizeF() + delta));
    font.setWeight(weight);
    return font;
}

QColor window(const QPalette &palette) {
    return palette.color(QPalette::Window);
}

} // namespace

QPalette current() {
    return QApplication::palette();
}

bool isDark(const QPalette &palette) {
    return window(palette).lightnessF() < 0.5;
}

double contrast(const QColor &a, const QColor &b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readable(const QColor &ink, const QColor &ground, double ratio) {
    // Towards black on a light ground, towards white on a dark one, in small steps, so the hue
    // stays recognisable.
    const QColor end = luminance(ground) > 0.18 ? QColor(Qt::black) : QColor(Qt::white);
    QColor shade = ink;
    for (int step = 1; step <= 50 && contrast(shade, ground) < ratio; ++step)
        shade = over(end, step / 50.0, ink);
    return shade;
}

QColor tint(rules::Tint tint, const QPalette &palette) {
    const bool dark = isDark(palette);
    QColor base;
    switch (tint) {
    case rules::Tint::green:
        base = dark ? QColor(0x32, 0xd7, 0x4b) : QColor(0x1e, 0x7d, 0x34);
        break;
    case rules::Tint::orange:
        base = dark ? QColor(0xff, 0xa1, 0x2e) : QColor(0xb2, 0x50, 0x00);
        break;
    case rules::Tint::red:
        base = dark ? QColor(0xff, 0x6b, 0x61) : QColor(0xc4, 0x1e, 0x1e);
        break;
    case rules::Tint::blue:
        base = dark ? QColor(0x5a, 0xae, 0xff) : QColor(0x0b, 0x5c, 0xd5);
        break;
    case rules::Tint::neutral:
        return secondary(palette);
    }
    return readable(base, window(palette));
}

QColor primary(const QPalette &palette) {
    return palette.color(QPalette::WindowText);
}

QColor secondary(const QPalette &palette) {
    return readable(over(primary(palette), 0.7, window(palette)), window(palette));
}

QColor tertiary(const QPalette &palette) {
    return readable(over(primary(palette), 0.55, window(palette)), window(palette));
}

QColor separator(const QPalette &palette) {
    return over(primary(palette), 0.16, window(palette));
}

QColor accentFill(const QPalette &palette) {
    // The desktop's accent, deepened until a white label reads on it.
    // With room to spare: the style shades the fill lighter towards its top edge.
    return readable(palette.color(QPalette::Active, QPalette::Highlight), QColor(Qt::white), 6.5);
}

QColor accentText(const QPalette &) {
    return Qt::white;
}

QColor focusRing(const QPalette &palette) {
    // Non-text contrast (3:1) against the window is enough for a ring.
    return readable(palette.color(QPalette::Active, QPalette::Highlight), window(palette), 3.0);
}

QColor wash(const QPalette &palette, qreal opacity) {
    QColor color = primary(palette);
    color.setAlphaF(float(opacity));
    return color;
}

QFont headline() {
    return scaled(+1, QFont::DemiBold);
}

QFont title() {
    return scaled(+4, QFont::DemiBold);
}

QFont subheadline(bool medium) {
    return scaled(0, medium ? QFont::Medium : QFont::Normal);
}

QFont caption(bool medium) {
    return scaled(-1, medium ? QFont::Medium : QFont::Normal);
}

QFont callout(bool medium) {
    return scaled(0, medium ? QFont::Medium : QFont::Normal);
}

QFont monospacedCallout(bool bold) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(std::max(7.0, QApplication::font().pointSizeF() - 0.5));
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    return font;
}

QFont monospacedCaption() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(std::max(7.0, QApplication::font().pointSizeF() - 1));
    return font;
}

void setTextColor(QWidget *widget, const QColor &color) {
    QPalette palette = widget->palette();
    if (palette.color(QPalette::WindowText) == color &&
        palette.color(QPalette::ButtonText) == color)
        return;
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::ButtonText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

void paintFocusRing(QWidget *widget, const QRect &rect, qreal radius) {
    QPainter painter(widget);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(focusRing(current()), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect).adjusted(1, 1, -1, -1), radius, radius);
}

void fitWindowToScreen(QWidget *window) {
    // The content's own size: of the widget in the window's scroll area, if it has one, at the
    // window's least width, as tall as its wrapped texts need there.
    QWidget *content = window;
    if (auto *area = window->findChild<QScrollArea *>(QString(), Qt::FindDirectChildrenOnly);
        area && area->widget())
        content = area->widget();
    const int width = std::max(content->sizeHint().width(), window->minimumWidth());
    const int height = content->hasHeightForWidth() ? content->heightForWidth(width)
                                                    : content->sizeHint().height();
    const QSize wanted(width, std::max(height, content->minimumSizeHint().height()));
    const QScreen *screen = window->screen() ? window->screen() : QApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    // The frame the window manager adds; a guess until the window has been shown once.
    const QRect frame = window->frameGeometry();
    const QMargins decoration = window->isVisible()
                                    ? QMargins(window->geometry().left() - frame.left(),
                                               window->geometry().top() - frame.top(),
                                               frame.right() - window->geometry().right(),
                                               frame.bottom() - window->geometry().bottom())
                                    : QMargins(0, 32, 0, 0);
    const QSize room = available.size().shrunkBy(decoration);
    const QSize size = wanted.boundedTo(room);
    window->setFixedSize(size);
    // move() places the frame, which is the window grown by its decoration.
    const QSize framed = size.grownBy(decoration);
    QPoint topLeft = window->isVisible()
                         ? window->pos()
                         : available.center() - QPoint(framed.width() / 2, framed.height() / 2);
    topLeft.setX(std::clamp(topLeft.x(), available.left(),
                            std::max(available.left(), available.right() + 1 - framed.width())));
    topLeft.setY(std::clamp(topLeft.y(), available.top(),
                            std::max(available.top(), available.bottom() + 1 - framed.height())));
    window->move(topLeft);
}

} // namespace orvu::style
