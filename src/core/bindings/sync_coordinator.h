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

#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace orvu {

class AddRepoModel;
class FolderAccess;
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
    // Stops every engine's watcher, releases every folder grant and empties both lists.
    void stopAll();
    // Rebuilds both lists from `bindings`, keeping the engine (its run, progress, selection and
    // pending list) of every binding whose repo id and folder are unchanged and whose folder
    // still exists; only its display name is updated. The stored list is not changed.
    void apply(const QList<RepoBinding> &bindings);
    // The folder to use for a binding; access is started (and held) when its bookmark resolves.
    std::optional<QString> resolveFolder(const RepoBinding &binding);

    // Replaces every binding of the repo or of the folder with the new one, at the end.
    void addBinding(const RepoInfo &repo, const QString &folderPath,
                    const std::optional<QByteArray> &bookmark);
    // Unlinks; nothing on disk is touched.
    void removeBinding(const QString &id);

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

    void tearDown();
    void retire(SyncEngine *engine);
    SyncEngine *makeEngine(const RepoBinding &binding, const QString &folder);

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
};

} // namespace orvu
