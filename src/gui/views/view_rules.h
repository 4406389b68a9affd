#pragma once

#include "core/sync/sync_types.h"

#include <QString>
#include <QStringList>

#include <optional>

// Every text, count and colour the panel shows, as functions of plain values, so that each
// rule can be checked without a widget.
namespace orvu::rules {

// The named colours of the panel; view_style maps them to shades that read on the palette.
enum class Tint { green, orange, red, blue, neutral };

// --- Header -----------------------------------------------------------------------------

QString userDisplayName(const std::optional<QString> &username, const QString &email);
// Also the tray icon's tooltip. `checkFailure`: every repo's last check failed, so no count
// can be trusted (SyncCoordinator::checkFailure()).
QString headerStatusText(bool anySyncing, SyncState::Kind aggregate, qint64 remoteTotal,
                         qint64 pendingTotal, qsizetype engineCount,
                         const std::optional<QString> &checkFailure = {});
Tint headerStatusColor(SyncState::Kind aggregate, qint64 remoteTotal, bool checkFailed = false);

// A re-link row's name: the display name, else the folder's last path component.
QString relinkName(const QString &displayName, const QString &folderPath);
// The panel's notice of a saved folder list that could not be read in full; `entries` 0 when
// the count is not known.
QString unreadableBindingsNotice(qsizetype entries, const QString &copyKey,
                                 const QString &location);

// --- Repo row ---------------------------------------------------------------------------

// What a repo row reads of its engine.
struct RepoValues {
    SyncState state;
    qsizetype pendingCount = 0;
    qsizetype selectedCount = 0;
    std::optional<RemoteStatusInfo> remote;
    // The last status check failed, in the tool's words.
    std::optional<QString> checkFailure;
    // The last run was stopped by the user.
    bool stopped = false;
};

qint64 remoteCount(const std::optional<RemoteStatusInfo> &remote);
bool hasWork(const RepoValues &values);
bool isDownloadOnly(const RepoValues &values);
QString statusLine(const RepoValues &values);
Tint statusColor(const RepoValues &values);
QString syncLabel(const RepoValues &values);

// Paths deleted on the server, in list order.
QStringList remoteDeletePaths(const std::optional<RemoteStatusInfo> &remote);

// "Pushing 1 of 5..."; the counter names the file being worked on.
QString progressText(const SyncProgress &progress);
// completed / total in [0, 1]; 0 without a total.
double progressFraction(const SyncProgress &progress);

// --- Alerts -----------------------------------------------------------------------------

struct AlertText {
    QString title;
    QString message;
    friend bool operator==(const AlertText &, const AlertText &) = default;
};

AlertText conflictAlert(const std::optional<SyncPreview> &preview);
AlertText deleteAlert(const QStringList &deletePaths);
AlertText removeRepoAlert(const QString &displayName);
AlertText discardAlert(const QString &changePath);

// --- Pending changes --------------------------------------------------------------------

struct ChangeMark {
    QString letter;
    Tint tint;
    friend bool operator==(const ChangeMark &, const ChangeMark &) = default;
};

ChangeMark changeLetter(PendingChange::ChangeType type);
// The symbol for a file, chosen by the extension of its last path component.
QString changeIcon(const QString &path);
QString lastPathComponent(const QString &path);
QString pendingHeaderText(qsizetype changeCount);
// "and N more..." when some changes are left out, else empty.
QString pendingFooterText(qsizetype changeCount, qsizetype maxDisplay);

} // namespace orvu::rules
