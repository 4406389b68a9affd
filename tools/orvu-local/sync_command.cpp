#include "sync_command.h"

#include "json_output.h"
#include "paths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QLockFile>
#include <QSaveFile>
#include <QThread>

#include <csignal>
#include <cstdio>

namespace orvu::local {

namespace {

constexpr int kRepoLockWaitMs = 10000;
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void onInterrupt(int) {
    g_interrupted = 1;
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

bool sameFile(const std::optional<LocalFile> &now, const LocalFile *scanned) {
    if (!now || !scanned)
        return !now && !scanned;
    return now->size == scanned->size && now->mtimeNs == scanned->mtimeNs &&
           now->inode == scanned->inode;
}

QJsonArray toArray(const QStringList &list) {
    return QJsonArray::fromStringList(list);
}

// `_<name>` next to the file, then `_<stem> (2).<ext>` and so on, avoiding names that exist
// here or on the server.
QString conflictCopyName(const Folder &folder, const QString &path, const Manifest &manifest) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString directory = slash < 0 ? QString() : path.left(slash + 1);
    const QString name = path.mid(slash + 1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    for (int n = 1;; ++n) {
        const QString candidate =
            directory + QLatin1Char('_') +
            (n == 1 ? name : QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(extension));
        if (manifest.count(candidate) == 0 && !QFileInfo::exists(folder.absolute(candidate)) &&
            !QFileInfo(folder.absolute(candidate)).isSymLink())
            return candidate;
    }
}

bool writeFromObject(const Store &store, const QByteArray &sha, const QString &target) {
    QFile source(store.objectPath(sha));
    if (!source.open(QIODevice::ReadOnly))
        return false;
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = source.read(buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (out.write(buffer.constData(), n) != n)
            return false;
    }
    return out.commit();
}

void emitTransfer(const QString &type, const QString &path, qsizetype current, qsizetype total) {
    emitLine({{QStringLiteral("type"), type},
              {QStringLiteral("file"), path},
              {QStringLiteral("current"), current},
              {QStringLiteral("total"), total}});
}

void transferPause() {
    // For demos and tests of progress and interruption: slows every transfer down.
    static const int delayMs = qEnvironmentVariableIntValue("ORVU_LOCAL_TRANSFER_DELAY_MS");
    if (delayMs > 0)
        QThread::msleep(static_cast<unsigned long>(delayMs));
}

class SyncRun {
public:
    SyncRun(const Store &store, const Folder &folder, const QString &repoId)
        : m_store(store), m_folder(folder), m_repoId(repoId) {}

    int run(const SyncOptions &options);

private:
    void settle(const QStringList &paths);
    void pushPhase(const QStringList &paths);
    void deleteServerPhase(const QStringList &paths);
    QStringList conflictPhase(const QStringList &paths);
    void pullPhase(const QStringList &paths);
    void deleteLocalPhase(const QStringList &paths);
    bool moveAside(const QString &path, bool emitLine);
    bool saveAll();

    const Store &m_store;
    const Folder &m_folder;
    QString m_repoId;
    Manifest m_manifest;
    SyncedState m_state;
    LocalFiles m_local;
    bool m_manifestChanged = false;
    QStringList m_pushed, m_pulled, m_deletedServer, m_deletedLocal;
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
    qsizetype current = 0;
    for (const QString &path : paths) {
        if (interrupted())
            return;
        const auto stored = m_store.storeFile(m_folder.absolute(path));
        ++current;
        if (!stored) {
            warn(QStringLiteral("Could not read %1; it stays pending").arg(path));
            continue;
        }
        transferPause();
        qint64 version = 0;
        if (const auto it = m_manifest.find(path); it != m_manifest.end())
            version = it->second.version;
        if (const auto it = m_state.find(path); it != m_state.end())
            version = std::max(version, it->second.version);
        ++version;
        m_manifest[path] =
            ManifestEntry{stored->sha256, stored->size, version, isPrivatePath(path)};
        m_state[path] = SyncedEntry{stored->sha256, stored->size, version};
        m_manifestChanged = true;
        m_pushed.append(path);
        emitTransfer(QStringLiteral("push"), path, current, paths.size());
    }
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

bool SyncRun::moveAside(const QString &path, bool announce) {
    const QString copy = conflictCopyName(m_folder, path, m_manifest);
    if (!isSafeInside(m_folder.root(), copy, false) ||
        !QFile::rename(m_folder.absolute(path), m_folder.absolute(copy)))
        return false;
    if (announce)
        emitLine({{QStringLiteral("type"), QStringLiteral("conflict")},
                  {QStringLiteral("file"), path},
                  {QStringLiteral("renamedTo"), copy}});
    return true;
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
            if (!moveAside(path, true)) {
                warn(QStringLiteral("Could not keep a copy of %1; it stays in conflict").arg(path));
                continue;
            }
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

void SyncRun::pullPhase(const QStringList &paths) {
    qsizetype current = 0;
    for (const QString &path : paths) {
        if (interrupted())
            return;
        ++current;
        const auto entry = m_manifest.find(path);
        if (entry == m_manifest.end())
            continue;
        if (!isSafeInside(m_folder.root(), path, true)) {
            warn(QStringLiteral("Not writing %1: it would lead outside the folder").arg(path));
            continue;
        }
        // A file edited since the scan is never overwritten: it is kept as a conflict copy.
        const auto scanned = m_local.find(path);
        const auto now = m_folder.statFile(path);
        if (now && !sameFile(now, scanned == m_local.end() ? nullptr : &scanned->second) &&
            !moveAside(path, true)) {
            warn(QStringLiteral("%1 changed during the sync; it stays as it is").arg(path));
            continue;
        }
        transferPause();
        if (!writeFromObject(m_store, entry->second.sha256, m_folder.absolute(path))) {
            warn(QStringLiteral("Could not write %1").arg(path));
            continue;
        }
        m_state[path] =
            SyncedEntry{entry->second.sha256, entry->second.size, entry->second.version};
        m_pulled.append(path);
        emitTransfer(QStringLiteral("pull"), path, current, paths.size());
    }
}

void SyncRun::deleteLocalPhase(const QStringList &paths) {
    for (const QString &path : paths) {
        if (interrupted())
            return;
        const auto scanned = m_local.find(path);
        const auto now = m_folder.statFile(path);
        if (now && scanned != m_local.end() && sameFile(now, &scanned->second)) {
            if (!QFile::remove(m_folder.absolute(path)))
                continue;
            removeEmptyParents(m_folder.root(), path);
            m_deletedLocal.append(path);
            emitLine({{QStringLiteral("type"), QStringLiteral("delete")},
                      {QStringLiteral("file"), path},
                      {QStringLiteral("side"), QStringLiteral("local")}});
        } else if (now) {
            warn(QStringLiteral("%1 changed during the sync; it is kept as a new file").arg(path));
        }
        m_state.erase(path);
    }
}

bool SyncRun::saveAll() {
    // The manifest first: a state that lags behind it only makes the next run see both
    // sides changed alike, which settles without transfers.
    if (m_manifestChanged && !m_store.saveManifest(m_repoId, m_manifest))
        return false;
    m_manifestChanged = false;
    return m_folder.saveState(m_state);
}

int SyncRun::run(const SyncOptions &options) {
    m_manifest = m_store.loadManifest(m_repoId);
    m_state = m_folder.loadState();
    m_local = m_folder.scan([this](const QString &path) {
        return m_state.count(path) != 0 || m_manifest.count(path) != 0;
    });
    const SyncPlan plan = makePlan(m_local, m_state, m_manifest, options.only);

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
    if (!interrupted() && !saveAll())
        return fail(kExitFailure, QStringLiteral("Could not write the sync state"));
    QStringList downloads = conflictPhase(plan.conflicts);
    downloads += plan.pull;
    if (!interrupted())
        pullPhase(downloads);
    deleteLocalPhase(plan.deleteLocal);

    if (!saveAll())
        return fail(kExitFailure, QStringLiteral("Could not write the sync state"));
    if (interrupted())
        return fail(kExitInterrupted,
                    QStringLiteral("Sync interrupted; run it again to finish the rest"));
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
                  const std::optional<QStringList> &only) {
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
}

int runSync(const Store &store, const SyncOptions &options) {
    Folder folder(options.folder);
    // Before the lock: a run stopped while taking it must not leave a lock file behind.
    if (!options.dryRun)
        installInterruptHandlers();
    QLockFile lock(store.lockPath(options.repoId));
    if (!acquireLock(lock, kRepoLockWaitMs))
        return fail(
            kExitFailure,
            QStringLiteral("Another sync of this repo is still running (waited 10 seconds); "
                           "try again when it has finished"));
    SyncRun run(store, folder, options.repoId);
    return run.run(options);
}

} // namespace orvu::local
