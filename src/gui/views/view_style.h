#pragma once

#include "gui/views/view_rules.h"

#include <QColor>
#include <QFont>
#include <QPalette>

class QWidget;

// The panel's and the windows' type scale, colours and spacing grid, derived from the
// application's font and palette so that they follow the desktop's size, light and dark themes.
namespace orvu::style {

// --- Spacing grid: every margin and gap is a multiple of 4 px. ------------------------------
constexpr int kUnit = 4;
// The panel's edges: symbols, dots and check boxes start at kEdge in a kLeadColumn-wide column;
// every text starts at kTextEdge; everything ends kEdge before the right side.
constexpr int kEdge = 4 * kUnit;
constexpr int kLeadColumn = 6 * kUnit;
constexpr int kGap = 2 * kUnit;
constexpr int kTextEdge = kEdge + kLeadColumn + kGap;
// The smallest height of anything that can be pressed or typed into.
constexpr int kMinTarget = 6 * kUnit;
constexpr int kControlHeight = 7 * kUnit;
// The margin of the sign-in and add-repo windows, and the gap between their groups.
constexpr int kWindowMargin = 5 * kUnit;
constexpr int kSection = 4 * kUnit;

// The application's palette, which every colour below is worked out from.
QPalette current();

bool isDark(const QPalette &palette);
// WCAG 2 contrast ratio of two opaque colours, 1 to 21.
double contrast(const QColor &a, const QColor &b);
// `ink`, darkened or lightened as little as needed to reach `ratio` against `ground`.
QColor readable(const QColor &ink, const QColor &ground, double ratio = 4.5);

// The named colours, in shades that keep a contrast of 4.5:1 against the window.
QColor tint(rules::Tint tint, const QPalette &palette);
QColor primary(const QPalette &palette);
QColor secondary(const QPalette &palette);
QColor tertiary(const QPalette &palette);
QColor separator(const QPalette &palette);
// The fill and the text of the prominent button: the accent colour, deepened until its label
// reads on it.
QColor accentFill(const QPalette &palette);
QColor accentText(const QPalette &palette);
// The ring drawn around the control that has the keyboard focus.
QColor focusRing(const QPalette &palette);
// The primary colour at `opacity`, for hover backgrounds.
QColor wash(const QPalette &palette, qreal opacity);

QFont headline();
QFont title();
QFont subheadline(bool medium = false);
QFont caption(bool medium = false);
QFont callout(bool medium = false);
QFont monospacedCallout(bool bold = false);
QFont monospacedCaption();

// Sets the colour a label or button draws its text in.
void setTextColor(QWidget *widget, const QColor &color);
// Draws the keyboard-focus ring inside `rect` of a widget being painted.
void paintFocusRing(QWidget *widget, const QRect &rect, qreal radius = 6);

// Sizes a top-level window to its content, never larger than the available area of its
// screen (the content scrolls inside then), and puts it fully on that screen, centred.
void fitWindowToScreen(QWidget *window);

} // namespace orvu::style
