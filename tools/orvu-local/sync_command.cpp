#include "sync_command.h"

#include "folder_io.h"
#include "json_output.h"
#include "lease_lock.h"
#include "paths.h"
#include "run_ahead.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace orvu::local {

namespace {

constexpr int kRepoLockWaitMs = 10000;
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void onInterrupt(int signal) {
    g_interrupted = signal;
}

bool interrupted() {
    return g_interrupted != 0;
}

bool selected(const QString &path, const std::optional<QStringList> &only) {
    if (!only)
        return true;
    for (const QString &choice : *only)
        if (path == choice || path.startsWith(choice + QLatin1Char('/')))
            return true;
    return false;
}

QJsonArray toArray(const QStringList &list) {
    return QJsonArray::fromStringList(list);
}

// `_<name>` next to the file, then `_<stem> (2).<ext>` and so on, avoiding names that exist
// here (in `dirFd`, the file's directory) or on the server.
QString conflictCopyName(int dirFd, const QString &path, const Manifest &manifest) {
    const auto [directory, name] = splitParent(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    for (int n = 1;; ++n) {
        const QString leaf =
            QLatin1Char('_') +
            (n == 1 ? name : QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(extension));
        const QString candidate = directory.isEmpty() ? leaf : directory + QLatin1Char('/') + leaf;
        struct stat info {};
        if (manifest.count(candidate) == 0 &&
            ::fstatat(dirFd, QFile::encodeName(leaf).constData(), &info, AT_SYMLINK_NOFOLLOW) !=
                0 &&
            errno == ENOENT)
            return candidate;
    }
}

// A file's directory, opened without following links, and its name there.
struct Place {
    Fd dir;
    QByteArray leaf;
};

std::optional<Place> placeOf(const Folder &folder, const QString &path, bool create) {
    const auto [parent, leaf] = splitParent(path);
    Fd dir = openDirectoryInside(folder.root(), parent, create);
    if (!dir.valid())
        return std::nullopt;
    return Place{std::move(dir), QFile::encodeName(leaf)};
}

void emitTransfer(const QString &type, const QString &path, qsizetype current, qsizetype total) {
    // One per file: written directly, as a JSON document for each cost more than the copy.
    emitRawLine("{\"current\":" + QByteArray::number(current) + ",\"file\":" + jsonString(path) +
                ",\"total\":" + QByteArray::number(total) + ",\"type\":" + jsonString(type) + '}');
}

void transferPause() {
    // For demos and tests of progress and interruption: slows every transfer down.
    static const int delayMs = qEnvironmentVariableIntValue("ORVU_LOCAL_TRANSFER_DELAY_MS");
    if (delayMs > 0)
        QThread::msleep(static_cast<unsigned long>(delayMs));
}

class SyncRun {
public:
    SyncRun(const Store &store, const Folder &folder, const QString &repoId, const LeaseLock &lease)
        : m_store(store), m_folder(folder), m_repoId(repoId), m_lease(lease) {}

    int run(const SyncOptions &options);

private:
    void settle(const QStringList &paths);
    void pushPhase(const QStringList &paths);
    void deleteServerPhase(const QStringList &paths);
    QStringList conflictPhase(const QStringList &paths);
    void pullPhase(const QStringList &paths);
    // A download into a temporary file next to its target.
    struct Download {
        std::optional<Place> place;
        std::optional<TemporaryFile> temporary;
        Store::CopyOutcome outcome = Store::CopyOutcome::WriteFailed;
    };
    Download download(const QString &path, const ManifestEntry &entry) const;
    bool pullOne(const QString &path, const ManifestEntry &entry, const Download &download);
    void deleteLocalPhase(const QStringList &paths);
    std::optional<QString> moveAside(const Place &place, const QString &path,
                                     const QByteArray &from);
    std::optional<QString> saveAll();

    const Store &m_store;
    const Folder &m_folder;
    QString m_repoId;
    const LeaseLock &m_lease;
    Manifest m_manifest;
    qint64 m_generation = 0; // the manifest version the plan was made from
    SyncedState m_state;
    LocalFiles m_local;
    bool m_manifestChanged = false;
    QStringList m_pushed, m_pulled, m_deletedServer, m_deletedLocal;
    QStringList m_failed; // files the run had to leave undone because of the store
};

void SyncRun::settle(const QStringList &paths) {
    for (const QString &path : paths) {
        const auto it = m_manifest.find(path);
        if (it == m_manifest.end())
            m_state.erase(path);
        else
            m_state[path] = SyncedEntry{it->second.sha256, it->second.size, it->second.version};
    }
}

void SyncRun::pushPhase(const QStringList &paths) {
    std::vector<qint64> versions;
    for (const QString &path : paths) {
        qint64 version = 0;
        if (const auto it = m_manifest.find(path); it != m_manifest.end())
            version = it->second.version;
        if (const auto it = m_state.find(path); it != m_state.end())
            version = std::max(version, it->second.version);
        versions.push_back(version);
    }
    constexpr qint64 kLastVersion = std::numeric_limits<qint64>::max();
    // Files are copied into the store on worker threads, a few ahead of the lines, which come
    // out in order; an interruption lets the copies under way finish.
    runAheadInOrder<std::optional<StoredObject>>(
        paths.size(), [this] { return DirectoryCache(m_folder.root()); },
        [&](qsizetype i, DirectoryCache &directories) -> std::optional<StoredObject> {
            if (versions[static_cast<size_t>(i)] == kLastVersion)
                return std::nullopt;
            // Only the regular file the scan saw is sent: never through a link, never a FIFO.
            const Fd fd = directories.openRegular(paths[i]);
            auto stored = fd.valid() ? m_store.storeFile(fd.get()) : std::nullopt;
            if (stored)
                transferPause();
            return stored;
        },
        interrupted,
        [&](qsizetype i, const std::optional<StoredObject> &stored) {
            const QString &path = paths[i];
            if (versions[static_cast<size_t>(i)] == kLastVersion) {
                warn(QStringLiteral("%1 has reached the highest version number the server can "
                                    "count; it stays pending")
                         .arg(path));
                m_failed.append(path);
                return;
            }
            if (!stored) {
                warn(QStringLiteral("Could not read %1; it stays pending").arg(path));
                return;
            }
            const qint64 version = versions[static_cast<size_t>(i)] + 1;
            m_manifest[path] =
                ManifestEntry{stored->sha256, stored->size, version, isPrivatePath(path)};
            m_state[path] = SyncedEntry{stored->sha256, stored->size, version};
            m_manifestChanged = true;
            m_pushed.append(path);
            emitTransfer(QStringLiteral("push"), path, i + 1, paths.size());
        });
}

void SyncRun::deleteServerPhase(const QStringList &paths) {
    for (const QString &path : paths) {
        if (interrupted())
            return;
        m_manifest.erase(path);
        m_state.erase(path);
        m_manifestChanged = true;
        m_deletedServer.append(path);
        emitLine({{QStringLiteral("type"), QStringLiteral("delete")},
                  {QStringLiteral("file"), path},
                  {QStringLiteral("side"), QStringLiteral("server")}});
    }
}

// Renames `from` (a name in the file's directory) to a free conflict copy of `path`, never
// replacing anything; returns the copy's path.
std::optional<QString> SyncRun::moveAside(const Place &place, const QString &path,
                                          const QByteArray &from) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        const QString copy = conflictCopyName(place.dir.get(), path, m_manifest);
        if (renameNoReplace(place.dir.get(), from, QFile::encodeName(splitParent(copy).second)))
            return copy;
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

// Returns the conflicting paths whose server version is to be downloaded.
QStringList SyncRun::conflictPhase(const QStringList &paths) {
    QStringList downloads;
    for (const QString &path : paths) {
        if (interrupted())
            return downloads;
        const bool localExists = m_local.count(path) != 0;
        const bool serverExists = m_manifest.count(path) != 0;
        if (localExists) {
            const auto place = placeOf(m_folder, path, false);
            const auto copy = place ? moveAside(*place, path, place->leaf) : std::nullopt;
            if (!copy) {
                warn(QStringLiteral("Could not keep a copy of %1; it stays in conflict").arg(path));
                continue;
            }
            emitLine({{QStringLiteral("type"), QStringLiteral("conflict")},
                      {QStringLiteral("file"), path},
                      {QStringLiteral("renamedTo"), *copy}});
            m_local.erase(path);
        } else {
            // Deleted here, changed on the server: the server's version comes back.
            emitLine({{QStringLiteral("type"), QStringLiteral("conflict")},
                      {QStringLiteral("file"), path},
                      {QStringLiteral("resolution"), QStringLiteral("restored")}});
        }
        if (serverExists)
            downloads.append(path);
        else
            m_state.erase(path); // the edit lives on in the copy, as a new file
    }
    return downloads;
}

// Downloads one file. The content goes to a temporary file next to it and is checked against
// its hash; only then, with nothing slow in between, is the local file compared with what the
// scan saw, and replaced only when it is unchanged. A file edited meanwhile stays where it is
// and the download goes aside as a conflict copy.
SyncRun::Download SyncRun::download(const QString &path, const ManifestEntry &entry) const {
    Download download;
    download.place = placeOf(m_folder, path, true);
    if (download.place)
        download.temporary = createTemporaryAt(download.place->dir.get(), 0666);
    if (download.temporary) {
        download.outcome =
            m_store.copyObject(entry.sha256, entry.size, download.temporary->fd.get());
        download.temporary->fd = Fd();
    }
    return download;
}

bool SyncRun::pullOne(const QString &path, const ManifestEntry &entry, const Download &download) {
    const auto &place = download.place;
    if (!place) {
        warn(QStringLiteral("Not writing %1: it would lead outside the folder").arg(path));
        return false;
    }
    const auto &temporary = download.temporary;
    if (!temporary) {
        warn(QStringLiteral("Could not write %1").arg(path));
        return false;
    }
    const Store::CopyOutcome outcome = download.outcome;
    if (outcome != Store::CopyOutcome::Copied) {
        ::unlinkat(place->dir.get(), temporary->name.constData(), 0);
        if (outcome == Store::CopyOutcome::WriteFailed) {
            warn(QStringLiteral("Could not write %1").arg(path));
        } else {
            warn(QStringLiteral("The server's copy of %1 is %2; the file is left as it is")
                     .arg(path, outcome == Store::CopyOutcome::Missing
                                    ? QStringLiteral("missing")
                                    : QStringLiteral("damaged")));
            m_failed.append(path);
        }
        return false;
    }
    const auto scanned = m_local.find(path);
    struct stat now {};
    const int statResult =
        ::fstatat(place->dir.get(), place->leaf.constData(), &now, AT_SYMLINK_NOFOLLOW);
    const bool missing = statResult != 0 && errno == ENOENT;
    bool placed = false;
    if (statResult == 0 && scanned != m_local.end() &&
        sameFile(now, scanned->second.size, scanned->second.mtimeNs, scanned->second.inode))
        placed = ::renameat(place->dir.get(), temporary->name.constData(), place->dir.get(),
                            place->leaf.constData()) == 0;
    else if (missing)
        placed = renameNoReplace(place->dir.get(), temporary->name, place->leaf);
    if (!placed) {
        const auto copy = moveAside(*place, path, temporary->name);
        if (!copy) {
            ::unlinkat(place->dir.get(), temporary->name.constData(), 0);
            warn(QStringLiteral("%1 changed during the sync; it stays as it is").arg(path));
            return false;
        }
        // Both versions stay: the local edit, now a change against the server's version,
        // and the server's version beside it.
        warn(QStringLiteral("%1 changed during the sync; the server's version is kept as %2")
                 .arg(path, *copy));
        emitLine({{QStringLiteral("type"), QStringLiteral("conflict")},
                  {QStringLiteral("file"), path},
                  {QStringLiteral("renamedTo"), *copy}});
    }
    m_state[path] = SyncedEntry{entry.sha256, entry.size, entry.version};
    return placed;
}

void SyncRun::pullPhase(const QStringList &paths) {
    std::vector<std::optional<ManifestEntry>> entries;
    for (const QString &path : paths) {
        const auto entry = m_manifest.find(path);
        entries.push_back(entry == m_manifest.end() ? std::nullopt : std::optional(entry->second));
    }
    // Downloads go to temporary files on worker threads, a few ahead; each is checked against
    // the local file and put in place here, in order.
    runAheadInOrder<std::optional<Download>>(
        paths.size(), [] { return 0; },
        [&](qsizetype i, int) -> std::optional<Download> {
            const auto &entry = entries[static_cast<size_t>(i)];
            if (!entry)
                return std::nullopt;
            transferPause();
            return download(paths[i], *entry);
        },
        interrupted,
        [&](qsizetype i, const std::optional<Download> &done) {
            const QString &path = paths[i];
            if (!done || !pullOne(path, *entries[static_cast<size_t>(i)], *done))
                return;
            m_pulled.append(path);
            emitTransfer(QStringLiteral("pull"), path, i + 1, paths.size());
        });
}

void SyncRun::deleteLocalPhase(const QStringList &paths) {
    for (const QString &path : paths) {
        if (interrupted())
            return;
        const auto place = placeOf(m_folder, path, false);
        if (!place) {
            if (errno == ENOENT)
                m_state.erase(path); // already gone
            continue;
        }
        // Compared with what the scan saw right before the removal: an edit made since stays.
        const auto scanned = m_local.find(path);
        struct stat now {};
        if (::fstatat(place->dir.get(), place->leaf.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0) {
            if (scanned == m_local.end() ||
                !sameFile(now, scanned->second.size, scanned->second.mtimeNs,
                          scanned->second.inode)) {
                warn(QStringLiteral("%1 changed during the sync; it is kept as a new file")
                         .arg(path));
            } else {
                if (::unlinkat(place->dir.get(), place->leaf.constData(), 0) != 0)
                    continue;
                removeEmptyParents(m_folder.root(), path);
                m_deletedLocal.append(path);
                emitLine({{QStringLiteral("type"), QStringLiteral("delete")},
                          {QStringLiteral("file"), path},
                          {QStringLiteral("side"), QStringLiteral("local")}});
            }
        }
        m_state.erase(path);
    }
}

// Nothing, or why the run must stop. The manifest goes first: a state that lags behind it
// only makes the next run see both sides changed alike, which settles without transfers. When
// the commit cannot be made, the state is not written either, so every local change stays
// pending and the next run plans again from what the server holds then.
std::optional<QString> SyncRun::saveAll() {
    if (m_manifestChanged) {
        if (!m_lease.isHeld())
            return QStringLiteral("This computer stopped holding the repo during the sync (it "
                                  "was paused for too long); nothing was changed on the server, "
                                  "sync again to send the changes");
        switch (m_store.commitManifest(m_repoId, m_manifest, m_generation)) {
        case Store::CommitOutcome::Committed:
            ++m_generation;
            break;
        case Store::CommitOutcome::Superseded:
            return QStringLiteral("Another computer changed this repo during the sync; nothing "
                                  "was changed on the server, sync again to send the changes");
        case Store::CommitOutcome::Failed:
            return QStringLiteral("Could not write the sync state");
        }
    }
    m_manifestChanged = false;
    if (!m_folder.saveState(m_state))
        return QStringLiteral("Could not write the sync state");
    return std::nullopt;
}

int SyncRun::run(const SyncOptions &options) {
    // Nothing is decided from a store or a folder that cannot be read whole: a damaged list
    // must never read as "everything was deleted".
    QString manifestError;
    auto manifest = m_store.loadManifest(m_repoId, &manifestError, &m_generation);
    if (!manifest)
        return fail(kExitFailure,
                    QStringLiteral("The server's file list of this repo cannot be used (%1); "
                                   "nothing was changed")
                        .arg(manifestError));
    m_manifest = std::move(*manifest);
    auto state = m_folder.loadState();
    if (!state)
        return fail(kExitFailure,
                    QStringLiteral("The folder's sync state cannot be read; nothing was changed"));
    m_state = std::move(*state);
    auto scan = m_folder.scan(m_state, m_manifest);
    if (!scan)
        return fail(
            kExitFailure,
            QStringLiteral("Cannot read the folder %1; nothing was changed").arg(m_folder.root()));
    m_local = std::move(scan->files);
    const SyncPlan plan = makePlan(m_local, m_state, m_manifest, options.only, scan->unreadable);

    if (options.dryRun) {
        emitLine({{QStringLiteral("type"), QStringLiteral("plan")},
                  {QStringLiteral("toPush"), plan.push.size()},
                  {QStringLiteral("toPull"), plan.pullCount(m_manifest)},
                  {QStringLiteral("toDeleteServer"), plan.deleteServer.size()},
                  {QStringLiteral("toDeleteLocal"), plan.deleteLocal.size()},
                  {QStringLiteral("conflicts"), plan.conflicts.size()},
                  {QStringLiteral("conflictFiles"), toArray(plan.conflicts)}});
        return kExitOk;
    }

    settle(plan.settle);
    if (plan.nothingToTransfer()) {
        if (!plan.settle.isEmpty() && !m_folder.saveState(m_state))
            return fail(kExitFailure, QStringLiteral("Could not write the folder's sync state"));
        emitLine({{QStringLiteral("type"), QStringLiteral("success")},
                  {QStringLiteral("message"), QStringLiteral("Already up to date")}});
        return kExitOk;
    }

    pushPhase(plan.push);
    deleteServerPhase(plan.deleteServer);
    if (!interrupted())
        if (const auto error = saveAll())
            return fail(kExitFailure, *error);
    QStringList downloads = conflictPhase(plan.conflicts);
    downloads += plan.pull;
    if (!interrupted())
        pullPhase(downloads);
    deleteLocalPhase(plan.deleteLocal);

    if (const auto error = saveAll())
        return fail(kExitFailure, *error);
    if (interrupted())
        return fail(kExitInterrupted,
                    QStringLiteral("Sync interrupted; run it again to finish the rest"));
    if (!m_failed.isEmpty())
        return fail(kExitFailure,
                    QStringLiteral("The server could not provide or take %1; these files were "
                                   "left as they are")
                        .arg(m_failed.join(QStringLiteral(", "))));
    emitLine({{QStringLiteral("type"), QStringLiteral("complete")},
              {QStringLiteral("pushed"), m_pushed.size()},
              {QStringLiteral("pulled"), m_pulled.size()},
              {QStringLiteral("deletedServer"), m_deletedServer.size()},
              {QStringLiteral("deletedLocal"), m_deletedLocal.size()},
              {QStringLiteral("pushedFiles"), toArray(m_pushed)},
              {QStringLiteral("pulledFiles"), toArray(m_pulled)},
              {QStringLiteral("deletedServerFiles"), toArray(m_deletedServer)},
              {QStringLiteral("deletedLocalFiles"), toArray(m_deletedLocal)}});
    return kExitOk;
}

} // namespace

qsizetype SyncPlan::pullCount(const Manifest &manifest) const {
    qsizetype count = pull.size();
    for (const QString &path : conflicts)
        count += manifest.count(path) != 0 ? 1 : 0;
    return count;
}

SyncPlan makePlan(const LocalFiles &local, const SyncedState &state, const Manifest &manifest,
                  const std::optional<QStringList> &only, const QStringList &unreadable) {
    SyncPlan plan;
    // Walk the three sorted maps together so every path is seen once, in order.
    auto l = local.begin();
    auto s = state.begin();
    auto m = manifest.begin();
    for (;;) {
        const QString *next = nullptr;
        for (const QString *candidate :
             {l != local.end() ? &l->first : nullptr, s != state.end() ? &s->first : nullptr,
              m != manifest.end() ? &m->first : nullptr})
            if (candidate && (!next || *candidate < *next))
                next = candidate;
        if (!next)
            break;
        const QString path = *next;
        const LocalFile *here = (l != local.end() && l->first == path) ? &(l++)->second : nullptr;
        const SyncedEntry *base = (s != state.end() && s->first == path) ? &(s++)->second : nullptr;
        const ManifestEntry *there =
            (m != manifest.end() && m->first == path) ? &(m++)->second : nullptr;
        if (isHiddenPath(path) || !isCanonicalRelative(path))
            continue; // never ours to touch, whatever the server lists
        if (!unreadable.isEmpty() && isUnder(path, unreadable))
            continue; // unknown here: neither a change nor a deletion

        const QByteArray baseSha = base ? base->sha256 : QByteArray();
        const QByteArray localSha = here ? here->sha256 : QByteArray();
        const QByteArray serverSha = there ? there->sha256 : QByteArray();
        const bool localChanged = localSha != baseSha;
        const bool serverChanged = serverSha != baseSha;
        if (!localChanged && !serverChanged)
            continue;
        if (localChanged && serverChanged) {
            if (localSha == serverSha)
                plan.settle.append(path);
            else
                plan.conflicts.append(path);
        } else if (localChanged) {
            if (selected(path, only))
                (here ? plan.push : plan.deleteServer).append(path);
        } else if (there) {
            plan.pull.append(path);
            plan.remoteOnlyPull.append(path);
        } else {
            plan.deleteLocal.append(path);
            plan.remoteOnlyDelete.append(path);
        }
    }
    return plan;
}

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &interrupts, nullptr);
}

void restoreDefaultInterrupts() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (g_interrupted != 0)
        std::raise(g_interrupted);
}

int runSync(const Store &store, const SyncOptions &options) {
    Folder folder(options.folder);
    LeaseLock lease(store.lockPath(options.repoId));
    switch (lease.acquire(kRepoLockWaitMs)) {
    case LeaseLock::Outcome::Acquired:
        break;
    case LeaseLock::Outcome::Busy:
        return fail(kExitFailure,
                    QStringLiteral("Another sync of this repo is still running%1 (waited 10 "
                                   "seconds); try again when it has finished")
                        .arg(lease.holder().isEmpty() ? QString()
                                                      : QStringLiteral(" on ") + lease.holder()));
    case LeaseLock::Outcome::Failed:
        return fail(kExitFailure, QStringLiteral("Could not lock the repo for the sync"));
    }
    SyncRun run(store, folder, options.repoId, lease);
    return run.run(options);
}

} // namespace orvu::local
