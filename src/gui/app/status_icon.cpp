#include "gui/app/status_icon.h"

#include "gui/views/symbol.h"

#include <QPainter>

namespace orvu {

QString statusSymbol(const SyncState &aggregateState, qint64 remoteTotal) {
    switch (aggregateState.kind) {
    case SyncState::idle:
        return remoteTotal >= 1 ? QStringLiteral("arrow.down.circle")
                                : QStringLiteral("checkmark.circle");
    case SyncState::syncing:
    case SyncState::pulling:
        return QStringLiteral("arrow.triangle.2.circlepath");
    case SyncState::notAuthenticated:
        return QStringLiteral("person.crop.circle.badge.questionmark");
    case SyncState::noFolder:
        return QStringLiteral("folder.badge.questionmark");
    case SyncState::networkError:
        return QStringLiteral("wifi.slash");
    case SyncState::error:
        break;
    }
    return QStringLiteral("exclamationmark.triangle");
}

QString animationSymbol(SyncProgress::Phase phase, int frame) {
    const bool circled = frame % 2 != 0;
    if (phase == SyncProgress::Phase::pushing)
        return circled ? QStringLiteral("arrow.up.circle") : QStringLiteral("arrow.up");
    return circled ? QStringLiteral("arrow.down.circle") : QStringLiteral("arrow.down");
}

QString trayToolTip(const QString &headerStatusText) {
    return QStringLiteral("Orvu — ") + headerStatusText;
}

QIcon trayIcon(const QString &symbol, const QColor &foreground, const QColor &halo) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        // The symbol is drawn a little smaller than the icon, leaving room for the outline.
        const int inset = std::max(1, size / 16);
        const QPixmap shape = symbolPixmap(symbol, foreground, size - 2 * inset);
        const QPixmap outline = symbolPixmap(symbol, halo, size - 2 * inset);
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                if (dx != 0 || dy != 0)
                    painter.drawPixmap(inset + dx * inset, inset + dy * inset, outline);
        painter.drawPixmap(inset, inset, shape);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace orvu
