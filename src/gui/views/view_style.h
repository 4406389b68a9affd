#pragma once

#include "gui/views/view_rules.h"

#include <QColor>
#include <QFont>
#include <QPalette>

class QWidget;

// The panel's type scale and colours, derived from the application's font and palette so that
// the panel follows the desktop's size, light and dark themes.
namespace orvu::style {

// The application's palette, which every colour below is worked out from.
QPalette current();

bool isDark(const QPalette &palette);
// The named colours, in shades that keep their contrast on a light or a dark window.
QColor tint(rules::Tint tint, const QPalette &palette);
QColor primary(const QPalette &palette);
QColor secondary(const QPalette &palette);
QColor tertiary(const QPalette &palette);
QColor separator(const QPalette &palette);
// The primary colour at `opacity`, for hover backgrounds.
QColor wash(const QPalette &palette, qreal opacity);

QFont headline();
QFont subheadline(bool medium = false);
QFont caption(bool medium = false);
QFont callout(bool medium = false);
QFont monospacedCallout(bool bold = false);

// Sets the colour a label or button draws its text in.
void setTextColor(QWidget *widget, const QColor &color);

} // namespace orvu::style
