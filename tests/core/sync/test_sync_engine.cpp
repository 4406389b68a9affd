#include "core/cli/tool_commands.h"
#include "core/sync/sync_engine.h"
#include "support/stand_in/stand_in_tool.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <QCoro/QCoroTask>

using namespace orvu;
using orvu::test::Response;
using orvu::test::StandInTool;

Q_DECLARE_METATYPE(orvu::SyncState)

namespace {

QString json(const QJsonObject &object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// "A:path" entries as a status line; `remote` is added when given.
QString statusLine(const QStringList &changes, std::optional<QJsonObject> remote = {}) {
    QJsonArray array;
    for (const QString &change : changes) {
        const qsizetype colon = change.indexOf(u':');
        array.append(QJsonObject{{"path", change.mid(colon + 1)}, {"change", change.left(colon)}});
    }
    QJsonObject line{{"type", "status"}, {"changes", array}};
    if (remote)
        line.insert("remote", *remote);
    return json(line);
}

QString transfer(const QString &type, const QString &file, int current = -1, int total = -1) {
    QJsonObject line{{"type", type}, {"file", file}};
    if (current >= 0)
        line.insert("current", current);
    if (total >= 0)
        line.insert("total", total);
    return json(line);
}

QStringList paths(const QList<PendingChange> &changes) {
    QStringList out;
    for (const PendingChange &change : changes)
        out << change.path;
    return out;
}

QStringList sorted(const QSet<QString> &set) {
    QStringList out(set.cbegin(), set.cend());
    out.sort();
    return out;
}

// One published step of a sync run: "completed/total current phase|file=status ...".
QString snapshot(const SyncEngine &engine) {
    QString progress = QStringLiteral("-");
    if (const auto &p = engine.syncProgress())
        progress = QStringLiteral("%1/%2 %3 %4")
                       .arg(p->completedFiles)
                       .arg(p->totalFiles)
                       .arg(p->currentFile.value_or(QStringLiteral("<none>")))
                       .arg(p->phase == SyncProgress::Phase::pushing ? "push" : "pull");
    QStringList statuses;
    for (auto it = engine.fileStatuses().cbegin(); it != engine.fileStatuses().cend(); ++it)
        statuses << it.key() + u'=' +
                        (it.value() == FileTransferStatus::done ? "done" : "transferring");
    statuses.sort();
    return progress + u'|' + statuses.join(u' ');
}

struct Refresh {
    bool full, launchFails;
    QStringList output;
    int exitCode;
    QStringList pending;
    int remote;      // toPull afterwards, -1 when absent
    QString failure; // the check failure shown: "" none, "*" any text
    SyncState state = SyncState::idle;
};

} // namespace

Q_DECLARE_METATYPE(Refresh)

class TestSyncEngine : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    QString m_folder;

    std::unique_ptr<SyncEngine> makeEngine(const StandInTool &tool) {
        return std::make_unique<SyncEngine>(std::nullopt, m_folder, CLIRunner(tool.location()));
    }

    // Runs a sync to its end: until the engine has stopped syncing.
    static bool syncToEnd(SyncEngine &engine, bool manual = true) {
        engine.sync(manual);
        return QTest::qWaitFor([&] { return !engine.isSyncing(); }, 10000);
    }

    // Hands the engine one watcher batch; "@" stands for the folder.
    void report(SyncEngine &engine, const QStringList &batch) {
        QStringList absolute;
        for (const QString &path : batch)
            absolute << QString(path).replace(u'@', m_folder);
        engine.handleFileEvents(absolute);
    }

private slots:
    void init() {
        QVERIFY(m_root.isValid());
        m_folder = m_root.filePath(QStringLiteral("folder"));
        QDir(m_folder).removeRecursively();
        QVERIFY(QDir().mkpath(m_folder));
    }

    // The selection across refreshes, step by step: each step is one refresh's output, then
    // a user action ("-p" deselects p, "=p" selects only p, "*" toggles all), and what the
    // engine shows afterwards.
    void selectionAcrossRefreshes() {
        StandInTool tool;
        auto engine = makeEngine(tool);
        struct Step {
            QStringList listed;
            QString act, pending, selected;
            bool allSelected;
        };
        const QStringList abc{"M:b", "A:a", "D:c"};
        // Sorted by code point: U+E000 before a character beyond U+FFFF.
        const QString emoji = QString::fromUcs4(U"\U0001F600"), privateUse(QChar(0xE000));
        const QList<Step> steps{
            {abc, "", "a b c", "a b c", true},
            {abc, "-b", "a b c", "a c", false},
            {abc, "*", "a b c", "a b c", true},
            {abc, "*", "a b c", "", false},
            {abc, "=a", "a b c", "a", false},
            // b and c leave, d appears: a stays selected, d is selected as new.
            {{"A:d", "M:a"}, "", "a d", "a d", true},
            // b comes back after having left: selected again.
            {{"A:d", "M:a", "M:b"}, "-a", "a b d", "b d", false},
            {{"A:" + emoji, "A:" + privateUse, "A:B", "A:a/b"},
             "",
             "B a/b " + privateUse + " " + emoji,
             "B a/b " + emoji + " " + privateUse, // sorted here by UTF-16 unit
             true},
            {{}, "*", "", "", false},
        };
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const Step &step = steps[i];
            tool.respond("status", Response().lines({statusLine(step.listed)}));
            QCoro::waitFor(engine->refreshStatus());
            if (step.act.startsWith(u'-'))
                engine->setSelected(step.act.mid(1), false);
            else if (step.act.startsWith(u'='))
                engine->setSelectedPaths({step.act.mid(1)});
            else if (step.act == "*")
                engine->toggleSelectAll();
            const QByteArray where = "step " + QByteArray::number(i);
            QVERIFY2(paths(engine->pendingChanges()).join(u' ') == step.pending, where);
            QVERIFY2(sorted(engine->selectedPaths()).join(u' ') == step.selected, where);
            QVERIFY2(engine->allSelected() == step.allSelected, where);
        }
    }

    // Refreshes that fail, after a good one that listed a and b with a remote part; a failure
    // is shown, in the tool's words, until the next good full refresh.
    void failedAndMalformedRefreshes_data() {
        QTest::addColumn<Refresh>("r");
        const QString z = statusLine({"A:z"});
        const QString damaged = json({{"type", "error"}, {"error", "Store damaged"}});
        const QJsonObject zeros{{"toPull", 0}, {"toDelete", 0}, {"conflicts", 0}};
        const QStringList ab{"a", "b"};
        const auto row = [](const char *name, Refresh r) { QTest::newRow(name) << r; };
        row("local exits 1", {false, false, {z}, 1, ab, 7, "The orvu tool exited with code 1"});
        row("local cannot start", {false, true, {}, 0, ab, 7, "*"});
        row("full exits 1", {true, false, {damaged}, 1, ab, -1, "Store damaged"});
        row("full cannot start", {true, true, {}, 0, ab, -1, "*"});
        row("full offline", {true, false, {}, 3, ab, -1, "", SyncState::networkError});
        row("full without remote", {true, false, {z}, 0, {"z"}, -1, ""});
        row("full with zero remote", {true, false, {statusLine({"A:z"}, zeros)}, 0, {"z"}, 0, ""});
    }
    void failedAndMalformedRefreshes() {
        QFETCH(Refresh, r);
        StandInTool tool;
        auto engine = makeEngine(tool);
        tool.respond("status --remote",
                     Response().lines({statusLine({"M:b", "A:a"}, QJsonObject{{"toPull", 7}})}));
        QCoro::waitFor(engine->refreshAll());
        engine->setSelected("b", false);

        tool.respond("status", Response().lines(r.output).exit(r.exitCode));
        tool.respond("status --remote", Response().lines(r.output).exit(r.exitCode));
        if (r.launchFails) // the tool vanishes: no resource, no candidate, no bare `orvu`
            QVERIFY(QFile::remove(tool.executablePath()));
        QCoro::waitFor(r.full ? engine->refreshAll() : engine->refreshStatus());
        QCOMPARE(paths(engine->pendingChanges()), r.pending);
        QCOMPARE(engine->remoteStatus() ? int(engine->remoteStatus()->toPull) : -1, r.remote);
        if (r.pending == QStringList{"a", "b"})
            QCOMPARE(sorted(engine->selectedPaths()), QStringList{"a"});
        QCOMPARE(engine->state(), r.state);
        const QString shown = engine->checkFailure().value_or(QString());
        QVERIFY2(r.failure == "*" ? !shown.isEmpty() : shown == r.failure, qPrintable(shown));

        tool.respond("status --remote", Response().lines({statusLine({})}));
        QCoro::waitFor(engine->refreshAll());
        QVERIFY(!engine->checkFailure());
        QCOMPARE(engine->state(), SyncState(SyncState::idle)); // Offline clears by itself
    }

    // Which paths of one watcher batch cause a local refresh.
    void fileEventFilter_data() {
        QTest::addColumn<QStringList>("files");    // made inside the folder; reported unless given
        QTest::addColumn<QStringList>("reported"); // "@" stands for the folder
        QTest::addColumn<bool>("refreshes");

        QTest::newRow("hidden: tool config, dot file, deep under a hidden folder")
            << QStringList{".orvu/config", ".DS_Store", "a/b/.cache/c/d.txt"} << QStringList()
            << false;
        QTest::newRow("new empty directory, outside, prefix sibling, the folder itself")
            << QStringList{"newdir/"}
            << QStringList{"@/newdir", "/etc/passwd", "@-other/file.txt", "@", "@/"} << false;
        QTest::newRow("dots inside names are not hidden")
            << QStringList{"a.b/c..d"} << QStringList() << true;
        // Edits and deletions in sub-folders are proven against the real tool end to end.
        QTest::newRow("one relevant path among ignored ones")
            << QStringList{".hidden", "dir/", "x.txt"}
            << QStringList{"@/.hidden", "@/dir", "/tmp", "@/x.txt", "@/y.txt"} << true;
    }
    void fileEventFilter() {
        QFETCH(QStringList, files);
        QFETCH(QStringList, reported);
        QFETCH(bool, refreshes);
        for (const QString &file : files) {
            const QString path = m_folder + u'/' + file;
            QVERIFY(QDir().mkpath(file.endsWith(u'/') ? path : QFileInfo(path).absolutePath()));
            QFile f(path);
            QVERIFY(file.endsWith(u'/') || f.open(QIODevice::WriteOnly));
        }
        if (reported.isEmpty())
            for (const QString &file : files)
                reported << "@/" + file;
        StandInTool tool;
        tool.respond("status", Response().lines({statusLine({"A:x.txt"})}));
        auto engine = makeEngine(tool);
        report(*engine, reported);
        QTest::qWait(int(SyncEngine::kStatusDebounce.count()) + 400);
        QCOMPARE(tool.invocations("status").size(), refreshes ? 1 : 0);
        QCOMPARE(engine->pendingChanges().size(), refreshes ? 1 : 0);
    }

    void onlyArguments_data() {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<QStringList>("only");
        QTest::newRow("two of three, sorted")
            << QStringList{"z/y", "x"} << QStringList{"--only", "x", "--only", "z/y"};
        // None ticked (pull-only) is checked by exitCodes.
        QTest::newRow("all") << QStringList{"x", "z/y", "w"} << QStringList();
    }
    void onlyArguments() {
        QFETCH(QStringList, selected);
        QFETCH(QStringList, only);
        StandInTool tool;
        tool.respond("status", Response().lines({statusLine({"A:x", "M:z/y", "D:w"})}));
        tool.respond("sync", Response().exit(tool::kExitInterrupted));
        tool.respond("sync --dry-run", Response().lines({"{\"type\":\"plan\"}"}));
        auto engine = makeEngine(tool);
        QCoro::waitFor(engine->refreshStatus());
        engine->setSelectedPaths(QSet<QString>(selected.cbegin(), selected.cend()));
        QVERIFY(syncToEnd(*engine));
        QVERIFY(QCoro::waitFor(engine->preview()).has_value());
        QCOMPARE(tool.invocations("sync").first().subcommandArguments(),
                 tool::sync(m_folder, {}) + only);
        QCOMPARE(tool.invocations("sync --dry-run").first().subcommandArguments(),
                 tool::syncDryRun(m_folder, {}) + only);
    }

    // What observers see at each step of a run: "completed/total current phase|statuses".
    void progressStepByStep_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("seen");

        const QString complete = json({{"type", "complete"}, {"pushed", 3}});
        QTest::newRow("pushes, a pull, a push without counts")
            << QStringList{transfer("push", "a", 1, 4), transfer("push", "b", 2, 4),
                           transfer("pull", "c", 1, 2), transfer("push", "d"), complete}
            << QStringList{"0/4 a push|a=transferring", "1/4 b push|a=done b=transferring",
                           "0/2 c pull|a=done b=transferring", // pulls leave statuses alone
                           "-1/0 d push|a=done b=done d=transferring",
                           "0/0 <none> push|a=done b=done d=done"};
        QTest::newRow("complete after pushes shows the total")
            << QStringList{transfer("push", "a", 1, 2), transfer("push", "b", 2, 2), complete}
            << QStringList{"0/2 a push|a=transferring", "1/2 b push|a=done b=transferring",
                           "2/2 <none> push|a=done b=done"};
    }
    void progressStepByStep() {
        QFETCH(QStringList, lines);
        QFETCH(QStringList, seen);
        StandInTool tool;
        tool.respond("sync", Response().lines(lines, 60));
        tool.respond("status --remote", Response().lines({statusLine({})}));
        auto engine = makeEngine(tool);
        QStringList published;
        const auto record = [&] { published << (engine->isSyncing() ? snapshot(*engine) : "-|"); };
        connect(engine.get(), &SyncEngine::changed, this, record);
        connect(engine.get(), &SyncEngine::progressChanged, this, record);
        QVERIFY(syncToEnd(*engine));
        // Announcements are coalesced: what was shown is a part of the steps, in order, and
        // always ends with the last one. That the end empties both is checked by exitCodes.
        published.removeAll(QStringLiteral("-|"));
        QVERIFY(!published.isEmpty());
        QCOMPARE(published.last(), seen.last());
        qsizetype next = 0;
        for (const QString &shown : std::as_const(published)) {
            next = seen.indexOf(shown, next);
            QVERIFY2(next >= 0, qPrintable(shown));
        }
    }

    // How each exit code ends a run that was preceded by a successful one.
    void exitCodes_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<SyncState>("state");
        QTest::addColumn<QString>("resultError"); // "" none, "-" result unchanged

        const QString error = json({{"type", "error"}, {"error", "quota exceeded"}});
        const QString conflict = json({{"type", "conflict"}, {"file", "n"}, {"renamedTo", "n_2"}});
        const auto row = [](const char *name, QStringList lines, int code, SyncState state,
                            QString error) {
            QTest::newRow(name) << lines << code << state << error;
        };
        // The summary line may be lost (too long to read): the counts come from the events.
        row("0 with pushes but no summary", {transfer("push", "p", 1, 2), transfer("push", "q")}, 0,
            {}, "");
        row("0 after an error event", {error}, 0, {}, "quota exceeded");
        // Nothing readable at all: whatever the tool did, it is not "Everything up to date".
        const QString unread = "The orvu tool's report of the sync could not be read";
        row("0 with nothing readable", {"pushed: p", conflict}, 0, SyncState::failure(unread),
            unread);
        // A tool that does not know the pull-only option (nothing ticked) refuses it.
        const QString usage = json({{"type", "error"}, {"error", "Usage: orvu sync <folder>"}});
        const QString refused =
            "This orvu tool cannot sync without pushing; tick the changes to push";
        row("1 refusing pull-only", {usage}, 1, SyncState::failure(refused), refused);
        row("1 after an error event", {error, conflict}, 1, SyncState::failure("quota exceeded"),
            "quota exceeded");
        row("1 without error event", {conflict}, 1, SyncState::failure("Sync failed"),
            "Sync failed");
        row("2", {conflict}, 2, SyncState::notAuthenticated, "-"); // and no callback
        row("3", {conflict}, 3, SyncState::networkError, "Network unavailable");
        row("4", {conflict}, 4, {}, "Sync interrupted");
        // Killed by SIGINT: never read as the contract's 2 ("sign in") or any other code.
        row("signal", {conflict}, tool::kExitCrashed, SyncState::failure(tool::kCrashedMessage),
            tool::kCrashedMessage);
    }
    void exitCodes() {
        QFETCH(QStringList, lines);
        QFETCH(int, exitCode);
        QFETCH(SyncState, state);
        QFETCH(QString, resultError);

        StandInTool tool;
        tool.respond("status --remote",
                     Response().lines({statusLine({"A:p", "M:q"}, QJsonObject{{"toPull", 2}})}));
        tool.respondOnce(
            "sync",
            Response().lines(
                {json({{"type", "conflict"}, {"file", "old"}, {"renamedTo", "old_1"}}),
                 json({{"type", "complete"}, {"pushed", 1}, {"pushedFiles", QJsonArray{"p"}}})}));
        auto engine = makeEngine(tool);
        QList<SyncResult> results;
        engine->setOnManualSyncComplete([&](const SyncResult &r) { results << r; });
        QVERIFY(syncToEnd(*engine, false)); // an earlier, automatic, successful run
        QVERIFY(results.isEmpty());
        engine->setSelected("q", false);
        const bool pullOnly = QByteArray(QTest::currentDataTag()).contains("pull-only");
        if (pullOnly)
            engine->setSelected("p", false);
        const QDateTime firstTime = *engine->lastSyncTime();
        const SyncResult firstResult = *engine->lastSyncResult();

        QTest::qWait(20);
        Response response = Response().lines(lines).exit(exitCode);
        if (exitCode == tool::kExitCrashed)
            response.script += "kill -INT $$\n";
        tool.respond("sync", response);
        QVERIFY(syncToEnd(*engine));
        QCOMPARE(engine->state(), state);
        QVERIFY(!engine->syncProgress());
        QVERIFY(engine->fileStatuses().isEmpty());
        QCOMPARE(results.size(), resultError == "-" ? 0 : 1);
        if (resultError == "-") {
            QCOMPARE(*engine->lastSyncResult(), firstResult);
        } else {
            QCOMPARE(engine->lastSyncResult()->error.value_or(QString()), resultError);
            QCOMPARE(results.first(), *engine->lastSyncResult());
        }
        const bool succeeded = exitCode == 0 && !state.isError();
        QCOMPARE(*engine->lastSyncTime() > firstTime, succeeded);
        if (succeeded)
            QCOMPARE(engine->lastSyncResult()->pushed, lines.filter("\"push\"").size());
        // A run that ended with 0 is followed by a full refresh; otherwise everything of the run
        // is dropped and no refresh follows. What was left unticked stays so while pending.
        QCOMPARE(tool.invocations("status --remote").size(), exitCode == 0 ? 2 : 1);
        QCOMPARE(sorted(engine->selectedPaths()).join(u' '), pullOnly ? "" : "p");
        QCOMPARE(tool.invocations("sync").last().subcommandArguments().mid(5),
                 pullOnly ? tool::pullOnly() : QStringList({"--only", "p"}));
        QCOMPARE(paths(engine->pendingChanges()), (QStringList{"p", "q"}));
        QCOMPARE(engine->remoteStatus()->toPull, 2);
        if (succeeded) {
            QVERIFY(engine->lastConflicts().isEmpty());
        } else {
            QCOMPARE(engine->lastConflicts().size(), 1);
            QCOMPARE(engine->lastConflicts().first().original, QStringLiteral("old"));
            QCOMPARE(engine->lastFileChanges().size(), 1);
        }
    }

    // A run stopped from its row ends as stopped, even when the tool ignores the request and
    // must be killed after the grace: no failure, no notification, and a refresh follows.
    // Meanwhile requests and file events are dropped, not queued.
    void stopSyncEndsTheRun() {
        StandInTool tool;
        tool.respond("status", Response().lines({statusLine({"A:a"})}));
        tool.respond("status --remote", Response().lines({statusLine({"A:a"})}));
        Response hanging = Response().lines({transfer("push", "a", 1, 1)});
        hanging.script += "trap '' TERM; exec sleep 60\n";
        tool.respond("sync", hanging);
        auto engine = makeEngine(tool);
        QCoro::waitFor(engine->refreshStatus());
        int callbacks = 0;
        engine->setOnManualSyncComplete([&](const SyncResult &) { ++callbacks; });
        engine->sync(true);
        QTRY_VERIFY(engine->syncProgress().has_value());
        engine->sync(true);
        report(*engine, {"@/a"});
        engine->stopSync();
        QTRY_VERIFY_WITH_TIMEOUT(!engine->isSyncing(), 10000);
        QTest::qWait(int(SyncEngine::kStatusDebounce.count()) + 300);
        QCOMPARE(tool.invocations("sync").size(), 1);
        QCOMPARE(engine->state(), SyncState(SyncState::idle));
        QVERIFY(engine->wasStopped());
        QCOMPARE(callbacks, 0);
        QCOMPARE(tool.invocations("status").size(), 2); // the first, and the full one after
        tool.respond("sync", Response().pause(200).exit(tool::kExitInterrupted));
        engine->sync(true); // the next run starts afresh
        QVERIFY(!engine->wasStopped());
        engine->discard(engine->pendingChanges().first());
        engine.reset(); // work still running finds no engine; nothing may crash
        QVERIFY(tool.waitForInvocations(5));
    }

    // A failed discard is shown and followed by no refresh; one that works is followed by one
    // (staleResultsAreDropped).
    void discardFails_data() {
        QTest::addColumn<bool>("launchFails");
        QTest::newRow("exit 1, file in a sub-folder") << false;
        QTest::newRow("launch fails") << true;
    }
    void discardFails() {
        QFETCH(bool, launchFails);
        StandInTool tool;
        tool.respond("status", Response().lines({statusLine({"M:docs/notes.txt", "A:b"})}));
        tool.respond("discard", Response().exit(1));
        auto engine = makeEngine(tool);
        QCoro::waitFor(engine->refreshStatus());
        if (launchFails)
            QVERIFY(QFile::remove(tool.executablePath()));
        engine->discard(PendingChange{"docs/notes.txt", PendingChange::ChangeType::modified});
        QVERIFY(QTest::qWaitFor([&] { return engine->state().isError(); }, 5000));
        const QString message = "Failed to discard notes.txt", shown = engine->state().message;
        // After a failed launch the platform's description follows a colon.
        QVERIFY2(launchFails ? shown.startsWith(message + ": ") && shown.size() > message.size() + 2
                             : shown == message,
                 qPrintable(shown));
        QCOMPARE(tool.invocations("status").size(), 1);
        const auto runs = tool.invocations("discard");
        QCOMPARE(runs.size(), launchFails ? 0 : 1);
        if (!launchFails) {
            QCOMPARE(runs.first().subcommandArguments(), tool::discard("docs/notes.txt"));
            // The path is relative to the bound folder, so the tool runs there.
            QCOMPARE(QDir(runs.first().workingDirectory).canonicalPath(),
                     QDir(m_folder).canonicalPath());
        }
    }

    // A status run that started before a sync or a discard ended, and ends after it, must not
    // bring back what the run or the discard did away with.
    void staleResultsAreDropped_data() {
        QTest::addColumn<bool>("discarding");
        QTest::newRow("sync") << false;
        QTest::newRow("discard") << true;
    }
    void staleResultsAreDropped() {
        QFETCH(bool, discarding);
        StandInTool tool;
        const QString key = discarding ? "status" : "status --remote";
        tool.respondOnce(key, Response().lines({statusLine({"A:a"})}));
        tool.respondOnce(key, Response().lines({statusLine({"A:a"})}).pause(700));
        tool.respond(key, Response().lines({statusLine({})}));
        tool.respond("sync", Response().lines({json({{"type", "complete"}, {"pushed", 1}})}));
        tool.respond("discard", Response());
        auto engine = makeEngine(tool);
        QCoro::waitFor(discarding ? engine->refreshStatus() : engine->refreshAll());
        QList<qsizetype> shown;
        connect(engine.get(), &SyncEngine::changed, this,
                [&] { shown << engine->pendingChanges().size(); });
        QCoro::Task<> slow = discarding ? engine->refreshStatus() : engine->refreshAll();
        if (discarding)
            engine->discard(engine->pendingChanges().first());
        else
            QVERIFY(syncToEnd(*engine));
        QCoro::waitFor(std::move(slow));
        QTRY_COMPARE(tool.invocations(key).size(), 3);
        QTest::qWait(300);
        QVERIFY(engine->pendingChanges().isEmpty());
        QVERIFY(shown.contains(0));
        QVERIFY(!shown.mid(shown.indexOf(0)).contains(1)); // once gone, never back
    }

    // Requests made while a status run is under way lead to one more run, not one each.
    void refreshesDoNotPileUp() {
        StandInTool tool;
        tool.respond("status --remote", Response().lines({statusLine({"A:a"})}).pause(300));
        auto engine = makeEngine(tool);
        int finished = 0;
        for (int i = 0; i < 5; ++i)
            QCoro::connect(engine->refreshAll(), this, [&] { ++finished; });
        QTRY_COMPARE_WITH_TIMEOUT(finished, 5, 5000);
        QCOMPARE(tool.invocations("status --remote").size(), 2);
        QCOMPARE(engine->pendingChanges().size(), 1);
    }

    // A run streaming many events is announced about 30 times a second, not per event; its
    // end is announced once isSyncing is false.
    void streamingRunIsAnnouncedCoalesced() {
        StandInTool tool;
        const QByteArray push = R"({"type":"push","file":"f{n}","current":{n},"total":30000})";
        tool.respond("sync", Response().generated(push, 30000).exit(tool::kExitInterrupted));
        auto engine = makeEngine(tool);
        int ticks = 0;
        QList<bool> syncingWhenAnnounced;
        connect(engine.get(), &SyncEngine::progressChanged, this, [&] { ++ticks; });
        const auto announced = [&] { syncingWhenAnnounced << engine->isSyncing(); };
        connect(engine.get(), &SyncEngine::changed, this, announced);
        connect(engine.get(), &SyncEngine::syncFinished, this, announced);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(syncToEnd(*engine));
        const qint64 ms = clock.elapsed();
        QVERIFY2(ticks >= 1 && ticks <= ms / 33 + 3, qPrintable(QString::number(ticks)));
        QCOMPARE(syncingWhenAnnounced.last(), false);
        QCOMPARE(syncingWhenAnnounced.size() >= 2 && syncingWhenAnnounced.at(1), false);
    }
};

QTEST_GUILESS_MAIN(TestSyncEngine)
#include "test_sync_engine.moc"
