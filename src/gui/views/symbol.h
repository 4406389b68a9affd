#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace orvu {

// The bundled monochrome symbols (:/symbols/<name>.svg, named as the views name them), tinted
// with one colour so that they read on light and dark themes alike. Drawn from the vector
// source at the size and pixel ratio asked for, so they stay sharp at any scale; each result is
// kept, so a symbol is rendered once per size and colour, not once per update.

// A null pixmap when there is no symbol of that name.
QPixmap symbolPixmap(const QString &name, const QColor &color, int logicalSize,
                     qreal devicePixelRatio = 1.0);

// The symbol at the usual icon sizes (16 to 64 pixels), for buttons and the tray.
QIcon symbolIcon(const QString &name, const QColor &color);

} // namespace orvu
