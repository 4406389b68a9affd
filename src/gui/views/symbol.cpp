#include "gui/views/symbol.h"

#include <QHash>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>

namespace orvu {

namespace {

QString symbolPath(const QString &name) {
    return QStringLiteral(":/symbols/%1.svg").arg(name);
}

} // namespace

QPixmap symbolPixmap(const QString &name, const QColor &color, int logicalSize,
                     qreal devicePixelRatio) {
    const int pixels = std::max(1, int(std::lround(logicalSize * devicePixelRatio)));
    const QString key =
        QStringLiteral("%1|%2|%3").arg(name, color.name(QColor::HexArgb)).arg(pixels);
    // Main thread only, like every widget that asks.
    static QHash<QString, QPixmap> cache;
    if (const auto it = cache.constFind(key); it != cache.cend())
        return *it;

    QSvgRenderer renderer(symbolPath(name));
    if (!renderer.isValid())
        return {};
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        // Keep the symbol's own aspect ratio inside the square.
        QSizeF drawn = renderer.defaultSize().scaled(pixels, pixels, Qt::KeepAspectRatio);
        renderer.render(
            &painter,
            QRectF(QPointF((pixels - drawn.width()) / 2, (pixels - drawn.height()) / 2), drawn));
        // The artwork's own colour is ignored: only its shape (alpha) is kept.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), color);
    }
    QPixmap pixmap = QPixmap::fromImage(std::move(image));
    pixmap.setDevicePixelRatio(devicePixelRatio);
    cache.insert(key, pixmap);
    return pixmap;
}

QIcon symbolIcon(const QString &name, const QColor &color) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(symbolPixmap(name, color, size));
    return icon;
}

} // namespace orvu
