#include "gui/views/view_rules.h"

#include <algorithm>

namespace orvu::rules {

namespace {

// The colours of the states that need the user, the same for the header and a row.
std::optional<Tint> troubleTint(SyncState::Kind kind) {
    switch (kind) {
    case SyncState::notAuthenticated:
    case SyncState::noFolder:
    case SyncState::networkError:
        return Tint::orange;
    case SyncState::error:
        return Tint::red;
    case SyncState::idle:
    case SyncState::syncing:
    case SyncState::pulling:
        break;
    }
    return std::nullopt;
}

// N followed by the noun, with an "s" unless N is 1: "3 files", "1 file".
QString counted(qint64 n, const QString &noun) {
    return QString::number(n) + u' ' + noun + (n == 1 ? QString() : QStringLiteral("s"));
}

const QString kMiddleDot = QStringLiteral(" \u00B7 ");

QString checkFailedText(const QString &message) {
    return QStringLiteral("Check failed: ") + message;
}

// An alert's list of paths: the first ten, then how many more there are.
QString listedPaths(const QStringList &paths) {
    constexpr qsizetype kListed = 10;
    QString text;
    for (const QString &path : paths.mid(0, kListed))
        text += QStringLiteral("\n  ") + path;
    if (paths.size() > kListed)
        text += QStringLiteral("\n  ...and %1 more").arg(paths.size() - kListed);
    return text;
}

} // namespace

QString userDisplayName(const std::optional<QString> &username, const QString &email) {
    return username ? u'@' + *username : email;
}

QString headerStatusText(bool anySyncing, SyncState::Kind aggregate, qint64 remoteTotal,
                         qint64 pendingTotal, qsizetype engineCount,
                         const std::optional<QString> &checkFailure) {
    if (anySyncing)
        return QStringLiteral("Syncing...");
    switch (aggregate) {
    case SyncState::notAuthenticated:
        return QStringLiteral("Not authenticated");
    case SyncState::noFolder:
        return QStringLiteral("No repos");
    case SyncState::networkError:
        return QStringLiteral("Offline");
    case SyncState::error:
        return QStringLiteral("A repo needs attention");
    default:
        break;
    }
    if (checkFailure)
        return checkFailedText(*checkFailure);
    if (remoteTotal >= 1)
        return QStringLiteral("Updates available");
    if (pendingTotal < 1)
        return counted(engineCount, QStringLiteral("repo")) + kMiddleDot +
               QStringLiteral("up to date");
    return counted(pendingTotal, QStringLiteral("local change"));
}

Tint headerStatusColor(SyncState::Kind aggregate, qint64 remoteTotal, bool checkFailed) {
    // No repo at all is where every new user starts, not a warning.
    if (aggregate == SyncState::noFolder)
        return Tint::neutral;
    if (const auto tint = troubleTint(aggregate))
        return *tint;
    if (checkFailed)
        return Tint::red;
    return aggregate == SyncState::idle && remoteTotal < 1 ? Tint::green : Tint::blue;
}

QString relinkName(const QString &displayName, const QString &folderPath) {
    return displayName.isEmpty() ? lastPathComponent(folderPath) : displayName;
}

QString unreadableBindingsNotice(qsizetype entries, const QString &copyKey,
                                 const QString &location) {
    const QString what = entries > 0 ? counted(entries, QStringLiteral("saved folder"))
                                     : QStringLiteral("Your saved folders");
    return QStringLiteral("%1 could not be read. A copy of the saved list is kept in %2 as %3.")
        .arg(what, location, copyKey);
}

qint64 remoteCount(const std::optional<RemoteStatusInfo> &remote) {
    return remote ? remote->toPull + remote->toDelete + remote->conflicts : 0;
}

bool hasWork(const RepoValues &values) {
    return values.selectedCount > 0 || remoteCount(values.remote) > 0 || values.pendingCount > 0;
}

bool isDownloadOnly(const RepoValues &values) {
    const auto &remote = values.remote;
    return remote && remote->toPull > 0 && values.pendingCount == 0 && remote->toDelete == 0 &&
           remote->conflicts == 0;
}

QString statusLine(const RepoValues &values) {
    switch (values.state.kind) {
    case SyncState::syncing:
        return QStringLiteral("Syncing...");
    case SyncState::error:
        return values.state.message;
    case SyncState::networkError:
        return QStringLiteral("Offline");
    default:
        break;
    }
    if (values.checkFailure)
        return checkFailedText(*values.checkFailure);
    const QString counts = [&] {
        const qint64 remote = remoteCount(values.remote);
        if (isDownloadOnly(values))
            return counted(values.remote->toPull, QStringLiteral("file")) +
                   QStringLiteral(" ready to download");
        if (values.pendingCount > 0 && remote >= 1)
            return QString::number(values.pendingCount) + QStringLiteral(" up") + kMiddleDot +
                   QString::number(remote) + QStringLiteral(" down");
        if (values.pendingCount > 0)
            return counted(values.pendingCount, QStringLiteral("local change"));
        if (remote < 1)
            return QStringLiteral("Up to date");
        return counted(remote, QStringLiteral("update"));
    }();
    if (!values.stopped)
        return counts;
    const QString stopped = QStringLiteral("Sync stopped");
    return counts == QStringLiteral("Up to date") ? stopped : stopped + kMiddleDot + counts;
}

Tint statusColor(const RepoValues &values) {
    const SyncState::Kind kind = values.state.kind;
    if (remoteCount(values.remote) >= 1 && kind == SyncState::idle)
        return Tint::blue;
    if (const auto tint = troubleTint(kind))
        return *tint;
    if (values.checkFailure && kind != SyncState::syncing)
        return Tint::red;
    return kind == SyncState::idle && !hasWork(values) ? Tint::green : Tint::blue;
}

QString syncLabel(const RepoValues &values) {
    if (values.state.kind == SyncState::syncing)
        return QStringLiteral("Syncing...");
    if (isDownloadOnly(values))
        return QStringLiteral("Download ") + counted(values.remote->toPull, QStringLiteral("file"));
    const qint64 selected = values.selectedCount;
    const qint64 remote = remoteCount(values.remote);
    if (selected == 0 && remote < 1)
        return QStringLiteral("Sync");
    if (selected == 0)
        return QStringLiteral("Sync (") + counted(remote, QStringLiteral("update")) + u')';
    if (remote < 1)
        return QStringLiteral("Sync (") + counted(selected, QStringLiteral("change")) + u')';
    return QStringLiteral("Sync (%1 up, %2 down)").arg(selected).arg(remote);
}

QStringList remoteDeletePaths(const std::optional<RemoteStatusInfo> &remote) {
    QStringList paths;
    if (remote)
        for (const RemoteChange &change : remote->changes)
            if (change.changeType == RemoteChange::ChangeType::remove)
                paths.append(change.path);
    return paths;
}

QString progressText(const SyncProgress &progress) {
    return QStringLiteral("%1 %2 of %3...")
        .arg(progress.phase == SyncProgress::Phase::pushing ? QStringLiteral("Pushing")
                                                            : QStringLiteral("Pulling"))
        .arg(progress.completedFiles + 1)
        .arg(progress.totalFiles);
}

double progressFraction(const SyncProgress &progress) {
    if (progress.totalFiles < 1)
        return 0;
    return std::clamp(double(progress.completedFiles) / double(progress.totalFiles), 0.0, 1.0);
}

AlertText conflictAlert(const std::optional<SyncPreview> &preview) {
    const qint64 conflicts = preview ? preview->conflicts : 0;
    AlertText text;
    text.title = QString::number(conflicts) + QStringLiteral(" file") +
                 (conflicts == 1 ? QStringLiteral(" has") : QStringLiteral("s have")) +
                 QStringLiteral(" conflicts");
    if (preview) {
        text.message = QStringLiteral("Both versions will be kept: local files will be renamed "
                                      "with _ prefix (making them private) and server versions "
                                      "will be downloaded.\n") +
                       listedPaths(preview->conflictFiles);
    }
    return text;
}

AlertText deleteAlert(const QStringList &deletePaths) {
    // The title says what happens here; the body says why, and which files.
    return {counted(deletePaths.size(), QStringLiteral("file")) +
                QStringLiteral(" will be deleted locally"),
            QStringLiteral("Deleted on the server since your last sync:\n") +
                listedPaths(deletePaths)};
}

AlertText removeRepoAlert(const QString &displayName) {
    return {QStringLiteral("Remove ") + displayName + u'?',
            QStringLiteral("This unlinks the folder from Orvu on this computer only. Your files "
                           "stay on your computer, and the repo and its published files are "
                           "untouched.")};
}

AlertText discardAlert(const QString &changePath) {
    return {QStringLiteral("Discard change?"),
            QStringLiteral("Revert \"") + lastPathComponent(changePath) +
                QStringLiteral("\" to its last synced state. This cannot be undone.")};
}

ChangeMark changeLetter(PendingChange::ChangeType type) {
    switch (type) {
    case PendingChange::ChangeType::added:
        return {QStringLiteral("A"), Tint::green};
    case PendingChange::ChangeType::modified:
        break;
    case PendingChange::ChangeType::deleted:
        return {QStringLiteral("D"), Tint::red};
    }
    return {QStringLiteral("M"), Tint::orange};
}

QString lastPathComponent(const QString &path) {
    QStringView view(path);
    while (view.endsWith(u'/') && view.size() > 1)
        view.chop(1);
    return view.mid(view.lastIndexOf(u'/') + 1).toString();
}

QString changeIcon(const QString &path) {
    const QString name = lastPathComponent(path);
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString extension = dot < 0 ? QString() : name.mid(dot + 1).toLower();
    static const QStringList photos{"jpg", "jpeg", "png", "gif", "webp", "svg"};
    static const QStringList films{"mp4", "webm", "mov"};
    if (photos.contains(extension))
        return QStringLiteral("photo");
    if (films.contains(extension))
        return QStringLiteral("film");
    if (extension == u"md")
        return QStringLiteral("doc.text");
    if (extension == u"pdf")
        return QStringLiteral("doc.richtext");
    if (extension == u"txt")
        return QStringLiteral("doc.plaintext");
    return QStringLiteral("doc");
}

QString pendingHeaderText(qsizetype changeCount) {
    return QStringLiteral("Changes (%1)").arg(changeCount);
}

QString pendingFooterText(qsizetype changeCount, qsizetype maxDisplay) {
    if (changeCount <= maxDisplay)
        return {};
    return QStringLiteral("and %1 more...").arg(changeCount - maxDisplay);
}

} // namespace orvu::rules
