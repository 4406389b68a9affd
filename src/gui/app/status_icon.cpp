#include "gui/app/status_icon.h"

#include "gui/views/symbol.h"

#include <QHash>
#include <QIconEngine>
#include <QPainter>

#include <cmath>

namespace orvu {

QString statusSymbol(const SyncState &aggregateState, qint64 remoteTotal, qint64 pendingTotal,
                     bool checkFailed) {
    switch (aggregateState.kind) {
    case SyncState::idle:
        if (checkFailed)
            break; // no count can be trusted
        if (remoteTotal >= 1)
            return QStringLiteral("arrow.down.circle");
        return pendingTotal >= 1 ? QStringLiteral("arrow.up.circle")
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

QString trayIconName(const QString &symbol) {
    static const QHash<QString, QString> states{
        {QStringLiteral("checkmark.circle"), QStringLiteral("up-to-date")},
        {QStringLiteral("arrow.down.circle"), QStringLiteral("updates")},
        {QStringLiteral("arrow.up.circle"), QStringLiteral("changes")},
        {QStringLiteral("arrow.triangle.2.circlepath"), QStringLiteral("syncing")},
        {QStringLiteral("arrow.up"), QStringLiteral("pushing")},
        {QStringLiteral("arrow.down"), QStringLiteral("pulling")},
        {QStringLiteral("person.crop.circle.badge.questionmark"), QStringLiteral("signed-out")},
        {QStringLiteral("folder.badge.questionmark"), QStringLiteral("no-folder")},
        {QStringLiteral("wifi.slash"), QStringLiteral("offline")},
        {QStringLiteral("exclamationmark.triangle"), QStringLiteral("attention")}};
    const QString state = states.value(symbol);
    return state.isEmpty() ? state : QStringLiteral("io.orvu.tray-%1-symbolic").arg(state);
}

QString trayToolTip(const QString &headerStatusText) {
    return QStringLiteral("Orvu — ") + headerStatusText;
}

namespace {

// Draws the symbol at whatever size and scale the tray asks for, when it asks, so that nothing
// is rendered for sizes no tray uses and every size stays sharp.
class TraySymbolEngine final : public QIconEngine {
public:
    TraySymbolEngine(QString name, QColor foreground, QColor halo)
        : m_name(std::move(name)), m_foreground(foreground), m_halo(halo) {}

    QIconEngine *clone() const override { return new TraySymbolEngine(*this); }

    // Hosts that look icons up by name find the installed symbolic icon and recolour it.
    QString iconName() override { return QIcon::hasThemeIcon(m_name) ? m_name : QString(); }

    // StatusNotifierItem hosts are sent a pixmap of every size listed here.
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
    }

    // A tray slot that is not square gets the square icon in its middle, never a stretched one.
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode,
               QIcon::State state) override {
        const int side = std::min(rect.width(), rect.height());
        const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const QRect square(rect.x() + (rect.width() - side) / 2,
                           rect.y() + (rect.height() - side) / 2, side, side);
        painter->drawPixmap(square, scaledPixmap({side, side}, mode, state, scale));
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize &size, QIcon::Mode, QIcon::State, qreal scale) override {
        const int side = std::max(
            1, int(std::lround(std::min(size.width(), size.height()) * std::max(scale, 1.0))));
        // The symbol is drawn a little smaller than the icon, leaving room for the outline.
        const int inset = std::max(1, int(std::lround(side / 14.0)));
        const QPixmap shape = symbolPixmap(m_name, m_foreground, side - 2 * inset);
        const QPixmap outline = symbolPixmap(m_name, m_halo, side - 2 * inset);
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                if (dx != 0 || dy != 0)
                    painter.drawPixmap(inset + dx * inset, inset + dy * inset, outline);
        painter.drawPixmap(inset, inset, shape);
        painter.end();
        pixmap.setDevicePixelRatio(std::max(scale, 1.0));
        return pixmap;
    }

private:
    QString m_name;
    QColor m_foreground;
    QColor m_halo;
};

} // namespace

QIcon trayIcon(const QString &symbol, const QColor &foreground, const QColor &halo) {
    return QIcon(new TraySymbolEngine(trayIconName(symbol), foreground, halo));
}

} // namespace orvu
