#include "gui/views/view_style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QWidget>

namespace orvu::style {

namespace {

QColor over(const QColor &ink, qreal opacity, const QColor &ground) {
    return QColor::fromRgbF(ink.redF() * opacity + ground.redF() * (1 - opacity),
                            ink.greenF() * opacity + ground.greenF() * (1 - opacity),
                            ink.blueF() * opacity + ground.blueF() * (1 - opacity));
}

QFont scaled(qreal delta, QFont::Weight weight) {
    QFont font = QApplication::font();
    if (font.pointSizeF() > 0)
        font.setPointSizeF(std::max(7.0, font.pointSizeF() + delta));
    font.setWeight(weight);
    return font;
}

} // namespace

QPalette current() {
    return QApplication::palette();
}

bool isDark(const QPalette &palette) {
    return palette.color(QPalette::Window).lightnessF() < 0.5;
}

QColor tint(rules::Tint tint, const QPalette &palette) {
    // Darker shades on light windows, brighter ones on dark windows: each keeps a contrast of
    // at least 4.5:1 against its window, so the coloured texts stay readable.
    const bool dark = isDark(palette);
    switch (tint) {
    case rules::Tint::green:
        return dark ? QColor(0x32, 0xd7, 0x4b) : QColor(0x1e, 0x7d, 0x34);
    case rules::Tint::orange:
        return dark ? QColor(0xff, 0xa1, 0x2e) : QColor(0xb2, 0x50, 0x00);
    case rules::Tint::red:
        return dark ? QColor(0xff, 0x6b, 0x61) : QColor(0xc4, 0x1e, 0x1e);
    case rules::Tint::blue:
        break;
    }
    return dark ? QColor(0x5a, 0xae, 0xff) : QColor(0x0b, 0x5c, 0xd5);
}

QColor primary(const QPalette &palette) {
    return palette.color(QPalette::WindowText);
}

QColor secondary(const QPalette &palette) {
    return over(primary(palette), 0.66, palette.color(QPalette::Window));
}

QColor tertiary(const QPalette &palette) {
    return over(primary(palette), 0.45, palette.color(QPalette::Window));
}

QColor separator(const QPalette &palette) {
    return over(primary(palette), 0.16, palette.color(QPalette::Window));
}

QColor wash(const QPalette &palette, qreal opacity) {
    QColor color = primary(palette);
    color.setAlphaF(float(opacity));
    return color;
}

QFont headline() {
    return scaled(+1, QFont::DemiBold);
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

} // namespace orvu::style
