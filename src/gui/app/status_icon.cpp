#include "gui/app/status_icon.h"

#include "gui/views/symbol.h"

#include <QIconEngine>
#include <QPainter>

namespace orvu {

QString statusSymbol(const SyncState &aggregateState, qint64 remoteTotal, bool checkFailed) {
    switch (aggregateState.kind) {
    case SyncState::idle:
        if (checkFailed)
            break;
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

namespace {

// Draws the symbol at whatever size the tray asks for, when it asks, so that nothing is
// rendered for sizes no tray uses and every size stays sharp.
class OutlinedSymbolEngine final : public QIconEngine {
public:
    OutlinedSymbolEngine(QString symbol, QColor foreground, QColor halo)
        : m_symbol(std::move(symbol)), m_foreground(foreground), m_halo(halo) {}

    QIconEngine *clone() const override { return new OutlinedSymbolEngine(*this); }

    // StatusNotifierItem hosts are sent a pixmap of every size listed here.
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode,
               QIcon::State state) override {
        painter->drawPixmap(rect, pixmap(rect.size(), mode, state));
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode, QIcon::State) override {
        const int side = std::max(1, std::min(size.width(), size.height()));
        // The symbol is drawn a little smaller than the icon, leaving room for the outline.
        const int inset = std::max(1, side / 16);
        const QPixmap shape = symbolPixmap(m_symbol, m_foreground, side - 2 * inset);
        const QPixmap outline = symbolPixmap(m_symbol, m_halo, side - 2 * inset);
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                if (dx != 0 || dy != 0)
                    painter.drawPixmap(inset + dx * inset, inset + dy * inset, outline);
        painter.drawPixmap(inset, inset, shape);
        return pixmap;
    }

private:
    QString m_symbol;
    QColor m_foreground;
    QColor m_halo;
};

} // namespace

QIcon trayIcon(const QString &symbol, const QColor &foreground, const QColor &halo) {
    return QIcon(new OutlinedSymbolEngine(symbol, foreground, halo));
}

} // namespace orvu
