#pragma once

#include "core/bindings/binding_store.h"
#include "core/bindings/preferences.h"
#include "core/cli/cli_runner.h"
#include "core/cli/tool_commands.h"
#include "core/repos/repo_cli_running.h"
#include "core/sync/sync_types.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QFileSystemWatcher;
class QTimer;

namespace orvu {

class AddRepoModel;
class FolderAccess;
class NetworkMonitor;
class SyncEngine;

// Owns one sync engine per usable binding, lists the bindings whose folder is gone so they
// can be re-linked or removed, adds and removes bindings, keeps repo names current and sums up
// every engine for the tray icon and the popover header.
//
// Used on the main thread only. Every read-modify-write of the stored binding list runs there
// in one step, so none can interleave with another and lose a change. changed() follows every
// change of engines() or needsRelink() and every change of an owned engine.
class SyncCoordinator : public QObject {
    Q_OBJECT
public:
    using SyncCompletion = std::function<void(const SyncResult &)>;

    // `folderAccess` must outlive the coordinator. Engines run the tool through
    // `engineRunner`; `homeDirectory` is where the default folder root lives.
    SyncCoordinator(BindingStore store, std::shared_ptr<RepoCLIRunning> repoCLI,
                    Preferences preferences, FolderAccess &folderAccess,
                    CLIRunner engineRunner = CLIRunner(), QString homeDirectory = {},
                    QString serverURL = tool::kDefaultServerURL, QObject *parent = nullptr);
    ~SyncCoordinator() override;

    // In binding order. The coordinator owns them. An engine stays listed, the same object,
    // for as long as its binding keeps its repo id and folder; a pointer to one that is no
    // longer listed stays valid until control has returned to the event loop (or, while it
    // runs a sync, until that run has ended).
    const QList<SyncEngine *> &engines() const { return m_engines; }
    const QList<RepoBinding> &needsRelink() const { return m_needsRelink; }

    // Called after any engine's manual sync run, once per run.
    void setOnAnySyncComplete(SyncCompletion callback) {
        m_onAnySyncComplete = std::move(callback);
    }

    // Loads the bindings (taking over the legacy folder once), makes the engines and starts a
    // refresh of the repo names in the background.
    void start();
    // Stops every engine's watcher and run, releases every folder grant and empties both
    // lists. Until the next start(), nothing runs or is watched: bindings added or removed
    // meanwhile are only stored.
    void stopAll();
    bool isRunning() const { return m_running; }
    // Rebuilds both lists from `bindings`, keeping the engine (its run, progress, selection and
    // pending list) of every binding whose repo id and folder are unchanged and whose folder
    // is still usable; only its display name is updated. The stored list is not changed.
    // A binding whose folder is not usable is listed for re-linking until the folder is back.
    void apply(const QList<RepoBinding> &bindings);
    // The folder to use for a binding; access is started (and held) when its bookmark resolves.
    std::optional<QString> resolveFolder(const RepoBinding &binding);

    // Replaces every binding of the repo or of the folder with the new one, at the end.
    void addBinding(const RepoInfo &repo, const QString &folderPath,
                    const std::optional<QByteArray> &bookmark);
    // Unlinks, ending a sync of the repo that is under way; nothing on disk is touched.
    void removeBinding(const QString &id);

    // While an engine is offline, its full refresh is tried again after `first`, then after
    // twice as long each time up to `longest`, and at once when `monitor` reports a change of
    // the network. Nothing is timed while no engine is offline.
    void setNetworkMonitor(NetworkMonitor *monitor);
    void setOfflineRecheck(std::chrono::milliseconds first, std::chrono::milliseconds longest);

    QCoro::Task<> refreshRepoNames();
    // Full refresh of every engine, all at once; finishes when all have.
    QCoro::Task<> refreshAll();

    std::unique_ptr<AddRepoModel> makeAddRepoModel();

    QString defaultFolderRoot() const;

    bool hasAnyBinding() const;
    bool anySyncing() const;
    qint64 remoteTotal() const;
    qint64 pendingTotal() const;
    std::optional<SyncProgress> activeProgress() const;
    SyncState aggregateState() const;
    // When no engine's state is known because every engine's last check failed: the first
    // engine's failure, in the tool's words.
    std::optional<QString> checkFailure() const;

    // The rule behind aggregateState(), over the engines' states in list order.
    static SyncState aggregateStateOf(const QList<SyncState> &engineStates, bool hasAnyBinding);
    // The body of the notification for a finished manual sync.
    static QString summary(const SyncResult &result);

signals:
    // Any of the below, and every change of an owned engine's other values.
    void changed();
    // engines() or needsRelink() changed.
    void enginesChanged();
    // One listed engine's values other than its progress changed.
    void engineChanged(orvu::SyncEngine *engine);
    // One listed engine's syncProgress or fileStatuses changed (at most about 30 times a
    // second per engine while it streams).
    void engineProgressChanged(orvu::SyncEngine *engine);

private:
    struct Grant {
        QString bindingFolder;           // the binding's folderPath the engine was made for
        std::optional<QString> accessed; // the folder whose access was started for it
    };

    void tearDown(bool endRuns);
    void retire(SyncEngine *engine, bool endRun);
    void rebuild(const QList<RepoBinding> &bindings, bool endRuns);
    SyncEngine *makeEngine(const RepoBinding &binding, const QString &folder);
    void watchLostFolders();
    void checkOffline();
    void recheckOffline();

    QList<SyncEngine *> m_engines;
    QList<RepoBinding> m_needsRelink;
    SyncCompletion m_onAnySyncComplete;
    BindingStore m_store;
    std::shared_ptr<RepoCLIRunning> m_repoCLI;
    Preferences m_preferences;
    FolderAccess *m_folderAccess;
    CLIRunner m_engineRunner;
    QString m_homeDirectory;
    QString m_serverURL;
    // Per listed engine: what it was made from and the folder access held for it.
    QHash<SyncEngine *, Grant> m_grants;
    // Access started by resolveFolder() and not yet handed to an engine.
    QStringList m_securityScopedPaths;
    // New engines not started yet: one is started per turn of the event loop, so that making
    // many engines at once never holds up the main thread for long.
    QList<QPointer<SyncEngine>> m_toStart;
    QTimer *m_startTimer;
    // Engines let go of while a run was under way; each deletes itself when its run ends.
    QList<QPointer<SyncEngine>> m_retiredRunning;
    bool m_running = false;
    // Folders of bindings listed for re-linking because the folder is gone or unreadable; the
    // nearest directory above each that exists is watched, to notice it coming back.
    QStringList m_lostFolders;
    QFileSystemWatcher *m_lostWatcher = nullptr;
    QTimer *m_offlineTimer;
    std::chrono::milliseconds m_offlineFirst = std::chrono::seconds(30);
    std::chrono::milliseconds m_offlineLongest = std::chrono::minutes(5);
    std::chrono::milliseconds m_offlineDelay = m_offlineFirst;
};

} // namespace orvu
