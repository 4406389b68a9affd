#include "core/bindings/sync_coordinator.h"

#include "core/platform/folder_access.h"
#include "core/platform/network_monitor.h"
#include "core/platform/settings_store.h"
#include "core/repos/add_repo_model.h"
#include "core/sync/sync_engine.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <vector>

namespace orvu {

SyncCoordinator::SyncCoordinator(BindingStore store, std::shared_ptr<RepoCLIRunning> repoCLI,
                                 Preferences preferences, FolderAccess &folderAccess,
                                 CLIRunner engineRunner, QString homeDirectory, QString serverURL,
                                 QObject *parent)
    : QObject(parent), m_store(std::move(store)), m_repoCLI(std::move(repoCLI)),
      m_preferences(std::move(preferences)), m_folderAccess(&folderAccess),
      m_engineRunner(std::move(engineRunner)),
      m_homeDirectory(homeDirectory.isEmpty() ? QDir::homePath() : std::move(homeDirectory)),
      m_serverURL(std::move(serverURL)), m_startTimer(new QTimer(this)),
      m_offlineTimer(new QTimer(this)) {
    m_offlineTimer->setSingleShot(true);
    connect(m_offlineTimer, &QTimer::timeout, this, &SyncCoordinator::recheckOffline);
    m_startTimer->setSingleShot(true);
    m_startTimer->setInterval(0);
    connect(m_startTimer, &QTimer::timeout, this, [this] {
        while (!m_toStart.isEmpty()) {
            const QPointer<SyncEngine> engine = m_toStart.takeFirst();
            if (engine && m_grants.contains(engine)) { // still listed
                engine->start();
                break;
            }
        }
        if (!m_toStart.isEmpty())
            m_startTimer->start();
    });
}

SyncCoordinator::~SyncCoordinator() {
    tearDown(true);
}

void SyncCoordinator::start() {
    m_running = true;
    const std::optional<QString> legacyPath = m_preferences.legacyFolderURL();
    // Read after the line above, which may have refreshed a stale bookmark.
    const std::optional<QByteArray> legacyBookmark =
        m_preferences.defaults().data(Preferences::kFolderBookmarkKey);
    apply(m_store.loadMigratingLegacy(legacyPath, legacyBookmark));
    refreshRepoNames(); // runs on by itself; start() does not wait for the server
}

void SyncCoordinator::stopAll() {
    m_running = false;
    tearDown(true);
    m_lostFolders.clear();
    watchLostFolders();
    m_offlineTimer->stop();
    m_engines.clear();
    emit changed();
    m_needsRelink.clear();
    emit enginesChanged();
    emit changed();
}

void SyncCoordinator::tearDown(bool endRuns) {
    for (SyncEngine *engine : std::as_const(m_engines))
        retire(engine, endRuns);
    for (const QString &path : std::as_const(m_securityScopedPaths))
        m_folderAccess->stopAccessing(path);
    m_securityScopedPaths.clear();
}

void SyncCoordinator::retire(SyncEngine *engine, bool endRun) {
    disconnect(engine, nullptr, this, nullptr);
    // A binding that is gone for good takes its run with it (the tool is asked to stop, and
    // killed after a grace), so that the next engine of the folder starts clean. A rebuilt
    // one lets the run finish: the engine lives until then (its manual result still reaches
    // onAnySyncComplete), it is just no longer listed.
    if (endRun)
        engine->shutDown();
    else
        engine->stop();
    if (const Grant grant = m_grants.take(engine); grant.accessed)
        m_folderAccess->stopAccessing(*grant.accessed);
    if (!engine->isSyncing()) {
        engine->deleteLater();
        return;
    }
    m_retiredRunning.append(engine);
    connect(engine, &SyncEngine::syncFinished, engine, &QObject::deleteLater);
}

SyncEngine *SyncCoordinator::makeEngine(const RepoBinding &binding, const QString &folder) {
    auto *engine = new SyncEngine(
        SyncEngine::Binding{binding.repoId, binding.slug, binding.displayName, binding.folderPath},
        folder, m_engineRunner, m_serverURL, this);
    const QPointer<SyncCoordinator> self(this);
    engine->setOnManualSyncComplete([self](const SyncResult &result) {
        if (self && self->m_onAnySyncComplete)
            self->m_onAnySyncComplete(result);
    });
    connect(engine, &SyncEngine::changed, this, [this, engine] {
        emit engineChanged(engine);
        emit changed();
    });
    connect(engine, &SyncEngine::progressChanged, this, [this, engine] {
        emit engineProgressChanged(engine);
        emit changed();
    });
    connect(engine, &SyncEngine::syncFinished, this, [this, engine] {
        emit engineChanged(engine);
        emit changed();
    });
    connect(engine, &SyncEngine::changed, this, &SyncCoordinator::checkOffline);
    // Once control is back in the event loop: the engine may be in the middle of its own work.
    connect(
        engine, &SyncEngine::folderUnusable, this,
        [this] {
            if (m_running)
                rebuild(m_store.load(), true);
        },
        Qt::QueuedConnection);
    m_toStart.append(engine);
    m_startTimer->start();
    // A run of an engine let go of may still be working on this folder.
    m_retiredRunning.removeIf([](const QPointer<SyncEngine> &old) { return old.isNull(); });
    for (const QPointer<SyncEngine> &old : std::as_const(m_retiredRunning)) {
        if (old->isSyncing() && old->folderPath() == engine->folderPath())
            engine->holdWhileSyncing(old);
    }
    return engine;
}

void SyncCoordinator::apply(const QList<RepoBinding> &bindings) {
    rebuild(bindings, false);
}

void SyncCoordinator::rebuild(const QList<RepoBinding> &bindings, bool endRuns) {
    const auto usable = [](const RepoBinding &binding) {
        return !binding.needsRelink && !binding.repoId.isEmpty();
    };
    // Engines whose binding is unchanged carry on as they are.
    QList<SyncEngine *> unclaimed = m_engines;
    QList<SyncEngine *> kept(bindings.size(), nullptr);
    for (qsizetype i = 0; i < bindings.size(); ++i) {
        const RepoBinding &binding = bindings[i];
        if (!usable(binding))
            continue;
        const auto match = std::find_if(unclaimed.begin(), unclaimed.end(), [&](SyncEngine *e) {
            return e->repoId() == binding.repoId &&
                   m_grants.value(e).bindingFolder == binding.folderPath && e->folderPath() &&
                   SyncEngine::isUsableFolder(*e->folderPath());
        });
        if (match == unclaimed.end())
            continue;
        kept[i] = *match;
        unclaimed.erase(match);
    }
    // The others go; their folder access is given up before new access is taken, so a folder
    // that stays bound under another repo holds exactly one grant.
    for (SyncEngine *engine : std::as_const(unclaimed))
        retire(engine, endRuns);

    QList<SyncEngine *> engines;
    QList<RepoBinding> relink;
    m_lostFolders.clear();
    for (qsizetype i = 0; i < bindings.size(); ++i) {
        const RepoBinding &binding = bindings[i];
        if (!usable(binding)) {
            relink.append(binding);
            continue;
        }
        if (SyncEngine *engine = kept[i]) {
            engine->setDisplayName(binding.displayName);
            engines.append(engine);
            continue;
        }
        const qsizetype grantsBefore = m_securityScopedPaths.size();
        const std::optional<QString> folder = resolveFolder(binding);
        if (!folder) {
            RepoBinding unusable = binding;
            unusable.needsRelink = true;
            relink.append(unusable);
            m_lostFolders.append(binding.folderPath);
            continue;
        }
        SyncEngine *engine = makeEngine(binding, *folder);
        Grant grant{binding.folderPath, std::nullopt};
        if (m_securityScopedPaths.size() > grantsBefore)
            grant.accessed = m_securityScopedPaths.takeLast();
        m_grants.insert(engine, grant);
        engines.append(engine);
    }
    m_engines = engines;
    emit changed();
    m_needsRelink = relink;
    watchLostFolders();
    checkOffline();
    emit enginesChanged();
    emit changed();
}

void SyncCoordinator::watchLostFolders() {
    if (m_lostFolders.isEmpty()) {
        delete std::exchange(m_lostWatcher, nullptr);
        return;
    }
    if (!m_lostWatcher) {
        m_lostWatcher = new QFileSystemWatcher(this);
        connect(m_lostWatcher, &QFileSystemWatcher::directoryChanged, this, [this] {
            if (!m_running)
                return;
            const bool back =
                std::any_of(m_lostFolders.cbegin(), m_lostFolders.cend(),
                            [](const QString &path) { return SyncEngine::isUsableFolder(path); });
            if (back)
                rebuild(m_store.load(), false);
            else
                watchLostFolders(); // what is watched may have moved up or down the tree
        });
    }
    QSet<QString> watched;
    for (const QString &folder : std::as_const(m_lostFolders)) {
        // The folder itself when it is there but cannot be read, else the nearest directory
        // above it: a folder coming back shows as a change there.
        QString path = QDir::cleanPath(folder);
        while (!QFileInfo(path).isDir() && path != QDir::cleanPath(QFileInfo(path).path()))
            path = QDir::cleanPath(QFileInfo(path).path());
        watched.insert(path);
    }
    const QStringList current = m_lostWatcher->directories();
    const QSet<QString> now(current.cbegin(), current.cend());
    if (now == watched)
        return;
    if (!current.isEmpty())
        m_lostWatcher->removePaths(current);
    m_lostWatcher->addPaths(QStringList(watched.cbegin(), watched.cend()));
}

void SyncCoordinator::setNetworkMonitor(NetworkMonitor *monitor) {
    connect(monitor, &NetworkMonitor::changed, this, [this] {
        if (!m_offlineTimer->isActive())
            return;                          // nothing is offline
        m_offlineDelay = m_offlineFirst / 2; // the next check comes after the first delay
        recheckOffline();
    });
}

void SyncCoordinator::setOfflineRecheck(std::chrono::milliseconds first,
                                        std::chrono::milliseconds longest) {
    m_offlineFirst = first;
    m_offlineLongest = longest;
    m_offlineDelay = first;
}

void SyncCoordinator::checkOffline() {
    const bool offline =
        m_running && std::any_of(m_engines.cbegin(), m_engines.cend(), [](const SyncEngine *e) {
            return e->state().kind == SyncState::networkError;
        });
    if (!offline) {
        m_offlineTimer->stop();
        m_offlineDelay = m_offlineFirst;
    } else if (!m_offlineTimer->isActive()) {
        m_offlineTimer->start(m_offlineDelay);
    }
}

void SyncCoordinator::recheckOffline() {
    // Engines that come back online stop the timer through their change announcement.
    m_offlineDelay = std::min(m_offlineDelay * 2, m_offlineLongest);
    m_offlineTimer->start(m_offlineDelay);
    for (SyncEngine *engine : QList<SyncEngine *>(m_engines)) {
        if (engine->state().kind == SyncState::networkError)
            engine->refreshAll();
    }
}

std::optional<QString> SyncCoordinator::resolveFolder(const RepoBinding &binding) {
    if (binding.bookmark) {
        // A stale bookmark still names the folder; it is left as stored.
        if (const auto resolved = m_folderAccess->resolveBookmark(*binding.bookmark);
            resolved && SyncEngine::isUsableFolder(resolved->path) &&
            m_folderAccess->startAccessing(resolved->path)) {
            m_securityScopedPaths.append(resolved->path);
            return resolved->path;
        }
    }
    if (SyncEngine::isUsableFolder(binding.folderPath))
        return binding.folderPath;
    return std::nullopt;
}

void SyncCoordinator::addBinding(const RepoInfo &repo, const QString &folderPath,
                                 const std::optional<QByteArray> &bookmark) {
    QList<RepoBinding> bindings = m_store.load();
    bindings.removeIf([&](const RepoBinding &binding) {
        return binding.repoId == repo.id || binding.folderPath == folderPath;
    });
    bindings.append(RepoBinding{repo.id, repo.slug, repo.name, folderPath, bookmark, false});
    m_store.save(bindings);
    // An add that ends after sign-out is kept for the next sign-in, but starts nothing now.
    if (m_running)
        apply(bindings);
}

void SyncCoordinator::removeBinding(const QString &id) {
    QList<RepoBinding> bindings = m_store.load();
    bindings.removeIf([&](const RepoBinding &binding) { return binding.id() == id; });
    m_store.save(bindings);
    if (m_running)
        rebuild(bindings, true);
}

QCoro::Task<> SyncCoordinator::refreshRepoNames() {
    const QPointer<SyncCoordinator> self(this);
    const std::shared_ptr<RepoCLIRunning> repoCLI = m_repoCLI;
    QCoro::Task<std::optional<QList<RepoInfo>>> listing = repoCLI->listRepos();
    const std::optional<QList<RepoInfo>> repos = co_await listing;
    if (!self || !repos)
        co_return;

    QHash<QString, RepoInfo> byId;
    for (const RepoInfo &repo : *repos) {
        if (!byId.contains(repo.id))
            byId.insert(repo.id, repo);
    }
    for (SyncEngine *engine : std::as_const(self->m_engines)) {
        if (const auto it = byId.constFind(engine->repoId()); it != byId.cend())
            engine->setDisplayName(it->name);
    }
    // Still on the main thread and without a suspension since the step above, so no add or
    // remove can slip in between this load and its save.
    QList<RepoBinding> bindings = self->m_store.load();
    for (RepoBinding &binding : bindings) {
        if (const auto it = byId.constFind(binding.repoId); it != byId.cend()) {
            binding.displayName = it->name;
            binding.slug = it->slug;
        }
    }
    self->m_store.save(bindings);
}

QCoro::Task<> SyncCoordinator::refreshAll() {
    std::vector<QCoro::Task<>> refreshes;
    refreshes.reserve(m_engines.size());
    // Each refresh starts at once, so they all run side by side; each engine looks after its
    // own failures and its own lifetime.
    for (SyncEngine *engine : std::as_const(m_engines))
        refreshes.push_back(engine->refreshAll());
    for (QCoro::Task<> &refresh : refreshes)
        co_await refresh;
}

QString SyncCoordinator::defaultFolderRoot() const {
    return QDir(m_homeDirectory).filePath(QStringLiteral("Orvu"));
}

std::unique_ptr<AddRepoModel> SyncCoordinator::makeAddRepoModel() {
    QSet<QString> boundRepoIds;
    for (const SyncEngine *engine : std::as_const(m_engines))
        boundRepoIds.insert(engine->repoId());
    const QPointer<SyncCoordinator> self(this);
    return std::make_unique<AddRepoModel>(m_repoCLI, boundRepoIds, defaultFolderRoot(),
                                          std::nullopt,
                                          [self](const RepoInfo &repo, const QString &folderPath,
                                                 const std::optional<QByteArray> &bookmark) {
                                              if (self)
                                                  self->addBinding(repo, folderPath, bookmark);
                                          });
}

bool SyncCoordinator::hasAnyBinding() const {
    return !m_engines.isEmpty() || !m_needsRelink.isEmpty();
}

bool SyncCoordinator::anySyncing() const {
    return std::any_of(m_engines.cbegin(), m_engines.cend(), [](const SyncEngine *engine) {
        return engine->state().kind == SyncState::syncing;
    });
}

qint64 SyncCoordinator::remoteTotal() const {
    qint64 total = 0;
    for (const SyncEngine *engine : m_engines) {
        if (const auto &remote = engine->remoteStatus())
            total += remote->toPull + remote->toDelete + remote->conflicts;
    }
    return total;
}

qint64 SyncCoordinator::pendingTotal() const {
    qint64 total = 0;
    for (const SyncEngine *engine : m_engines)
        total += engine->pendingChanges().size();
    return total;
}

std::optional<SyncProgress> SyncCoordinator::activeProgress() const {
    for (const SyncEngine *engine : m_engines) {
        if (engine->syncProgress())
            return engine->syncProgress();
    }
    return std::nullopt;
}

std::optional<QString> SyncCoordinator::checkFailure() const {
    for (const SyncEngine *engine : m_engines) {
        if (!engine->checkFailure())
            return std::nullopt;
    }
    if (m_engines.isEmpty())
        return std::nullopt;
    return m_engines.first()->checkFailure();
}

SyncState SyncCoordinator::aggregateState() const {
    QList<SyncState> states;
    states.reserve(m_engines.size());
    for (const SyncEngine *engine : m_engines)
        states.append(engine->state());
    return aggregateStateOf(states, hasAnyBinding());
}

SyncState SyncCoordinator::aggregateStateOf(const QList<SyncState> &engineStates,
                                            bool hasAnyBinding) {
    if (!hasAnyBinding)
        return SyncState::noFolder;
    const auto any = [&](SyncState::Kind kind) {
        return std::any_of(engineStates.cbegin(), engineStates.cend(),
                           [kind](const SyncState &state) { return state.kind == kind; });
    };
    if (any(SyncState::syncing))
        return SyncState::syncing;
    if (any(SyncState::error))
        return SyncState::failure(QStringLiteral("A repo failed to sync"));
    if (any(SyncState::networkError))
        return SyncState::networkError;
    if (any(SyncState::notAuthenticated))
        return SyncState::notAuthenticated;
    return SyncState::idle;
}

QString SyncCoordinator::summary(const SyncResult &result) {
    if (result.error)
        return QStringLiteral("Sync failed: ") + *result.error;
    QStringList parts;
    if (result.pushed >= 1)
        parts.append(QString::number(result.pushed) + QStringLiteral(" pushed"));
    if (result.pulled >= 1)
        parts.append(QString::number(result.pulled) + QStringLiteral(" pulled"));
    if (result.deleted >= 1)
        parts.append(QString::number(result.deleted) + QStringLiteral(" deleted"));
    if (parts.isEmpty())
        return QStringLiteral("Everything up to date");
    return parts.join(QStringLiteral(", "));
}

} // namespace orvu
