#include "core/bindings/sync_coordinator.h"

#include "core/platform/folder_access.h"
#include "core/platform/settings_store.h"
#include "core/repos/add_repo_model.h"
#include "core/sync/sync_engine.h"

#include <QDir>
#include <QFileInfo>
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
      m_serverURL(std::move(serverURL)), m_startTimer(new QTimer(this)) {
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
    tearDown();
}

void SyncCoordinator::start() {
    const std::optional<QString> legacyPath = m_preferences.legacyFolderURL();
    // Read after the line above, which may have refreshed a stale bookmark.
    const std::optional<QByteArray> legacyBookmark =
        m_preferences.defaults().data(Preferences::kFolderBookmarkKey);
    apply(m_store.loadMigratingLegacy(legacyPath, legacyBookmark));
    refreshRepoNames(); // runs on by itself; start() does not wait for the server
}

void SyncCoordinator::stopAll() {
    tearDown();
    m_engines.clear();
    emit changed();
    m_needsRelink.clear();
    emit enginesChanged();
    emit changed();
}

void SyncCoordinator::tearDown() {
    for (SyncEngine *engine : std::as_const(m_engines))
        retire(engine);
    for (const QString &path : std::as_const(m_securityScopedPaths))
        m_folderAccess->stopAccessing(path);
    m_securityScopedPaths.clear();
}

void SyncCoordinator::retire(SyncEngine *engine) {
    disconnect(engine, nullptr, this, nullptr);
    engine->stop();
    if (const Grant grant = m_grants.take(engine); grant.accessed)
        m_folderAccess->stopAccessing(*grant.accessed);
    // A run already under way is not cut short: the engine lives until it has finished (its
    // manual result still reaches onAnySyncComplete), it is just no longer listed.
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
                   QFileInfo::exists(*e->folderPath());
        });
        if (match == unclaimed.end())
            continue;
        kept[i] = *match;
        unclaimed.erase(match);
    }
    // The others go; their folder access is given up before new access is taken, so a folder
    // that stays bound under another repo holds exactly one grant.
    for (SyncEngine *engine : std::as_const(unclaimed))
        retire(engine);

    QList<SyncEngine *> engines;
    QList<RepoBinding> relink;
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
    emit enginesChanged();
    emit changed();
}

std::optional<QString> SyncCoordinator::resolveFolder(const RepoBinding &binding) {
    if (binding.bookmark) {
        // A stale bookmark still names the folder; it is left as stored.
        if (const auto resolved = m_folderAccess->resolveBookmark(*binding.bookmark);
            resolved && m_folderAccess->startAccessing(resolved->path)) {
            m_securityScopedPaths.append(resolved->path);
            return resolved->path;
        }
    }
    if (QFileInfo::exists(binding.folderPath))
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
    apply(bindings);
}

void SyncCoordinator::removeBinding(const QString &id) {
    QList<RepoBinding> bindings = m_store.load();
    bindings.removeIf([&](const RepoBinding &binding) { return binding.id() == id; });
    m_store.save(bindings);
    apply(bindings);
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
