#include "core/cli/tool_commands.h"
#include "core/sync/sync_engine.h"
#include "support/stand_in/stand_in_tool.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <QCoro/QCoroTask>

using namespace orvu;
using orvu::test::Response;
using orvu::test::StandInTool;

Q_DECLARE_METATYPE(std::optional<orvu::SyncEngine::Binding>)
Q_DECLARE_METATYPE(std::optional<QString>)
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

QString push(const QString &file, int current, int total) {
    return json({{"type", "push"}, {"file", file}, {"current", current}, {"total", total}});
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

// A runner that cannot find any tool: nothing at the resource directory, no candidates, and
// no `orvu` in the working directory of the test.
CLIRunner missingTool() {
    return CLIRunner(ToolLocation{QStringLiteral("/nonexistent/orvutray-test"), {}});
}

// Runs a refresh (or any task) to its end.
template <typename T> T finish(QCoro::Task<T> &&task) {
    return QCoro::waitFor(std::move(task));
}
void finish(QCoro::Task<> &&task) {
    QCoro::waitFor(std::move(task));
}

// One published step of a sync run, as observers see it.
struct Snapshot {
    QString progress; // "completed/total current phase", or "-" when absent
    QStringList statuses;

    static Snapshot of(const SyncEngine &engine) {
        Snapshot s;
        if (const auto &p = engine.syncProgress()) {
            s.progress = QStringLiteral("%1/%2 %3 %4")
                             .arg(p->completedFiles)
                             .arg(p->totalFiles)
                             .arg(p->currentFile.value_or(QStringLiteral("<none>")))
                             .arg(p->phase == SyncProgress::Phase::pushing ? "push" : "pull");
        } else {
            s.progress = QStringLiteral("-");
        }
        for (auto it = engine.fileStatuses().cbegin(); it != engine.fileStatuses().cend(); ++it)
            s.statuses << it.key() + u'=' +
                              (it.value() == FileTransferStatus::done ? "done" : "transferring");
        s.statuses.sort();
        return s;
    }
};

} // namespace

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

private slots:
    void init() {
        QVERIFY(m_root.isValid());
        m_folder = m_root.filePath(QStringLiteral("folder"));
        QDir(m_folder).removeRecursively();
        QVERIFY(QDir().mkpath(m_folder));
    }

    void construction_data() {
        QTest::addColumn<std::optional<SyncEngine::Binding>>("binding");
        QTest::addColumn<std::optional<QString>>("folder");
        QTest::addColumn<QString>("id");
        QTest::addColumn<SyncState>("state");

        using B = SyncEngine::Binding;
        QTest::newRow("binding with repo id")
            << std::optional<B>(B{"r1", "slug", "Name", "/b/folder"})
            << std::optional<QString>("/f") << "r1" << SyncState(SyncState::idle);
        QTest::newRow("binding with empty repo id uses its folder path")
            << std::optional<B>(B{"", "slug", "Name", "/b/folder"}) << std::optional<QString>("/f")
            << "/b/folder" << SyncState(SyncState::idle);
        QTest::newRow("binding without folder")
            << std::optional<B>(B{"r1", "slug", "Name", "/b/folder"}) << std::optional<QString>()
            << "r1" << SyncState(SyncState::noFolder);
        QTest::newRow("no binding, folder") << std::optional<B>() << std::optional<QString>("/f")
                                            << "/f" << SyncState(SyncState::idle);
        QTest::newRow("nothing") << std::optional<B>() << std::optional<QString>() << ""
                                 << SyncState(SyncState::noFolder);
    }
    void construction() {
        QFETCH(std::optional<SyncEngine::Binding>, binding);
        QFETCH(std::optional<QString>, folder);
        QFETCH(QString, id);
        QFETCH(SyncState, state);
        StandInTool tool;
        SyncEngine engine(binding, folder, CLIRunner(tool.location()));
        QCOMPARE(engine.id(), id);
        QCOMPARE(engine.state(), state);
        QCOMPARE(engine.repoId(), binding ? binding->repoId : QString());
        QCOMPARE(engine.slug(), binding ? binding->slug : QString());
        QCOMPARE(engine.displayName(), binding ? binding->displayName : QString());
        QCOMPARE(engine.folderPath(), folder);
        QVERIFY(!engine.remoteStatus());
        QVERIFY(!engine.allSelected());
        QVERIFY(!engine.fileWatcher());
        QTest::qWait(50);
        QVERIFY(tool.invocations().isEmpty()); // construction runs nothing
        engine.start();
        QCOMPARE(engine.fileWatcher() != nullptr, folder.has_value());
        if (!folder) { // start() without a folder does nothing at all
            QTest::qWait(200);
            QVERIFY(tool.invocations().isEmpty());
        } else {
            QVERIFY(tool.waitForInvocations(1));
            for (const auto &i : tool.invocations())
                qDebug() << i.arguments;
            QCOMPARE(tool.invocations().first().subcommandArguments(), tool::remoteStatus(*folder));
        }
        engine.stop();
    }

    void errorStatesCompareMessages() {
        QCOMPARE(SyncState::failure("a"), SyncState::failure("a"));
        QVERIFY(!(SyncState::failure("a") == SyncState::failure("b")));
        QVERIFY(!(SyncState(SyncState::idle) == SyncState::failure("")));
    }

    // The selection across refreshes, step by step: each row is one refresh's output followed
    // by an optional user action, and what the engine shows afterwards.
    void selectionAcrossRefreshes() {
        StandInTool tool;
        auto engine = makeEngine(tool);
        struct Step {
            QStringList listed;                    // the refresh's changes
            std::function<void(SyncEngine &)> act; // then the user does this
            QStringList pending;
            QStringList selected;
            bool allSelected;
        };
        const QList<Step> steps{
            {{"M:b", "A:a", "D:c"}, {}, {"a", "b", "c"}, {"a", "b", "c"}, true},
            {{"M:b", "A:a", "D:c"},
             [](SyncEngine &e) { e.setSelected("b", false); },
             {"a", "b", "c"},
             {"a", "c"},
             false},
            {{"M:b", "A:a", "D:c"}, {}, {"a", "b", "c"}, {"a", "c"}, false},
            {{"M:b", "A:a", "D:c"},
             [](SyncEngine &e) { e.toggleSelectAll(); },
             {"a", "b", "c"},
             {"a", "b", "c"},
             true},
            {{"M:b", "A:a", "D:c"},
             [](SyncEngine &e) { e.toggleSelectAll(); },
             {"a", "b", "c"},
             {},
             false},
            {{"M:b", "A:a", "D:c"},
             [](SyncEngine &e) { e.setSelectedPaths({"a"}); },
             {"a", "b", "c"},
             {"a"},
             false},
            // b and c leave, d appears: a stays selected, d is selected as new.
            {{"A:d", "M:a"}, {}, {"a", "d"}, {"a", "d"}, true},
            // b comes back after having left: selected again.
            {{"A:d", "M:a", "M:b"},
             [](SyncEngine &e) { e.setSelected("a", false); },
             {"a", "b", "d"},
             {"b", "d"},
             false},
            {{}, [](SyncEngine &e) { e.toggleSelectAll(); }, {}, {}, false},
        };
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const Step &step = steps[i];
            tool.respond("status", Response().lines({statusLine(step.listed)}));
            finish(engine->refreshStatus());
            if (step.act)
                step.act(*engine);
            const QByteArray where = "step " + QByteArray::number(i);
            QVERIFY2(paths(engine->pendingChanges()) == step.pending, where);
            QVERIFY2(sorted(engine->selectedPaths()) == step.selected, where);
            QVERIFY2(engine->allSelected() == step.allSelected, where);
        }
    }

    void sortingByCodePoint() {
        StandInTool tool;
        auto engine = makeEngine(tool);
        const QString emoji = QString::fromUcs4(U"\U0001F600");
        const QString privateUse(QChar(0xE000));
        tool.respond("status", Response().lines({statusLine({"A:" + emoji, "A:b", "A:B",
                                                             "A:" + privateUse, "A:a/b", "A:a"})}));
        finish(engine->refreshStatus());
        QCOMPARE(paths(engine->pendingChanges()),
                 (QStringList{"B", "a", "a/b", "b", privateUse, emoji}));
    }

    // Refreshes that fail or print nothing usable, after a good one that listed a and b with a
    // remote part.
    void failedAndMalformedRefreshes_data() {
        QTest::addColumn<bool>("full");
        QTest::addColumn<bool>("launchFails");
        QTest::addColumn<QStringList>("output");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("pending");
        QTest::addColumn<QString>("remote"); // "absent", "kept", or toPull as text

        const QJsonObject zeros{{"toPull", 0}, {"toDelete", 0}, {"conflicts", 0}};
        QTest::newRow("local exits 1") << false << false << QStringList{statusLine({"A:z"})} << 1
                                       << QStringList{"a", "b"} << "kept";
        QTest::newRow("local cannot start")
            << false << true << QStringList() << 0 << QStringList{"a", "b"} << "kept";
        QTest::newRow("local prints garbage")
            << false << false << QStringList{"oops", "{\"type\":\"other\"}"} << 0 << QStringList()
            << "kept";
        QTest::newRow("full exits 1") << true << false << QStringList{statusLine({"A:z"})} << 1
                                      << QStringList{"a", "b"} << "absent";
        QTest::newRow("full cannot start")
            << true << true << QStringList() << 0 << QStringList{"a", "b"} << "absent";
        QTest::newRow("full prints garbage")
            << true << false << QStringList{"[]"} << 0 << QStringList() << "absent";
        QTest::newRow("full without remote") << true << false << QStringList{statusLine({"A:z"})}
                                             << 0 << QStringList{"z"} << "absent";
        QTest::newRow("full with zero remote")
            << true << false << QStringList{statusLine({"A:z"}, zeros)} << 0 << QStringList{"z"}
            << "0";
    }
    void failedAndMalformedRefreshes() {
        QFETCH(bool, full);
        QFETCH(bool, launchFails);
        QFETCH(QStringList, output);
        QFETCH(int, exitCode);
        QFETCH(QStringList, pending);
        QFETCH(QString, remote);

        StandInTool tool;
        auto engine = makeEngine(tool);
        tool.respond("status --remote",
                     Response().lines({statusLine({"M:b", "A:a"}, QJsonObject{{"toPull", 7}})}));
        finish(engine->refreshAll());
        QCOMPARE(engine->remoteStatus()->toPull, 7);
        engine->setSelected("b", false);

        tool.respond("status", Response().lines(output).exit(exitCode));
        tool.respond("status --remote", Response().lines(output).exit(exitCode));
        if (launchFails) // the tool vanishes: no resource, no candidate, no bare `orvu`
            QVERIFY(QFile::remove(tool.executablePath()));
        SyncEngine *target = engine.get();
        finish(full ? target->refreshAll() : target->refreshStatus());
        QCOMPARE(paths(target->pendingChanges()), pending);
        if (remote == "absent")
            QVERIFY(!target->remoteStatus());
        else if (remote == "kept")
            QCOMPARE(target->remoteStatus()->toPull, 7);
        else
            QCOMPARE(target->remoteStatus()->toPull, remote.toLongLong());
        if (pending == QStringList{"a", "b"})
            QCOMPARE(sorted(target->selectedPaths()), QStringList{"a"});
        QCOMPARE(target->state(), SyncState(SyncState::idle)); // refreshes never change it
    }

    // Which paths of one watcher batch cause a local refresh.
    void fileEventFilter_data() {
        QTest::addColumn<QStringList>("files");    // made inside the folder beforehand
        QTest::addColumn<QStringList>("reported"); // the batch; "@" stands for the folder
        QTest::addColumn<bool>("refreshes");

        QTest::newRow("tool config")
            << QStringList{".orvu/config"} << QStringList{"@/.orvu/config"} << false;
        QTest::newRow("hidden file")
            << QStringList{".DS_Store"} << QStringList{"@/.DS_Store"} << false;
        QTest::newRow("under a hidden folder deep down")
            << QStringList{"a/b/.cache/c/d.txt"} << QStringList{"@/a/b/.cache/c/d.txt"} << false;
        QTest::newRow("new empty directory")
            << QStringList{"newdir/"} << QStringList{"@/newdir"} << false;
        QTest::newRow("outside the folder") << QStringList() << QStringList{"/etc/passwd"} << false;
        QTest::newRow("sibling sharing the prefix")
            << QStringList() << QStringList{"@-other/file.txt"} << false;
        QTest::newRow("the folder itself") << QStringList() << QStringList{"@", "@/"} << false;
        QTest::newRow("edited file in a sub-folder")
            << QStringList{"sub/dir/notes.txt"} << QStringList{"@/sub/dir/notes.txt"} << true;
        QTest::newRow("deleted file") << QStringList() << QStringList{"@/gone.txt"} << true;
        QTest::newRow("dots inside names are not hidden")
            << QStringList{"a.b/c..d"} << QStringList{"@/a.b/c..d"} << true;
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
            if (file.endsWith(u'/')) {
                QVERIFY(QDir().mkpath(path));
            } else {
                QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
                QFile f(path);
                QVERIFY(f.open(QIODevice::WriteOnly));
            }
        }
        StandInTool tool;
        tool.respond("status", Response().lines({statusLine({"A:x.txt"})}));
        auto engine = makeEngine(tool);
        QStringList batch;
        for (const QString &path : reported)
            batch << QString(path).replace(u'@', m_folder);
        engine->handleFileEvents(batch);
        QTest::qWait(int(SyncEngine::kStatusDebounce.count()) + 400);
        QCOMPARE(tool.invocations("status").size(), refreshes ? 1 : 0);
        QCOMPARE(engine->pendingChanges().size(), refreshes ? 1 : 0);
    }

    void debouncedRefreshTiming() {
        StandInTool tool;
        tool.respond("status", Response().lines({statusLine({"A:x"})}));
        auto engine = makeEngine(tool);
        const QStringList batch{m_folder + "/x"};
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 3; ++i) {
            engine->handleFileEvents(batch);
            QTest::qWait(100);
        }
        const qint64 lastBatch = clock.elapsed() - 100;
        QVERIFY(tool.waitForInvocations(1, 3000));
        const qint64 refreshedAt = clock.elapsed();
        QVERIFY2(refreshedAt - lastBatch >= 450, QByteArray::number(refreshedAt - lastBatch));
        QVERIFY2(refreshedAt - lastBatch < 1200, QByteArray::number(refreshedAt - lastBatch));
        QTest::qWait(700);
        QCOMPARE(tool.invocations("status").size(), 1); // one refresh for the whole burst
    }

    void fileEventsDuringSyncAreDropped() {
        StandInTool tool;
        tool.respond("status", Response().lines({statusLine({"A:x"})}));
        tool.respond("sync", Response().pause(300).exit(tool::kExitInterrupted));
        auto engine = makeEngine(tool);
        engine->sync(true);
        QVERIFY(engine->isSyncing());
        engine->handleFileEvents({m_folder + "/x"});
        QVERIFY(QTest::qWaitFor([&] { return !engine->isSyncing(); }, 5000));
        QTest::qWait(int(SyncEngine::kStatusDebounce.count()) + 300);
        QVERIFY(tool.invocations("status").isEmpty()); // not queued for later either
    }

    void twoQuickRequestsRunOneProcess() {
        StandInTool tool;
        tool.respond("sync", Response().pause(200).exit(tool::kExitInterrupted));
        auto engine = makeEngine(tool);
        int callbacks = 0;
        engine->setOnManualSyncComplete([&](const SyncResult &) { ++callbacks; });
        engine->sync(true);
        engine->sync(true);
        QCOMPARE(engine->state(), SyncState(SyncState::syncing));
        QVERIFY(QTest::qWaitFor([&] { return !engine->isSyncing(); }, 5000));
        QTest::qWait(100);
        QCOMPARE(tool.invocations("sync").size(), 1);
        QCOMPARE(callbacks, 1);
    }

    void onlyArguments_data() {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<QStringList>("only");
        QTest::newRow("two of three, sorted")
            << QStringList{"z/y", "x"} << QStringList{"--only", "x", "--only", "z/y"};
        QTest::newRow("all") << QStringList{"x", "z/y", "w"} << QStringList();
        QTest::newRow("none") << QStringList() << QStringList();
    }
    void onlyArguments() {
        QFETCH(QStringList, selected);
        QFETCH(QStringList, only);
        StandInTool tool;
        tool.respond("status", Response().lines({statusLine({"A:x", "M:z/y", "D:w"})}));
        tool.respond("sync", Response().exit(tool::kExitInterrupted));
        tool.respond("sync --dry-run", Response().lines({"{\"type\":\"plan\"}"}));
        auto engine = makeEngine(tool);
        finish(engine->refreshStatus());
        engine->setSelectedPaths(QSet<QString>(selected.cbegin(), selected.cend()));
        QCOMPARE(engine->onlyArguments(), only);

        QVERIFY(syncToEnd(*engine));
        QCOMPARE(tool.invocations("sync").first().subcommandArguments(),
                 tool::sync(m_folder, {}) + only);
        QVERIFY(finish(engine->preview()).has_value());
        QCOMPARE(tool.invocations("sync --dry-run").first().subcommandArguments(),
                 tool::syncDryRun(m_folder, {}) + only);
        QCOMPARE(tool.invocations("sync").first().arguments.mid(0, 2),
                 (QStringList{"--server", tool::kDefaultServerURL}));
    }

    void progressStepByStep() {
        StandInTool tool;
        tool.respond(
            "sync",
            Response().lines({push("a", 1, 4), push("b", 2, 4),
                              json({{"type", "pull"}, {"file", "c"}, {"current", 1}, {"total", 2}}),
                              json({{"type", "push"}, {"file", "d"}}),
                              json({{"type", "complete"}, {"pushed", 3}})}));
        tool.respond("status --remote", Response().lines({statusLine({})}));
        auto engine = makeEngine(tool);
        QList<Snapshot> seen;
        connect(engine.get(), &SyncEngine::changed, this, [&] {
            if (engine->isSyncing())
                seen << Snapshot::of(*engine);
        });
        QVERIFY(syncToEnd(*engine));
        const QList<Snapshot> expected{
            {"-", {}}, // syncing
            {"0/4 a push", {"a=transferring"}},
            {"1/4 b push", {"a=done", "b=transferring"}},
            {"0/2 c pull", {"a=done", "b=done" /* untouched by pulls */}},
        };
        QVERIFY(seen.size() >= 6);
        QCOMPARE(seen[0].progress, expected[0].progress);
        QCOMPARE(seen[1].progress, expected[1].progress);
        QCOMPARE(seen[1].statuses, expected[1].statuses);
        QCOMPARE(seen[2].progress, expected[2].progress);
        QCOMPARE(seen[2].statuses, expected[2].statuses);
        QCOMPARE(seen[3].progress, QStringLiteral("0/2 c pull"));
        QCOMPARE(seen[3].statuses, (QStringList{"a=done", "b=transferring"}));
        // A push without "current" shows completed -1 of 0.
        QCOMPARE(seen[4].progress, QStringLiteral("-1/0 d push"));
        QCOMPARE(seen[4].statuses, (QStringList{"a=done", "b=done", "d=transferring"}));
        // Complete: everything done, completed = total, no current file.
        QCOMPARE(seen[5].progress, QStringLiteral("0/0 <none> push"));
        QCOMPARE(seen[5].statuses, (QStringList{"a=done", "b=done", "d=done"}));
        // Exit 0 empties both again.
        QVERIFY(!engine->syncProgress());
        QVERIFY(engine->fileStatuses().isEmpty());
    }

    void completeAfterPushesShowsTotal() {
        StandInTool tool;
        tool.respond("sync", Response().lines(
                                 {push("a", 1, 2), push("b", 2, 2), json({{"type", "complete"}})}));
        tool.respond("status --remote", Response().lines({statusLine({})}));
        auto engine = makeEngine(tool);
        QList<Snapshot> seen;
        connect(engine.get(), &SyncEngine::changed, this, [&] { seen << Snapshot::of(*engine); });
        QVERIFY(syncToEnd(*engine));
        const auto complete = std::find_if(seen.cbegin(), seen.cend(), [](const Snapshot &s) {
            return s.progress == "2/2 <none> push";
        });
        QVERIFY(complete != seen.cend());
        QCOMPARE(complete->statuses, (QStringList{"a=done", "b=done"}));
    }

    // How each exit code ends a run that was preceded by a successful one.
    void exitCodes_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<SyncState>("state");
        QTest::addColumn<QString>("resultError"); // "" none, "-" result unchanged
        QTest::addColumn<bool>("callback");

        const QString error = json({{"type", "error"}, {"error", "quota exceeded"}});
        const QString conflict = json({{"type", "conflict"}, {"file", "n"}, {"renamedTo", "n_2"}});
        QTest::newRow("0 without result")
            << QStringList() << 0 << SyncState(SyncState::idle) << "" << true;
        QTest::newRow("0 after an error event")
            << QStringList{error} << 0 << SyncState(SyncState::idle) << "quota exceeded" << true;
        QTest::newRow("1 after an error event")
            << QStringList{error, conflict} << 1 << SyncState::failure("quota exceeded")
            << "quota exceeded" << true;
        QTest::newRow("1 without error event")
            << QStringList{conflict} << 1 << SyncState::failure("Sync failed") << "Sync failed"
            << true;
        QTest::newRow("2") << QStringList{conflict} << 2 << SyncState(SyncState::notAuthenticated)
                           << "-" << false;
        QTest::newRow("3") << QStringList{conflict} << 3 << SyncState(SyncState::networkError)
                           << "Network unavailable" << true;
        QTest::newRow("4") << QStringList{conflict} << 4 << SyncState(SyncState::idle)
                           << "Sync interrupted" << true;
        QTest::newRow("99") << QStringList{conflict} << 99 << SyncState::failure("Sync failed")
                            << "Sync failed" << true;
    }
    void exitCodes() {
        QFETCH(QStringList, lines);
        QFETCH(int, exitCode);
        QFETCH(SyncState, state);
        QFETCH(QString, resultError);
        QFETCH(bool, callback);

        StandInTool tool;
        const QJsonObject remote{{"toPull", 2}};
        tool.respond("status --remote", Response().lines({statusLine({"A:p", "M:q"}, remote)}));
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
        QCOMPARE(engine->lastConflicts().size(), 1);
        QCOMPARE(engine->lastSyncResult()->pushed, 1);
        QCOMPARE(paths(engine->pendingChanges()), (QStringList{"p", "q"}));
        QCOMPARE(engine->remoteStatus()->toPull, 2);
        engine->setSelected("q", false);
        const QDateTime firstTime = *engine->lastSyncTime();
        const SyncResult firstResult = *engine->lastSyncResult();

        QTest::qWait(20);
        tool.respond("sync", Response().lines(lines).exit(exitCode));
        QVERIFY(syncToEnd(*engine));
        QCOMPARE(engine->state(), state);
        QVERIFY(!engine->syncProgress());
        QVERIFY(engine->fileStatuses().isEmpty());
        QCOMPARE(results.size(), callback ? 1 : 0);
        if (resultError == "-") {
            QCOMPARE(*engine->lastSyncResult(), firstResult);
        } else {
            QCOMPARE(engine->lastSyncResult()->error.value_or(QString()), resultError);
            QCOMPARE(results.first(), *engine->lastSyncResult());
        }
        if (exitCode == 0) {
            QVERIFY(*engine->lastSyncTime() > firstTime);
            QVERIFY(engine->lastConflicts().isEmpty());
            // Emptied, then refilled by the full refresh, everything selected afresh.
            QCOMPARE(tool.invocations("status --remote").size(), 2);
            QCOMPARE(sorted(engine->selectedPaths()), (QStringList{"p", "q"}));
        } else {
            // Everything of the run is dropped and no refresh follows.
            QCOMPARE(*engine->lastSyncTime(), firstTime);
            QCOMPARE(engine->lastConflicts().size(), 1);
            QCOMPARE(engine->lastConflicts().first().original, QStringLiteral("old"));
            QCOMPARE(engine->lastFileChanges().size(), 1);
            QCOMPARE(paths(engine->pendingChanges()), (QStringList{"p", "q"}));
            QCOMPARE(sorted(engine->selectedPaths()), QStringList{"p"});
            QCOMPARE(engine->remoteStatus()->toPull, 2);
            QCOMPARE(tool.invocations("status --remote").size(), 1);
        }
    }

    void successfulRunPublishesItsFiles() {
        StandInTool tool;
        tool.respond("status --remote", Response().lines({statusLine({})}));
        tool.respond("sync", Response().lines(
                                 {json({{"type", "resolved"}, {"file", "a"}, {"renamedTo", "a_1"}}),
                                  json({{"type", "conflict"}, {"file", "b"}, {"renamedTo", ""}}),
                                  json({{"type", "complete"},
                                        {"pushed", 1},
                                        {"pulled", 1},
                                        {"pushedFiles", QJsonArray{"x"}},
                                        {"pulledFiles", QJsonArray{"y"}}})}));
        auto engine = makeEngine(tool);
        QVERIFY(syncToEnd(*engine));
        QCOMPARE(engine->lastConflicts().size(), 1);
        QCOMPARE(engine->lastConflicts().first().renamedTo, QStringLiteral("a_1"));
        QCOMPARE(engine->lastFileChanges().size(), 2);
        QCOMPARE(engine->lastFileChanges()[1].action, SyncFileChange::Action::pulled);
    }

    void launchFailureAndNoFolder() {
        SyncEngine broken(std::nullopt, m_folder, missingTool());
        int callbacks = 0;
        broken.setOnManualSyncComplete([&](const SyncResult &r) {
            ++callbacks;
            QCOMPARE(r.error, std::optional<QString>("Sync failed"));
        });
        QVERIFY(syncToEnd(broken));
        QCOMPARE(broken.state(), SyncState::failure("Sync failed"));
        QCOMPARE(callbacks, 1);

        StandInTool tool;
        SyncEngine unbound(std::nullopt, std::nullopt, CLIRunner(tool.location()));
        unbound.setOnManualSyncComplete([&](const SyncResult &) { ++callbacks; });
        QList<SyncState> states;
        connect(&unbound, &SyncEngine::changed, this, [&] { states << unbound.state(); });
        QVERIFY(syncToEnd(unbound));
        QCOMPARE(states, (QList<SyncState>{SyncState::syncing, SyncState::noFolder}));
        QCOMPARE(callbacks, 1);
        QVERIFY(tool.invocations().isEmpty());
    }

    void preview_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("found");
        const QString plan = json({{"type", "plan"},
                                   {"toPush", 2},
                                   {"conflicts", 1},
                                   {"conflictFiles", QJsonArray{"c.txt"}}});
        QTest::newRow("plan after progress lines")
            << QStringList{"Scanning", push("a", 1, 2), plan} << 0 << true;
        QTest::newRow("no plan line") << QStringList{push("a", 1, 2)} << 0 << false;
        QTest::newRow("non-zero exit") << QStringList{plan} << 1 << false;
    }
    void preview() {
        QFETCH(QStringList, lines);
        QFETCH(int, exitCode);
        QFETCH(bool, found);
        StandInTool tool;
        tool.respond("sync --dry-run", Response().lines(lines).exit(exitCode));
        auto engine = makeEngine(tool);
        QSignalSpy changes(engine.get(), &SyncEngine::changed);
        const std::optional<SyncPreview> preview = finish(engine->preview());
        QCOMPARE(preview.has_value(), found);
        if (found) {
            QCOMPARE(preview->toPush, 2);
            QCOMPARE(preview->conflictFiles, QStringList{"c.txt"});
        }
        QCOMPARE(changes.size(), 0); // publishes nothing
        QVERIFY(!finish(SyncEngine(std::nullopt, std::nullopt).preview()));
    }

    void discard_data() {
        QTest::addColumn<bool>("launchFails");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message"); // "" for no error
        QTest::newRow("exit 1, file in a sub-folder")
            << false << 1 << "Failed to discard notes.txt";
        QTest::newRow("exit 0 refreshes") << false << 0 << "";
        QTest::newRow("launch fails") << true << 0 << "Failed to discard notes.txt: ";
    }
    void discard() {
        QFETCH(bool, launchFails);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        StandInTool tool;
        tool.respondOnce("status", Response().lines({statusLine({"M:docs/notes.txt", "A:b"})}));
        tool.respond("status", Response().lines({statusLine({"A:b"})}));
        tool.respond("discard", Response().exit(exitCode));
        auto engine = launchFails
                          ? std::make_unique<SyncEngine>(std::nullopt, m_folder, missingTool())
                          : makeEngine(tool);
        if (!launchFails)
            finish(engine->refreshStatus());
        const PendingChange change{"docs/notes.txt", PendingChange::ChangeType::modified};
        engine->discard(change);
        if (message.isEmpty()) {
            QVERIFY(QTest::qWaitFor([&] { return engine->pendingChanges().size() == 1; }, 5000));
            QCOMPARE(paths(engine->pendingChanges()), QStringList{"b"});
            QCOMPARE(engine->state(), SyncState(SyncState::idle));
        } else {
            QVERIFY(QTest::qWaitFor([&] { return engine->state().isError(); }, 5000));
            QVERIFY2(engine->state().message.startsWith(message),
                     qPrintable(engine->state().message));
            if (launchFails) // the platform's description follows the colon
                QVERIFY(engine->state().message.size() > message.size());
            else
                QCOMPARE(engine->state().message, message);
            QCOMPARE(tool.invocations("status").size(), launchFails ? 0 : 1);
        }
        if (!launchFails) {
            const auto runs = tool.invocations("discard");
            QCOMPARE(runs.size(), 1);
            QCOMPARE(runs.first().subcommandArguments(), tool::discard("docs/notes.txt"));
            // The path is relative to the bound folder, so the tool runs there.
            QCOMPARE(QDir(runs.first().workingDirectory).canonicalPath(),
                     QDir(m_folder).canonicalPath());
        }
        // No folder: nothing happens at all.
        SyncEngine unbound(std::nullopt, std::nullopt, CLIRunner(tool.location()));
        QSignalSpy changes(&unbound, &SyncEngine::changed);
        unbound.discard(change);
        QTest::qWait(100);
        QCOMPARE(changes.size(), 0);
        QCOMPARE(tool.invocations("discard").size(), launchFails ? 0 : 1);
    }

    void engineGoneDuringWorkIsLeftAlone() {
        StandInTool tool;
        tool.respond("status --remote", Response().pause(200).lines({statusLine({"A:a"})}));
        tool.respond("sync", Response().lines({push("a", 1, 1)}, 200).exit(0));
        auto engine = makeEngine(tool);
        engine->start();
        engine->sync(true);
        engine->discard(PendingChange{"a", PendingChange::ChangeType::added});
        engine.reset();
        QVERIFY(tool.waitForInvocations(3));
        QTest::qWait(600); // the runs end and find no engine; nothing may crash
    }
};

QTEST_GUILESS_MAIN(TestSyncEngine)
#include "test_sync_engine.moc"
