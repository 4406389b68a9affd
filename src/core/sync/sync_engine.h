#pragma once

#include "core/cli/cli_runner.h"
#include "core/cli/tool_commands.h"
#include "core/sync/debouncer.h"
#include "core/sync/file_watcher.h"
#include "core/sync/sync_types.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <QCoro/QCoroTask>
#include <QPromise>

#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace orvu {

// The live model of one bound folder: its state, its pending local changes and their
// selection, what waits on the server, and the progress of a running sync. It never talks to
// the server itself; every operation is one run of the `orvu` tool.
//
// Every published property is written on the main thread, and each write (or group of writes
// made in one step) is followed by changed(); observers re-read what they need. Tool runs and
// the decoding of large outputs never block the main thread.
//
// The owner calls start() after construction, and stop() before it lets the engine go, so
// that its folder is no longer watched. Work still running when the engine is destroyed ends
// quietly without touching it.
class SyncEngine : public QObject {
    Q_OBJECT
public:
    // What the engine takes from a repo binding. The coordinator passes the binding's
    // `repoId`, `slug`, `displayName` and `folderPath` unchanged.
    struct Binding {
        QString repoId;
        QString slug;
        QString displayName;
        QString folderPath;
    };

    using ManualSyncCompletion = std::function<void(const SyncResult &)>;

    // `folderPath` is the bound folder (absent: the engine stays in `noFolder` and does
    // nothing). The engine's `id` is the binding's repo id, else the binding's folder path,
    // else (without a binding) `folderPath`, else "". Runs nothing.
    // Every tool run names `serverURL` with "--server".
    SyncEngine(std::optional<Binding> binding, std::optional<QString> folderPath,
               CLIRunner runner = CLIRunner(), QString serverURL = tool::kDefaultServerURL,
               QObject *parent = nullptr);
    ~SyncEngine() override;

    // Immutable identity.
    const QString &id() const { return m_id; }
    const QString &repoId() const { return m_repoId; }
    const QString &slug() const { return m_slug; }

    // Published properties.
    const QString &displayName() const { return m_displayName; }
    void setDisplayName(const QString &name);
    const SyncState &state() const { return m_state; }
    const std::optional<QDateTime> &lastSyncTime() const { return m_lastSyncTime; }
    const std::optional<SyncResult> &lastSyncResult() const { return m_lastSyncResult; }
    const QList<SyncFileChange> &lastFileChanges() const { return m_lastFileChanges; }
    // Sorted ascending by path (Unicode code points).
    const QList<PendingChange> &pendingChanges() const { return m_pendingChanges; }
    const std::optional<QString> &folderPath() const { return m_folderPath; }
    std::optional<QUrl> folderURL() const;
    const std::optional<SyncProgress> &syncProgress() const { return m_syncProgress; }
    // Keyed by the "file" strings exactly as the tool printed them.
    const QHash<QString, FileTransferStatus> &fileStatuses() const { return m_fileStatuses; }
    const QList<ConflictRename> &lastConflicts() const { return m_lastConflicts; }
    const std::optional<RemoteStatusInfo> &remoteStatus() const { return m_remoteStatus; }
    const QSet<QString> &selectedPaths() const { return m_selectedPaths; }
    // Why the last status check failed, in the tool's words; absent once one succeeds.
    const std::optional<QString> &checkFailure() const { return m_checkFailure; }
    // The last run was stopped (by stopSync()); cleared when the next run starts.
    bool wasStopped() const { return m_wasStopped; }

    // Direct edits of the selection by the pending-change rows.
    void setSelectedPaths(QSet<QString> paths);
    void setSelected(const QString &path, bool selected);

    // True exactly when there are pending changes and as many selected paths as changes.
    bool allSelected() const;
    // Selects every pending path, or clears the selection when all are selected.
    void toggleSelectAll();

    // Called at the end of every run requested as manual, unless it ended for want of
    // authentication or of a folder.
    void setOnManualSyncComplete(ManualSyncCompletion callback);

    // True while a run of this engine is in progress, and while the engine waits for a run of
    // another engine on the same folder (see holdWhileSyncing()).
    bool isSyncing() const { return m_isSyncing || m_heldBy; }
    // A run of this engine (not the wait for another's) is in progress: stopSync() ends it.
    bool isRunningSync() const { return m_isSyncing; }
    bool isManualSync() const { return m_isManualSync; }
    FileWatcher *fileWatcher() const { return m_fileWatcher.get(); }

    // (Re)starts watching the folder and runs a full refresh. Does nothing without a folder.
    void start();
    // Stops watching the folder and forgets the watcher; idempotent.
    void stop();
    // For an engine that is let go of for good (sign-out, unlink, a folder that is gone): stops
    // watching, ends a running sync as stopSync() does, and starts nothing afterwards. Status
    // runs still under way are killed when the engine is destroyed.
    void shutDown();

    // A folder the tool can work in: a directory that can be listed and entered.
    static bool isUsableFolder(const QString &path);

    // While `peer`, an engine of the same folder that is being let go of, still runs a sync,
    // this engine shows `syncing` and starts no sync, discard or preview of its own; when the
    // peer's run ends it turns idle and refreshes. Does nothing when the peer is not syncing.
    void holdWhileSyncing(SyncEngine *peer);

    // Local status → pendingChanges. A failed run leaves every value as it was.
    // At most one local status run is under way at a time: a call meanwhile asks for one more
    // run after it (however many calls there were) and finishes when that run has.
    QCoro::Task<> refreshStatus();
    // Local and remote status → pendingChanges and remoteStatus. A failed run clears only
    // remoteStatus; a tool that cannot be started falls back to refreshStatus().
    // Runs one at a time, as refreshStatus() does.
    // A result is dropped when a sync run or a discard ended, or a newer result was
    // published, after its run started: it describes the folder as it was before.
    QCoro::Task<> refreshAll();

    // Requests a run; dropped silently while another run is in progress.
    void sync(bool manual);
    // Ends this engine's running sync: the tool is asked to stop and killed after kStopGrace.
    // The run ends as stopped (no notification) and a full refresh follows.
    void stopSync();
    // What the selection adds to a sync or a dry run: the "--only" pairs of the selected paths,
    // sorted, when some but not all pending changes are selected; the tool's pull-only option
    // when changes are pending and none is selected (what the user left out is never pushed);
    // nothing when all are selected or nothing is pending.
    QStringList onlyArguments() const;
    // The plan of a dry run with the current selection; absent when it cannot be had.
    QCoro::Task<std::optional<SyncPreview>> preview();
    // Throws away one local change; the outcome shows in `state` and the pending list.
    void discard(PendingChange change);

    // A batch of absolute paths from the watcher: a relevant one schedules a debounced local
    // refresh. Ignored while a sync runs.
    void handleFileEvents(const QStringList &paths);

    // Delay between the last relevant file event and the local refresh it causes.
    static constexpr std::chrono::milliseconds kStatusDebounce{500};
    // Shortest time between two progress announcements while a run streams.
    static constexpr std::chrono::milliseconds kProgressInterval{33};
    // How long a stopped tool may take to finish its file in transfer before it is killed.
    static constexpr std::chrono::milliseconds kStopGrace{3000};

signals:
    // Any published value other than syncProgress and fileStatuses changed.
    void changed();
    // syncProgress or fileStatuses changed; while a run streams, announced at most about 30
    // times a second, and once more with the final values.
    void progressChanged();
    // A run ended and isSyncing is false again.
    void syncFinished();
    // The folder is gone, or can no longer be listed: the engine can do nothing more.
    void folderUnusable();

private:
    struct RunState;
    struct PreparedStatus;
    enum class StatusKind { local, full };
    // One kind of status run: whether one is under way, and the promise that a follow-up
    // asked for meanwhile will keep once it has run.
    struct StatusRuns {
        bool running = false;
        std::shared_ptr<QPromise<void>> followUp;
    };

    QCoro::Task<> refreshCoalesced(StatusKind kind);
    QCoro::Task<> runLocalStatus();
    QCoro::Task<> runFullStatus();
    void announceProgress();
    void flushProgress();
    void endRun();

    QCoro::Task<> performSync();
    QCoro::Task<> runDiscard(PendingChange change);
    void applyEvent(RunState &run, const SyncEvent &event);
    void finishRun(RunState &run, int exitCode);
    void scheduleLocalRefresh();
    void statusFailed(const RunOutcome &outcome, StatusKind kind);
    void checkFolder();
    void publishStatus(PreparedStatus prepared, bool withRemote, quint64 generation, quint64 epoch);
    void updateSelection();
    void setState(SyncState state);
    void selectionEdited();

    const QString m_id;
    const QString m_repoId;
    const QString m_slug;
    QString m_displayName;
    SyncState m_state = SyncState::noFolder;
    std::optional<QDateTime> m_lastSyncTime;
    std::optional<SyncResult> m_lastSyncResult;
    QList<SyncFileChange> m_lastFileChanges;
    QList<PendingChange> m_pendingChanges;
    std::optional<QString> m_folderPath;
    std::optional<SyncProgress> m_syncProgress;
    QHash<QString, FileTransferStatus> m_fileStatuses;
    QList<ConflictRename> m_lastConflicts;
    std::optional<RemoteStatusInfo> m_remoteStatus;
    QSet<QString> m_selectedPaths;
    ManualSyncCompletion m_onManualSyncComplete;
    std::shared_ptr<FileWatcher> m_fileWatcher;
    bool m_isSyncing = false;
    bool m_isManualSync = false;
    Debouncer *m_statusDebouncer;
    QSet<QString> m_knownPaths;
    // Bumped on every write of the selection or of knownPaths, so that a selection worked
    // out off the main thread is only applied when nothing touched it meanwhile.
    quint64 m_selectionGeneration = 0;
    CLIRunner m_runner;
    QString m_serverURL;
    StatusRuns m_localRuns;
    StatusRuns m_fullRuns;
    // Bumped when a sync run or a discard ends and when a status result is published; a
    // status result is only applied when it has not moved since its run started.
    quint64 m_resultEpoch = 0;
    // Progress announcements while a run streams: one at once, then at most one per interval.
    QTimer *m_progressTimer;
    bool m_progressPending = false;
    // Waiting for another engine's run on the same folder to end.
    bool m_heldBy = false;
    std::optional<QString> m_checkFailure;
    bool m_checkFailedFull = false;
    // The streaming run in progress, to stop it.
    QPointer<StreamingRun> m_run;
    bool m_stopRequested = false;
    bool m_wasStopped = false;
    bool m_shutDown = false;
};

} // namespace orvu
