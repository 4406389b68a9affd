#pragma once

#include "core/sync/sync_types.h"

#include <QColor>
#include <QIcon>
#include <QString>

namespace orvu {

// The tray symbol that sums up every repo. An idle set of repos with local changes waiting to
// be pushed shows an up arrow, so that the checkmark always means up to date; `checkFailed`
// (no repo's state is known) shows the warning.
QString statusSymbol(const SyncState &aggregateState, qint64 remoteTotal, qint64 pendingTotal,
                     bool checkFailed = false);

// The symbol of one sync animation frame; the frames alternate between an arrow and a circled
// arrow pointing the way the files go.
QString animationSymbol(SyncProgress::Phase phase, int frame);

// The tray's own icon for a symbol, "io.orvu.tray-<state>-symbolic": installed in the hicolor
// theme, where the panel finds it by name and draws it in its own foreground colour, and bundled
// as :/symbols/<name>.svg for the pixmap. Empty for a symbol the tray never shows.
QString trayIconName(const QString &symbol);

// "Orvu — " and the panel header's status text.
QString trayToolTip(const QString &headerStatusText);

// The tray icon of `symbol`: handed to the panel by its themed name when the icon theme has it,
// and always as pixmaps of `foreground` outlined with `halo`, so that it reads on light and dark
// panels alike. Square at every size and scale, drawn from the vector source when asked for.
QIcon trayIcon(const QString &symbol, const QColor &foreground, const QColor &halo);

} // namespace orvu
