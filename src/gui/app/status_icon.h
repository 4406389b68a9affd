#pragma once

#include "core/sync/sync_types.h"

#include <QColor>
#include <QIcon>
#include <QString>

namespace orvu {

// The tray symbol that sums up every repo; `checkFailed`: no repo's state is known.
QString statusSymbol(const SyncState &aggregateState, qint64 remoteTotal, bool checkFailed = false);

// The symbol of one sync animation frame; the frames alternate between an arrow and a circled
// arrow pointing the way the files go.
QString animationSymbol(SyncProgress::Phase phase, int frame);

// "Orvu — " and the panel header's status text.
QString trayToolTip(const QString &headerStatusText);

// A tray icon of `symbol` in `foreground`, outlined with `halo`, so that it reads on light and
// dark panels alike; drawn from the vector source at the size the tray asks for.
QIcon trayIcon(const QString &symbol, const QColor &foreground, const QColor &halo);

} // namespace orvu
