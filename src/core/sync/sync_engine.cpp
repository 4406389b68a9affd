#include "core/sync/sync_engine.h"

#include "core/cli/tool_commands.h"
#include "core/cli/tool_output.h"
#include "core/sync/sync_decoding.h"

#include <QFileInfo>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace orvu {

namespace {

QString engineId(const std::optional<SyncEngine::Binding> &binding,
                 const std::optional<QString> &folderPath) {
    if (binding)
        return binding->repoId.isEmpty() ? binding->folderPath : binding->repoId;
    return folderPath.value_or(QString());
}

bool hasUnitsAboveD7FF(const QList<PendingChange> &changes) {
    for (const PendingChange &change : changes) {
        for (QChar unit : change.path) {
            if (unit.unicode() >= 0xD800)
                return true;
        }
    }
    return false;
}

void sortByPath(QList<PendingChange> &changes) {
    // UTF-16 order equals code-point order unless a surrogate meets a unit of U+E000..U+FFFF,
    // so the plain (vectorised) comparison does for the usual paths.
    if (hasUnitsAboveD7FF(changes)) {
        std::stable_sort(changes.begin(), changes.end(),
                         [](const PendingChange &a, const PendingChange &b) {
                             return decoding::codePointLess(a.path, b.path);
                         });
    } else {
        std::stable_sort(changes.begin(), changes.end(),
                         [](const PendingChange &a, const PendingChange &b) {
                             return QStringView(a.path).compare(QStringView(b.path)) < 0;
                         });
    }
}

// Paths no longer pending drop out of the selection; paths not seen at the last refresh are
// selected; everything pending becomes known.
void applySelectionRules(const QList<PendingChange> &changes, QSet<QString> &selected,
                         QSet<QString> &known) {
    QSet<QString> current;
    current.reserve(changes.size());
    for (const PendingChange &change : changes)
        current.insert(change.path);
    // Start from everything pending and take out what is known but was deselected: cheaper
    // than building the union, and nothing at all to take out on a first refresh.
    QSet<QString> nextSelected = current;
    for (const QString &path : std::as_const(known)) {
        // Checked first: removing from a shared set copies it even when nothing goes.
        if (!selected.contains(path) && nextSelected.contains(path))
            nextSelected.remove(path);
    }
    selected = std::move(nextSelected);
    known = std::move(current);
}

// Large containers are let go of off the main thread: freeing a hundred thousand strings
// would otherwise stall it for milliseconds.
template <typename... Containers> void releaseInBackground(Containers &&...containers) {
    const qsizetype total = (qsizetype(0) + ... + containers.size());
    if (total < 10'000)
        return;
    QThreadPool::globalInstance()->start(
        [held = std::make_shared<std::tuple<std::decay_t<Containers>...>>(
             std::move(containers)...)]() mutable { held.reset(); });
}

// After a big refresh, the heap's free pages go back to the system once the old lists are
// gone: the decoding runs on pool threads, whose heaps otherwise keep what they freed and
// grow with every refresh.
void trimHeapSoon() {
    QTimer::singleShot(std::chrono::milliseconds(250),
                       [] { QThreadPool::globalInstance()->start([] { malloc_trim(0); }); });
}

// The last path component, as shown in messages: the text after the last "/".
QString lastComponent(const QString &path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? path : path.mid(slash + 1);
}

// Files finished before the one a progress event names. The count comes from the tool; the
// lowest integer must not make the subtraction overflow.
qint64 finishedBefore(qint64 current) {
    return current == std::numeric_limits<qint64>::min() ? current : current - 1;
}

void printDiagnostic(const QString &line) {
    std::fputs(qUtf8Printable(QStringLiteral("[SyncEngine] ") + line + u'\n'), stdout);
    std::fflush(stdout);
}

} // namespace

// A status result made ready off the main thread, so that publishing it is a few moves.
struct SyncEngine::PreparedStatus {
    QList<PendingChange> sorted;
    std::optional<RemoteStatusInfo> remote;
    // The selection rules applied to the snapshot the refresh started from.
    QSet<QString> selected;
    QSet<QString> known;

    static PreparedStatus make(QList<PendingChange> changes, std::optional<RemoteStatusInfo> remote,
                               QSet<QString> selected, QSet<QString> known) {
        sortByPath(changes);
        applySelectionRules(changes, selected, known);
        return PreparedStatus{std::move(changes), std::move(remote), std::move(selected),
                              std::move(known)};
    }
};

// Working state of one sync run, dropped at its end.
struct SyncEngine::RunState {
    std::optional<QString> previousPushedFile;
    // File events seen, for a run whose summary line never arrived (the runner drops a line
    // too long to hold, as a summary listing every file of a huge run can be).
    qint64 pushEvents = 0;
    qint64 pullEvents = 0;
    QList<ConflictRename> conflicts;
    std::optional<QString> lastErrorMessage;
    std::optional<SyncResult> result;
    // The run asked the tool to push nothing.
    bool pullOnly = false;
};

SyncEngine::SyncEngine(std::optional<Binding> binding, std::optional<QString> folderPath,
                       CLIRunner runner, QString serverURL, QObject *parent)
    : QObject(parent), m_id(engineId(binding, folderPath)),
      m_repoId(binding ? binding->repoId : QString()), m_slug(binding ? binding->slug : QString()),
      m_displayName(binding ? binding->displayName : QString()),
      m_state(folderPath ? SyncState::idle : SyncState::noFolder),
      m_folderPath(std::move(folderPath)), m_statusDebouncer(new Debouncer(kStatusDebounce, this)),
      m_runner(std::move(runner)), m_serverURL(std::move(serverURL)),
      m_progressTimer(new QTimer(this)) {
    m_progressTimer->setSingleShot(true);
    m_progressTimer->setInterval(kProgressInterval);
    connect(m_progressTimer, &QTimer::timeout, this, [this] {
        if (std::exchange(m_progressPending, false)) {
            emit progressChanged();
            m_progressTimer->start();
        }
    });
}

SyncEngine::~SyncEngine() {
    // A started watcher keeps itself alive; without this it would watch the folder for
    // nobody until the process ends.
    stop();
}

std::optional<QUrl> SyncEngine::folderURL() const {
    if (!m_folderPath)
        return std::nullopt;
    return QUrl::fromLocalFile(*m_folderPath);
}

void SyncEngine::setDisplayName(const QString &name) {
    if (name == m_displayName)
        return;
    m_displayName = name;
    emit changed();
}

void SyncEngine::setState(SyncState state) {
    m_state = std::move(state);
    emit changed();
}

void SyncEngine::selectionEdited() {
    ++m_selectionGeneration;
    emit changed();
}

void SyncEngine::setSelectedPaths(QSet<QString> paths) {
    m_selectedPaths = std::move(paths);
    selectionEdited();
}

void SyncEngine::setSelected(const QString &path, bool selected) {
    if (selected)
        m_selectedPaths.insert(path);
    else
        m_selectedPaths.remove(path);
    selectionEdited();
}

bool SyncEngine::allSelected() const {
    return !m_pendingChanges.isEmpty() && m_selectedPaths.size() == m_pendingChanges.size();
}

void SyncEngine::toggleSelectAll() {
    if (allSelected()) {
        m_selectedPaths.clear();
    } else {
        QSet<QString> all;
        all.reserve(m_pendingChanges.size());
        for (const PendingChange &change : std::as_const(m_pendingChanges))
            all.insert(change.path);
        m_selectedPaths = std::move(all);
    }
    selectionEdited();
}

void SyncEngine::setOnManualSyncComplete(ManualSyncCompletion callback) {
    m_onManualSyncComplete = std::move(callback);
}

void SyncEngine::start() {
    if (!m_folderPath || m_shutDown)
        return;
    stop();
    const QPointer<SyncEngine> self(this);
    m_fileWatcher = std::make_shared<FileWatcher>(
        *m_folderPath,
        [self](const QStringList &paths) {
            if (self)
                self->handleFileEvents(paths);
        },
        [self] {
            // Events were lost, or the folder itself can no longer be watched: the pending
            // list may be stale, so look again as if a relevant file had changed.
            if (self)
                self->checkFolder();
            if (self && !self->m_isSyncing)
                self->scheduleLocalRefresh();
        });
    m_fileWatcher->start();
    refreshAll();
}

void SyncEngine::stop() {
    if (m_fileWatcher) {
        m_fileWatcher->stop();
        m_fileWatcher.reset();
    }
}

void SyncEngine::shutDown() {
    m_shutDown = true;
    stop();
    stopSync();
}

bool SyncEngine::isUsableFolder(const QString &path) {
    const QFileInfo info(path);
    return info.isDir() && info.isReadable() && info.isExecutable();
}

void SyncEngine::checkFolder() {
    if (m_folderPath && !m_shutDown && !isUsableFolder(*m_folderPath))
        emit folderUnusable();
}

// A failed check is shown, in the tool's words, until one succeeds; one that failed because
// the folder went away tells the owner. A server that cannot be reached is Offline instead.
void SyncEngine::statusFailed(const RunOutcome &outcome, StatusKind kind) {
    QString message;
    if (const auto *launch = std::get_if<LaunchError>(&outcome)) {
        message = launch->description;
    } else {
        const CLIAuthResult &result = std::get<CLIAuthResult>(outcome);
        if (kind == StatusKind::full && result.exitCode == tool::kExitNetworkUnavailable) {
            if (m_state.kind == SyncState::idle)
                m_state = SyncState::networkError;
            emit changed();
            return;
        }
        message =
            result.exitCode == tool::kExitCrashed
                ? tool::kCrashedMessage
                : tool_output::errorText(result).value_or(
                      QStringLiteral("The orvu tool exited with code %1").arg(result.exitCode));
    }
    m_checkFailure = message;
    m_checkFailedFull = kind == StatusKind::full;
    emit changed();
    checkFolder();
}

QCoro::Task<> SyncEngine::refreshStatus() {
    QCoro::Task<> refreshing = refreshCoalesced(StatusKind::local);
    co_await refreshing;
}

QCoro::Task<> SyncEngine::refreshAll() {
    QCoro::Task<> refreshing = refreshCoalesced(StatusKind::full);
    co_await refreshing;
}

QCoro::Task<> SyncEngine::refreshCoalesced(StatusKind kind) {
    if (!m_folderPath || m_shutDown)
        co_return;
    StatusRuns &runs = kind == StatusKind::local ? m_localRuns : m_fullRuns;
    if (runs.running) {
        // One follow-up serves every request made while a run is under way: it starts after
        // that run, so it sees whatever made the callers ask.
        if (!runs.followUp) {
            runs.followUp = std::make_shared<QPromise<void>>();
            runs.followUp->start();
        }
        QFuture<void> done = runs.followUp->future();
        co_await done; // also ends, cancelled, when the engine goes away
        co_return;
    }
    const QPointer<SyncEngine> self(this);
    runs.running = true;
    std::shared_ptr<QPromise<void>> served;
    do {
        QCoro::Task<> running = kind == StatusKind::local ? runLocalStatus() : runFullStatus();
        co_await running;
        if (!self)
            co_return; // `served`, if any, is cancelled as it goes
        if (served)
            served->finish();
        served = std::exchange(runs.followUp, nullptr);
    } while (served);
    runs.running = false;
}

QCoro::Task<> SyncEngine::runLocalStatus() {
    const QPointer<SyncEngine> self(this);
    const CLIRunner runner = m_runner.boundTo(this);
    const quint64 epoch = m_resultEpoch;
    QCoro::Task<RunOutcome> running =
        runner.run(tool::status(*m_folderPath), m_serverURL, {}, tool::kStatusTimeLimit);
    const RunOutcome outcome = co_await running;
    const auto *result = std::get_if<CLIAuthResult>(&outcome);
    if (!self || m_shutDown || epoch != m_resultEpoch)
        co_return;
    if (!result || result->exitCode != tool::kExitSuccess) {
        statusFailed(outcome, StatusKind::local);
        co_return;
    }
    const quint64 generation = m_selectionGeneration;
    QFuture<PreparedStatus> preparing =
        QtConcurrent::run([output = result->standardOutput, selected = m_selectedPaths,
                           known = m_knownPaths]() mutable {
            return PreparedStatus::make(decoding::decodeLocalStatus(output), std::nullopt,
                                        std::move(selected), std::move(known));
        });
    PreparedStatus prepared = co_await preparing;
    if (!self)
        co_return;
    publishStatus(std::move(prepared), false, generation, epoch);
}

QCoro::Task<> SyncEngine::runFullStatus() {
    const QPointer<SyncEngine> self(this);
    const CLIRunner runner = m_runner.boundTo(this);
    const quint64 epoch = m_resultEpoch;
    QCoro::Task<RunOutcome> running =
        runner.run(tool::remoteStatus(*m_folderPath), m_serverURL, {}, tool::kStatusTimeLimit);
    const RunOutcome outcome = co_await running;
    if (!self || m_shutDown || epoch != m_resultEpoch)
        co_return;
    if (std::holds_alternative<LaunchError>(outcome)) {
        m_remoteStatus.reset();
        emit changed();
        QCoro::Task<> fallback = refreshStatus();
        co_await fallback;
        co_return;
    }
    const CLIAuthResult &result = std::get<CLIAuthResult>(outcome);
    if (result.exitCode != tool::kExitSuccess) {
        m_remoteStatus.reset();
        statusFailed(outcome, StatusKind::full);
        co_return;
    }
    const quint64 generation = m_selectionGeneration;
    QFuture<PreparedStatus> preparing =
        QtConcurrent::run([output = result.standardOutput, selected = m_selectedPaths,
                           known = m_knownPaths]() mutable {
            FullStatus status = decoding::decodeFullStatus(output);
            return PreparedStatus::make(std::move(status.pendingChanges), std::move(status.remote),
                                        std::move(selected), std::move(known));
        });
    PreparedStatus prepared = co_await preparing;
    if (!self)
        co_return;
    publishStatus(std::move(prepared), true, generation, epoch);
}

// Publishes a refresh in one step: the sorted pending list, the remote part of a full refresh,
// and the selection worked out with it, unless the selection was edited meanwhile, in which
// case the rules are applied again to the edited one.
void SyncEngine::publishStatus(PreparedStatus prepared, bool withRemote, quint64 generation,
                               quint64 epoch) {
    if (epoch != m_resultEpoch) {
        releaseInBackground(std::move(prepared.sorted), std::move(prepared.selected),
                            std::move(prepared.known));
        return;
    }
    ++m_resultEpoch;
    if (withRemote || !m_checkFailedFull)
        m_checkFailure.reset();
    // The server answered: whatever said Offline is over.
    if (withRemote && m_state.kind == SyncState::networkError)
        m_state = SyncState::idle;
    if (std::max(m_pendingChanges.size(), prepared.sorted.size()) >= 10'000)
        trimHeapSoon();
    QList<PendingChange> previous = std::exchange(m_pendingChanges, std::move(prepared.sorted));
    if (withRemote) {
        std::optional<RemoteStatusInfo> previousRemote =
            std::exchange(m_remoteStatus, std::move(prepared.remote));
        if (previousRemote)
            releaseInBackground(std::move(previousRemote->changes));
    }
    releaseInBackground(std::move(previous));
    if (generation != m_selectionGeneration) {
        updateSelection();
        return;
    }
    releaseInBackground(std::exchange(m_selectedPaths, std::move(prepared.selected)),
                        std::exchange(m_knownPaths, std::move(prepared.known)));
    emit changed();
}

void SyncEngine::updateSelection() {
    applySelectionRules(m_pendingChanges, m_selectedPaths, m_knownPaths);
    selectionEdited();
}

void SyncEngine::handleFileEvents(const QStringList &paths) {
    if (!m_folderPath)
        return;
    QString root = *m_folderPath;
    if (!root.endsWith(u'/'))
        root += u'/';
    // The watcher names the folder itself when it was deleted or moved away.
    if (paths.contains(QStringView(root).chopped(1)))
        checkFolder();
    if (m_isSyncing)
        return;
    for (const QString &path : paths) {
        if (!path.startsWith(root))
            continue;
        const QStringView remainder = QStringView(path).mid(root.size());
        if (remainder.isEmpty())
            continue;
        // Hidden components at any depth, the tool's own .orvu folder among them.
        if (remainder.startsWith(u'.') || remainder.contains(QLatin1StringView("/.")))
            continue;
        const QFileInfo info(path);
        if (info.exists() && info.isDir())
            continue;
        scheduleLocalRefresh();
        return;
    }
}

void SyncEngine::scheduleLocalRefresh() {
    m_statusDebouncer->debounce([self = QPointer<SyncEngine>(this)] {
        if (self)
            self->refreshStatus();
    });
}

QStringList SyncEngine::onlyArguments() const {
    if (m_selectedPaths.isEmpty() && !m_pendingChanges.isEmpty())
        return tool::pullOnly();
    if (m_selectedPaths.isEmpty() || m_selectedPaths.size() >= m_pendingChanges.size())
        return {};
    QStringList paths(m_selectedPaths.cbegin(), m_selectedPaths.cend());
    std::sort(paths.begin(), paths.end(),
              [](const QString &a, const QString &b) { return decoding::codePointLess(a, b); });
    // The pairs exactly as the sync builder appends them after its fixed arguments.
    const qsizetype fixed = tool::sync(QString(), {}).size();
    return tool::sync(QString(), paths).mid(fixed);
}

void SyncEngine::sync(bool manual) {
    // Everything here runs on the main thread, so the check and the set cannot interleave
    // with another request.
    if (m_isSyncing || m_heldBy || m_shutDown)
        return;
    m_isSyncing = true;
    m_isManualSync = manual;
    m_stopRequested = false;
    m_wasStopped = false;
    setState(SyncState::syncing);
    performSync();
}

void SyncEngine::stopSync() {
    if (!m_run || m_run->finishedCode())
        return;
    m_stopRequested = true;
    m_run->stop(kStopGrace);
}

QCoro::Task<> SyncEngine::performSync() {
    const QPointer<SyncEngine> self(this);
    if (!m_folderPath) {
        m_isSyncing = false;
        setState(SyncState::noFolder);
        emit syncFinished();
        co_return;
    }
    QStringList arguments = tool::sync(*m_folderPath, {});
    arguments += onlyArguments();
    std::unique_ptr<StreamingRun> run = m_runner.runStreaming(arguments, m_serverURL);
    m_run = run.get();
    auto runState = std::make_shared<RunState>();
    runState->pullOnly = arguments.contains(tool::pullOnly().constFirst());
    // Each line is decoded and applied as it is delivered, before the next one is read.
    connect(run.get(), &StreamingRun::lineReceived, this, [this, runState](const QString &line) {
        applyEvent(*runState, decoding::decodeSyncEvent(line));
    });
    QCoro::Task<int> exiting = run->exitCode();
    const int exitCode = co_await exiting;
    if (!self)
        co_return;
    run.reset();
    finishRun(*runState, exitCode);
    if (!self)
        co_return;
    // A run that did its work, left no word of it, or was stopped, leaves the folder changed.
    if (m_shutDown || (exitCode != tool::kExitSuccess && !m_wasStopped)) {
        endRun();
        co_return;
    }
    QCoro::Task<> refreshing = refreshAll();
    co_await refreshing;
    if (self)
        endRun();
}

void SyncEngine::endRun() {
    m_isSyncing = false;
    emit changed();
    emit syncFinished();
}

void SyncEngine::announceProgress() {
    if (m_progressTimer->isActive()) {
        m_progressPending = true;
        return;
    }
    emit progressChanged();
    m_progressTimer->start();
}

void SyncEngine::flushProgress() {
    m_progressTimer->stop();
    m_progressPending = false;
    emit progressChanged();
}

void SyncEngine::holdWhileSyncing(SyncEngine *peer) {
    if (!peer || peer == this || !peer->isSyncing() || m_heldBy)
        return;
    m_heldBy = true;
    const auto release = [this, peer] {
        if (!std::exchange(m_heldBy, false))
            return;
        disconnect(peer, nullptr, this, nullptr);
        setState(m_folderPath ? SyncState::idle : SyncState::noFolder);
        emit syncFinished();
        refreshAll();
    };
    connect(peer, &SyncEngine::syncFinished, this, release);
    connect(peer, &QObject::destroyed, this, release);
    setState(SyncState::syncing);
}

void SyncEngine::applyEvent(RunState &run, const SyncEvent &event) {
    struct Apply {
        SyncEngine &engine;
        RunState &run;

        void operator()(std::monostate) const {}
        void operator()(const PushEvent &push) const {
            // Sized once for the run's announced total (within reason), so that a long run
            // does not rehash its statuses again and again.
            if (engine.m_fileStatuses.isEmpty() && push.total > 0)
                engine.m_fileStatuses.reserve(qsizetype(std::min<qint64>(push.total, 1 << 20)));
            if (run.previousPushedFile)
                engine.m_fileStatuses.insert(*run.previousPushedFile, FileTransferStatus::done);
            engine.m_fileStatuses.insert(push.file, FileTransferStatus::transferring);
            engine.m_syncProgress = SyncProgress{push.total, finishedBefore(push.current),
                                                 push.file, SyncProgress::Phase::pushing};
            run.previousPushedFile = push.file;
            ++run.pushEvents;
            engine.announceProgress();
        }
        void operator()(const PullEvent &pull) const {
            engine.m_syncProgress = SyncProgress{pull.total, finishedBefore(pull.current),
                                                 pull.file, SyncProgress::Phase::pulling};
            ++run.pullEvents;
            engine.announceProgress();
        }
        void operator()(const ConflictEvent &conflict) const {
            run.conflicts.append(conflict.rename);
        }
        void operator()(const CompleteEvent &complete) const {
            run.result = complete.result;
            for (auto it = engine.m_fileStatuses.begin(); it != engine.m_fileStatuses.end(); ++it)
                it.value() = FileTransferStatus::done;
            if (engine.m_syncProgress) {
                engine.m_syncProgress->completedFiles = engine.m_syncProgress->totalFiles;
                engine.m_syncProgress->currentFile.reset();
            }
            engine.flushProgress(); // the last progress of the run, shown at once
        }
        void operator()(const UpToDateEvent &) const { run.result = SyncResult{}; }
        void operator()(const ErrorEvent &error) const {
            run.lastErrorMessage = error.message;
            run.result = SyncResult::failure(error.message);
        }
    };
    std::visit(Apply{*this, run}, event);
}

void SyncEngine::finishRun(RunState &run, int exitCode) {
    const QPointer<SyncEngine> self(this);
    if (m_stopRequested && exitCode != tool::kExitSuccess) {
        // The user (or a sign-out) ended it: nothing failed, nobody is notified, and the
        // refresh that follows shows what was done.
        m_wasStopped = true;
        m_lastSyncResult = SyncResult::failure(QStringLiteral("Sync stopped"));
        m_syncProgress.reset();
        releaseInBackground(std::exchange(m_fileStatuses, {}));
        m_state = m_folderPath ? SyncState::idle : SyncState::noFolder;
        ++m_resultEpoch;
        flushProgress();
        emit changed();
        return;
    }
    // Exit 0 without a result or a transfer: the tool may have done anything, so the run counts
    // as failed, and the refresh that follows shows where the folder stands.
    const bool unread =
        exitCode == tool::kExitSuccess && !run.result && run.pushEvents + run.pullEvents == 0;
    const bool contractCode = exitCode == tool::kExitAuthRequired ||
                              exitCode == tool::kExitNetworkUnavailable ||
                              exitCode == tool::kExitInterrupted;
    if (run.pullOnly && exitCode != tool::kExitSuccess && !contractCode && run.lastErrorMessage &&
        (run.lastErrorMessage->contains(tool::pullOnly().constFirst()) ||
         run.lastErrorMessage->startsWith(QStringLiteral("Usage")))) {
        // A tool without the option refuses it; better no sync than one that pushes what the
        // user left out.
        run.lastErrorMessage =
            QStringLiteral("This orvu tool cannot sync without pushing; tick the changes to push");
    }
    std::optional<SyncResult> outcome;
    switch (unread ? tool::kExitLaunchFailed : exitCode) {
    case tool::kExitSuccess: {
        if (run.result) {
            outcome = run.result;
        } else {
            // The summary line was never read; what the run did is still known from its events.
            outcome = SyncResult{};
            outcome->pushed = run.pushEvents;
            outcome->pulled = run.pullEvents;
        }
        m_lastSyncTime = QDateTime::currentDateTime();
        m_lastFileChanges = outcome->fileChanges;
        m_lastConflicts = std::move(run.conflicts);
        // What the user left out was not pushed and is still pending: it stays known and
        // unticked, so the refresh that follows does not tick it again.
        QSet<QString> unticked = std::exchange(m_knownPaths, {});
        unticked.removeIf([&](const QString &path) { return m_selectedPaths.contains(path); });
        m_knownPaths = std::move(unticked);
        releaseInBackground(std::exchange(m_pendingChanges, {}),
                            std::exchange(m_selectedPaths, {}));
        ++m_selectionGeneration;
        m_remoteStatus.reset();
        m_state = SyncState::idle;
        break;
    }
    case tool::kExitAuthRequired:
        m_syncProgress.reset();
        m_fileStatuses.clear();
        m_state = SyncState::notAuthenticated;
        ++m_resultEpoch;
        flushProgress();
        emit changed();
        return; // the user must sign in again; no result, no callback
    case tool::kExitNetworkUnavailable:
        outcome = SyncResult::failure(QStringLiteral("Network unavailable"));
        m_state = SyncState::networkError;
        break;
    case tool::kExitInterrupted:
        outcome = SyncResult::failure(QStringLiteral("Sync interrupted"));
        m_state = SyncState::idle;
        break;
    default: {
        // A tool that crashed or ran out of time said nothing that could be trusted.
        const QString message =
            unread ? QStringLiteral("The orvu tool's report of the sync could not be read")
            : exitCode == tool::kExitCrashed
                ? tool::kCrashedMessage
                : run.lastErrorMessage.value_or(QStringLiteral("Sync failed"));
        outcome = SyncResult::failure(message);
        m_state = SyncState::failure(message);
        break;
    }
    }
    m_lastSyncResult = outcome;
    m_syncProgress.reset();
    releaseInBackground(std::exchange(m_fileStatuses, {}));
    ++m_resultEpoch;
    if (exitCode != tool::kExitSuccess)
        m_isSyncing = false; // no refresh follows; endRun() announces the end
    flushProgress();
    emit changed();
    if (self && m_isManualSync && m_onManualSyncComplete)
        m_onManualSyncComplete(*outcome);
}

QCoro::Task<std::optional<SyncPreview>> SyncEngine::preview() {
    if (!m_folderPath || m_heldBy || m_shutDown)
        co_return std::nullopt;
    const CLIRunner runner = m_runner;
    QStringList arguments = tool::syncDryRun(*m_folderPath, {});
    arguments += onlyArguments();
    QCoro::Task<RunOutcome> running = runner.run(arguments, m_serverURL);
    const RunOutcome outcome = co_await running;
    const auto *result = std::get_if<CLIAuthResult>(&outcome);
    if (!result || result->exitCode != tool::kExitSuccess)
        co_return std::nullopt;
    QFuture<std::optional<SyncPreview>> parsing = QtConcurrent::run(
        [output = result->standardOutput] { return decoding::decodePreview(output); });
    std::optional<SyncPreview> preview = co_await parsing;
    co_return preview;
}

void SyncEngine::discard(PendingChange change) {
    if (!m_folderPath || m_heldBy || m_shutDown)
        return;
    runDiscard(std::move(change));
}

QCoro::Task<> SyncEngine::runDiscard(PendingChange change) {
    const QPointer<SyncEngine> self(this);
    const CLIRunner runner = m_runner;
    // The path is relative to the bound folder, so the tool must run there: with several
    // folders bound it could not tell otherwise which one is meant.
    QCoro::Task<RunOutcome> running =
        runner.run(tool::discard(change.path), m_serverURL, *m_folderPath);
    const RunOutcome outcome = co_await running;
    if (self)
        ++m_resultEpoch; // a status run started before now may still list the change
    const QString name = lastComponent(change.path);
    if (const auto *failure = std::get_if<LaunchError>(&outcome)) {
        printDiagnostic(QStringLiteral("discard failed: ") + failure->description);
        if (self)
            setState(SyncState::failure(
                QStringLiteral("Failed to discard %1: %2").arg(name, failure->description)));
        co_return;
    }
    const int exitCode = std::get<CLIAuthResult>(outcome).exitCode;
    if (exitCode != tool::kExitSuccess) {
        printDiagnostic(QStringLiteral("discard exited with code %1").arg(exitCode));
        if (self)
            setState(SyncState::failure(QStringLiteral("Failed to discard %1").arg(name)));
        co_return;
    }
    if (self) {
        QCoro::Task<> refreshing = refreshStatus();
        co_await refreshing;
    }
}

} // namespace orvu
