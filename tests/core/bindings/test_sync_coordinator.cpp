#include "core/bindings/folder_config_reader.h"
#include "core/bindings/sync_coordinator.h"
#include "core/platform/memory_folder_access.h"
#include "core/platform/memory_settings_store.h"
#include "core/platform/network_monitor.h"
#include "core/repos/add_repo_model.h"
#include "core/repos/scripted_repo_cli.h"
#include "core/sync/sync_engine.h"
#include "support/quiesce/child_processes.h"
#include "support/stand_in/stand_in_tool.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

using namespace orvu;
using orvu::test::Response;
using orvu::test::StandInTool;
using Bindings = QList<RepoBinding>;

namespace {

// One coordinator over in-memory preferences and grants, with engines that run the scripted
// stand-in tool inside a temporary home.
struct Fixture {
    QTemporaryDir home;
    MemorySettingsStore defaults;
    MemoryFolderAccess access;
    FolderConfigReader reader;
    StandInTool tool;
    std::shared_ptr<test::ScriptedRepoCLI> cli = std::make_shared<test::ScriptedRepoCLI>();
    std::unique_ptr<SyncCoordinator> coordinator;

    Fixture() {
        tool.respond("status", Response().lines({R"({"type":"status","changes":[]})"}));
        coordinator = std::make_unique<SyncCoordinator>(BindingStore(defaults, reader), cli,
                                                        Preferences(defaults, access), access,
                                                        CLIRunner(tool.location()), home.path());
    }

    ~Fixture() {
        coordinator.reset();
        orvu::test::waitForToolRunsToEnd();
    }

    BindingStore store() { return BindingStore(defaults, reader); }

    QString folder(const QString &name, bool create = true) {
        const QString path = home.filePath(name);
        if (create)
            QDir().mkpath(path);
        return path;
    }

    // Stores the bindings and starts the coordinator over them.
    void start(const Bindings &bindings) {
        store().save(bindings);
        coordinator->start();
    }

    QStringList engineIds() const {
        QStringList ids;
        for (const SyncEngine *engine : coordinator->engines())
            ids.append(engine->id());
        return ids;
    }
};

RepoBinding make(const QString &repoId, const QString &folderPath,
                 std::optional<QByteArray> bookmark = {}, bool needsRelink = false) {
    return RepoBinding{repoId,     repoId + "-slug", repoId + " Name",
                       folderPath, bookmark,         needsRelink};
}

} // namespace

class TestSyncCoordinator : public QObject {
    Q_OBJECT

private slots:
    // A deleted folder becoming a relink row is proven end to end with real folders.
    void relinkVersusEngine_data() {
        QTest::addColumn<QString>("repoId");
        QTest::addColumn<QString>("flags");    // "relink", "gone": the folder does not exist
        QTest::addColumn<QString>("bookmark"); // none, good, junk, moved
        QTest::addColumn<QString>("expect");   // "engine", "grant"
        const auto row = [](const char *name, QString id, QString flags, QString bookmark,
                            QString expect) {
            QTest::newRow(name) << id << flags << bookmark << expect;
        };
        row("relink flag", "r", "relink", "good", "");
        row("empty repo id", "", "", "none", "");
        row("bookmark resolves", "r", "", "good", "engine grant");
        row("unresolvable: path", "r", "", "junk", "engine");
        row("no bookmark: path", "r", "", "none", "engine");
        row("folder moved", "r", "gone", "moved", "engine grant");
    }
    void relinkVersusEngine() {
        QFETCH(QString, repoId);
        QFETCH(QString, flags);
        QFETCH(QString, bookmark);
        QFETCH(QString, expect);
        const bool needsRelink = flags.contains("relink"), folderExists = !flags.contains("gone");
        const bool expectEngine = expect.contains("engine"), expectGrant = expect.contains("grant");
        Fixture f;
        const QString path = f.folder("A", folderExists);
        const QString moved = f.folder("Moved");
        const QHash<QString, QByteArray> bytes{{"good", MemoryFolderAccess::bookmarkFor(path)},
                                               {"junk", "junk"},
                                               {"moved", MemoryFolderAccess::bookmarkFor(moved)}};
        const auto bm = bytes.contains(bookmark) ? std::optional(bytes[bookmark]) : std::nullopt;
        const RepoBinding binding = make(repoId, path, bm, needsRelink);
        f.start({binding});
        QCOMPARE(f.engineIds(), expectEngine ? QStringList{"r"} : QStringList{});
        if (expectEngine) {
            QCOMPARE(f.coordinator->engines()[0]->folderPath(), bookmark == "moved" ? moved : path);
        } else {
            // Flagged when its folder is gone, listed as stored when it was never usable; the
            // stored flag is left alone either way.
            RepoBinding listed = binding;
            listed.needsRelink = !repoId.isEmpty();
            QCOMPARE(f.coordinator->needsRelink(), Bindings{listed});
            QCOMPARE(f.store().load(), Bindings{binding});
        }
        QCOMPARE(f.access.held().size(), expectGrant ? 1 : 0);

        f.coordinator->stopAll();
        QVERIFY(!f.coordinator->hasAnyBinding());
        QVERIFY(f.access.held().isEmpty());
        QCOMPARE(f.coordinator->aggregateState(), SyncState(SyncState::noFolder));
    }

    void startMigratesTheLegacyFolderOnce() {
        Fixture f;
        const QString legacy = f.folder("Legacy");
        QVERIFY(QDir(legacy).mkdir(".orvu"));
        QFile config(legacy + "/.orvu/config");
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(R"({"repoId":"old-id","slug":"old"})");
        config.close();
        f.defaults.setData("folderBookmark", MemoryFolderAccess::bookmarkFor(legacy));
        f.cli->listings = {std::nullopt};

        f.coordinator->start();
        QCOMPARE(f.engineIds(), QStringList{"old-id"});
        QCOMPARE(f.store().load().value(0).bookmark, MemoryFolderAccess::bookmarkFor(legacy));
        // A restart reuses the stored binding and holds one grant, not two.
        f.coordinator->start();
        QCOMPARE(f.engineIds(), QStringList{"old-id"});
        QCOMPARE(f.store().load().size(), 1);
        QCOMPARE(f.access.held(), QStringList{legacy});
    }

    // Adding (which replaces by repo and by folder), and that removing leaves the folder and
    // its link alone, are proven end to end with real folders.
    void remove_data() {
        QTest::addColumn<QString>("id");            // "@" names a folder
        QTest::addColumn<QStringList>("remaining"); // folder names, in order
        QTest::addColumn<QStringList>("engines");
        const QStringList all{"R", "R", "S"};
        QTest::newRow("by repo id, every copy") << "R" << QStringList{"C", "D"} << QStringList{"S"};
        QTest::newRow("empty repo id by folder") << "@D" << QStringList{"A", "B", "C"} << all;
        QTest::newRow("unknown") << "nope" << QStringList{"A", "B", "C", "D"} << all;
    }
    void remove() {
        QFETCH(QString, id);
        QFETCH(QStringList, remaining);
        QFETCH(QStringList, engines);
        Fixture f;
        f.start({make("R", f.folder("A")), make("R", f.folder("B")), make("S", f.folder("C")),
                 RepoBinding{"", "", "D", f.folder("D"), {}, true}});
        f.coordinator->removeBinding(id.startsWith('@') ? f.folder(id.mid(1)) : id);
        QStringList folders;
        for (const RepoBinding &binding : f.store().load())
            folders.append(QFileInfo(binding.folderPath).fileName());
        QCOMPARE(folders, remaining);
        QCOMPARE(f.engineIds(), engines);
    }

    // Nothing bound at all (noFolder) is checked by relinkVersusEngine.
    void aggregateStateAndSummary() {
        using S = SyncState;
        const auto of = [](QList<S> states) {
            return SyncCoordinator::aggregateStateOf(states, true);
        };
        QCOMPARE(of({}), S(S::idle)); // relink rows only
        QCOMPARE(of({S::failure("x"), S::syncing}), S(S::syncing));
        QCOMPARE(of({S::networkError, S::failure("disk")}), S::failure("A repo failed to sync"));
        QCOMPARE(of({S::notAuthenticated, S::networkError}), S(S::networkError));
        QCOMPARE(of({S::pulling, S::noFolder}), S(S::idle));
        const auto summary = [](qint64 pushed, qint64 pulled, qint64 deleted,
                                std::optional<QString> error = {}) {
            return SyncCoordinator::summary(SyncResult{pushed, pulled, deleted, 5, error, {}});
        };
        QCOMPARE(summary(0, 2, 0), QStringLiteral("2 pulled"));
        QCOMPARE(summary(0, 0, 0), QStringLiteral("Everything up to date"));
        QCOMPARE(summary(3, 0, 0, "Network down"), QStringLiteral("Sync failed: Network down"));
        QCOMPARE(summary(1234, 1, 7), QStringLiteral("1234 pushed, 1 pulled, 7 deleted"));
    }

    void summaryValuesFollowTheEngines() {
        Fixture f;
        const QString A = f.folder("A"), B = f.folder("B");
        f.tool.respond("status " + A,
                       Response().lines({R"({"type":"status","changes":[{"path":"x","change":"A"},)"
                                         R"({"path":"y","change":"M"}],)"
                                         R"("remote":{"toPull":2,"toDelete":1,"conflicts":1}})"}));
        f.tool.respond(
            "status " + B,
            Response().lines({R"({"type":"status","changes":[{"path":"z","change":"D"}],)"
                              R"("remote":{"toPull":4}})"}));
        int changes = 0;
        connect(f.coordinator.get(), &SyncCoordinator::changed, this, [&] { ++changes; });
        f.start({make("a", A), make("b", B), make("c", f.folder("C", false))});
        const int afterStart = changes;
        QTRY_COMPARE(f.coordinator->remoteTotal(), 8);
        QCOMPARE(f.coordinator->pendingTotal(), 3);
        QVERIFY(changes > afterStart); // engine changes are announced by the coordinator
        QCOMPARE(f.coordinator->aggregateState(), SyncState(SyncState::idle));
    }

    void refreshAllRunsEnginesSideBySide() {
        Fixture f;
        f.start({make("a", f.folder("A")), make("b", f.folder("B")), make("c", f.folder("C"))});
        QCoro::waitFor(f.coordinator->refreshAll()); // after the refreshes of the start
        f.tool.clearInvocations();
        f.tool.respond("status",
                       Response().lines({R"({"type":"status","changes":[]})"}).pause(5000));
        bool finished = false;
        QCoro::connect(f.coordinator->refreshAll(), this, [&] { finished = true; });
        // Each refresh holds the tool for 5 s; one after the other, only one would have begun.
        QVERIFY(f.tool.waitForInvocations(3, 4500));
        QVERIFY(!finished);
        QTRY_VERIFY_WITH_TIMEOUT(finished, 15000);
    }

    // Changing other bindings leaves an engine alone, run and all; one let go of mid-run lives
    // until the run ends, and its folder gets no second run, discard or preview meanwhile.
    void enginesSurviveRebuilds() {
        Fixture f;
        const QString A = f.folder("A"), B = f.folder("B");
        f.tool.respond("sync", Response().lines({R"({"type":"complete","pushed":1})"}).pause(800));
        QList<SyncResult> results;
        f.coordinator->setOnAnySyncComplete([&](const SyncResult &r) { results.append(r); });
        f.start({make("a", A)});
        SyncEngine *a = f.coordinator->engines().first();
        a->sync(true);
        f.coordinator->addBinding(RepoInfo{"b", "b", "B", "public"}, B, std::nullopt);
        SyncEngine *b = f.coordinator->engines().last();
        f.coordinator->addBinding(RepoInfo{"b", "b", "Bee 2", "public"}, B, std::nullopt);
        QCOMPARE(f.coordinator->engines(), (QList<SyncEngine *>{a, b}));
        QCOMPARE(b->displayName(), QStringLiteral("Bee 2"));
        QVERIFY(a->isSyncing());

        const QPointer<SyncEngine> old(a);
        f.coordinator->addBinding(RepoInfo{"c", "c", "C", "public"}, A, std::nullopt);
        QCOMPARE(f.engineIds(), (QStringList{"b", "c"}));
        SyncEngine *c = f.coordinator->engines().last();
        QCOMPARE(c->state(), SyncState(SyncState::syncing));
        QVERIFY(!old->fileWatcher());
        c->sync(true);
        c->discard(PendingChange{"x", PendingChange::ChangeType::added});
        QVERIFY(!QCoro::waitFor(c->preview()));
        QTRY_VERIFY_WITH_TIMEOUT(old.isNull(), 5000);
        QCOMPARE(c->state(), SyncState(SyncState::idle));
        QCOMPARE(f.tool.invocations("sync").size(), 1);
        QVERIFY(f.tool.invocations("discard").isEmpty());
        QCOMPARE(results.size(), 1); // the result of the run let go of still arrives, once
        QCOMPARE(results.first().pushed, 1);
    }

    // Unlinking ends the repo's run, which may hang (sign-out does the same, end to end); after
    // sign-out nothing starts, whatever finishes late, and the next start begins clean.
    void stoppingEndsRunsAndStartsNothing() {
        Fixture f;
        const QString A = f.folder("A"), B = f.folder("B");
        Response hanging = Response().lines({R"({"type":"push","file":"x","current":1})"});
        hanging.script += "exec sleep 60\n";
        f.tool.respond("sync", hanging);
        f.start({make("a", A)});
        const QPointer<SyncEngine> a = f.coordinator->engines().first();
        a->sync(true);
        QTRY_VERIFY(a->syncProgress().has_value());
        f.coordinator->removeBinding("a");
        QTRY_VERIFY_WITH_TIMEOUT(a.isNull(), 10000); // gone with its run
        f.coordinator->stopAll();
        f.tool.clearInvocations();
        f.coordinator->addBinding(RepoInfo{"b", "b", "B", "public"}, B, std::nullopt);
        QVERIFY(f.coordinator->engines().isEmpty());
        QCOMPARE(f.store().load().size(), 1); // kept for the next sign-in
        QTest::qWait(300);
        QVERIFY(f.tool.invocations().isEmpty());
        f.coordinator->start();
        QCOMPARE(f.engineIds(), QStringList{"b"});
    }

    // While a repo is offline it is checked again, more and more rarely, and at once when the
    // network changes; nothing is timed once it is back. A check that fails because the folder
    // is gone makes it a re-link row (the stored binding is left alone) until it is back.
    void offlineClearsByItself() {
        Fixture f;
        NetworkMonitor monitor;
        f.coordinator->setNetworkMonitor(&monitor);
        f.coordinator->setOfflineRecheck(std::chrono::milliseconds(50),
                                         std::chrono::milliseconds(100));
        const Response offline = Response().exit(tool::kExitNetworkUnavailable);
        const Response online = Response().lines({R"({"type":"status","changes":[]})"});
        f.tool.respond("status --remote", offline);
        const QString A = f.folder("deep/A");
        f.start({make("a", A)});
        SyncEngine *a = f.coordinator->engines().first();
        QTRY_VERIFY(f.tool.invocations("status --remote").size() >= 4);
        f.tool.respond("status --remote", online);
        QTRY_COMPARE(a->state(), SyncState(SyncState::idle));
        const qsizetype checks = f.tool.invocations("status --remote").size();
        QTest::qWait(400);
        QCOMPARE(f.tool.invocations("status --remote").size(), checks);

        f.coordinator->setOfflineRecheck(std::chrono::minutes(1), std::chrono::minutes(1));
        f.tool.respond("status --remote", offline);
        QCoro::waitFor(a->refreshAll());
        QCOMPARE(a->state(), SyncState(SyncState::networkError));
        f.tool.respond("status --remote", online);
        emit monitor.changed();
        QTRY_COMPARE(a->state(), SyncState(SyncState::idle));

        a->stop(); // the watcher's way is proven end to end
        QVERIFY(QDir(f.folder("deep", false)).removeRecursively());
        f.tool.respond("status --remote", Response().exit(1));
        f.coordinator->refreshAll();
        QTRY_COMPARE(f.coordinator->needsRelink().size(), 1);
        QCOMPARE(f.store().load(), Bindings{make("a", A)});
        QVERIFY(QDir().mkpath(A));
        QTRY_COMPARE(f.engineIds(), QStringList{"a"});
    }

    // A failed listing leaves the names alone: startMigratesTheLegacyFolderOnce runs with one.
    void nameRefreshRacingAddAndRemoveLosesNothing() {
        Fixture f;
        const QString A = f.folder("A"), B = f.folder("B"), C = f.folder("C");
        f.cli->listings = {QList<RepoInfo>{{"a", "a", "Alpha", "public"},
                                           {"a", "zz", "Ignored", "public"}, // first one wins
                                           {"c", "c", "Gamma", "public"},
                                           {"x", "x", "Unbound", "public"}}};
        f.cli->holdNextListing();
        f.start({make("a", A), make("b", B)}); // the refresh now waits for the listing

        f.coordinator->addBinding(RepoInfo{"c", "c-old", "C Old", "public"}, C, std::nullopt);
        f.coordinator->removeBinding("b");
        f.cli->release();
        QTRY_COMPARE(f.coordinator->engines().value(1)->displayName(), QStringLiteral("Gamma"));
        QCOMPARE(f.coordinator->engines()[0]->displayName(), QStringLiteral("Alpha"));

        const Bindings expected{{"a", "a", "Alpha", A, {}, false},
                                {"c", "c", "Gamma", C, {}, false}};
        QCOMPARE(f.store().load(), expected);
        QCOMPARE(f.engineIds(), (QStringList{"a", "c"}));
    }

    // The model binds through the coordinator it came from, which may be gone by then.
    void addRepoModelOutlivesTheCoordinator() {
        Fixture f;
        const RepoInfo a{"a", "a", "A", "public"};
        f.cli->listings = {QList<RepoInfo>{a}};
        auto model = f.coordinator->makeAddRepoModel();
        f.coordinator.reset();
        QCoro::waitFor(model->bind(AddRepoModel::ExistingRepo{a}, f.folder("A"), {}, false));
        QCOMPARE(model->phase(), AddRepoModel::Phase(AddRepoModel::Done{a}));
        QVERIFY(f.store().load().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSyncCoordinator)
#include "test_sync_coordinator.moc"
