#include "core/bindings/folder_config_reader.h"
#include "core/bindings/sync_coordinator.h"
#include "core/platform/memory_folder_access.h"
#include "core/platform/memory_settings_store.h"
#include "core/repos/scripted_repo_cli.h"
#include "core/sync/sync_engine.h"
#include "support/quiesce/child_processes.h"
#include "support/stand_in/stand_in_tool.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace orvu;
using orvu::test::Response;
using orvu::test::ScriptedRepoCLI;
using orvu::test::StandInTool;

namespace {

// One coordinator over in-memory preferences and grants, with engines that run the scripted
// stand-in tool inside a temporary home.
struct Fixture {
    QTemporaryDir home;
    MemorySettingsStore defaults;
    MemoryFolderAccess access;
    FolderConfigReader reader;
    StandInTool tool;
    std::shared_ptr<ScriptedRepoCLI> cli = std::make_shared<ScriptedRepoCLI>();
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

QList<RepoBinding> withNames(QList<RepoBinding> bindings, const QList<RepoInfo> &repos) {
    for (RepoBinding &binding : bindings) {
        for (const RepoInfo &repo : repos) {
            if (repo.id == binding.repoId) {
                binding.displayName = repo.name;
                binding.slug = repo.slug;
                break;
            }
        }
    }
    return bindings;
}

} // namespace

class TestSyncCoordinator : public QObject {
    Q_OBJECT

private slots:
    void relinkVersusEngine_data() {
        QTest::addColumn<QString>("repoId");
        QTest::addColumn<bool>("needsRelink");
        QTest::addColumn<bool>("folderExists");
        QTest::addColumn<QString>("bookmark"); // none, good, junk, refused, moved
        QTest::addColumn<bool>("expectEngine");
        QTest::addColumn<bool>("expectGrant");

        QTest::newRow("relink flag, folder exists")
            << "r" << true << true << "good" << false << false;
        QTest::newRow("empty repo id, folder exists")
            << "" << false << true << "none" << false << false;
        QTest::newRow("bookmark resolves") << "r" << false << true << "good" << true << true;
        QTest::newRow("bookmark unresolvable, plain path")
            << "r" << false << true << "junk" << true << false;
        QTest::newRow("access refused, plain path")
            << "r" << false << true << "refused" << true << false;
        QTest::newRow("no bookmark, folder exists")
            << "r" << false << true << "none" << true << false;
        QTest::newRow("no bookmark, folder deleted")
            << "r" << false << false << "none" << false << false;
        QTest::newRow("unresolvable, folder deleted")
            << "r" << false << false << "junk" << false << false;
        QTest::newRow("folder moved, bookmark follows")
            << "r" << false << false << "moved" << true << true;
    }
    void relinkVersusEngine() {
        QFETCH(QString, repoId);
        QFETCH(bool, needsRelink);
        QFETCH(bool, folderExists);
        QFETCH(QString, bookmark);
        QFETCH(bool, expectEngine);
        QFETCH(bool, expectGrant);

        Fixture f;
        const QString path = f.folder("A", folderExists);
        const QString moved = f.folder("Moved");
        std::optional<QByteArray> bytes;
        if (bookmark == "good" || bookmark == "refused")
            bytes = MemoryFolderAccess::bookmarkFor(path);
        else if (bookmark == "junk")
            bytes = QByteArray("junk");
        else if (bookmark == "moved")
            bytes = MemoryFolderAccess::bookmarkFor(moved);
        if (bookmark == "refused")
            f.access.refuseAccess(path);
        const RepoBinding binding = make(repoId, path, bytes, needsRelink);
        f.store().save({binding});

        QSignalSpy spy(f.coordinator.get(), &SyncCoordinator::changed);
        f.coordinator->start();
        QVERIFY(spy.count() >= 2);
        QCOMPARE(f.coordinator->engines().size(), expectEngine ? 1 : 0);
        QCOMPARE(f.coordinator->needsRelink().size(), expectEngine ? 0 : 1);
        QVERIFY(f.coordinator->hasAnyBinding());
        if (expectEngine) {
            const SyncEngine *engine = f.coordinator->engines().first();
            QCOMPARE(engine->id(), binding.id());
            QCOMPARE(engine->folderPath(), bookmark == "moved" ? moved : path);
            QVERIFY(engine->fileWatcher() != nullptr);
        } else {
            // Listed unchanged when it was never usable; flagged when its folder is gone.
            RepoBinding expected = binding;
            expected.needsRelink = true;
            if (needsRelink || repoId.isEmpty())
                expected = binding;
            QCOMPARE(f.coordinator->needsRelink().first(), expected);
            // The stored binding keeps its own flag.
            QCOMPARE(f.store().load(), QList<RepoBinding>{binding});
        }
        QCOMPARE(f.access.held().size(), expectGrant ? 1 : 0);

        f.coordinator->stopAll();
        QVERIFY(f.coordinator->engines().isEmpty());
        QVERIFY(f.coordinator->needsRelink().isEmpty());
        QVERIFY(f.access.held().isEmpty());
        QCOMPARE(f.coordinator->aggregateState(), SyncState(SyncState::noFolder));
    }

    void nothingStored() {
        Fixture f;
        f.coordinator->start();
        QVERIFY(f.coordinator->engines().isEmpty());
        QVERIFY(f.coordinator->needsRelink().isEmpty());
        QVERIFY(!f.coordinator->hasAnyBinding());
        QCOMPARE(f.coordinator->aggregateState(), SyncState(SyncState::noFolder));
    }

    void startMigratesTheLegacyFolderOnce() {
        Fixture f;
        const QString legacy = f.folder("Legacy");
        QDir().mkpath(legacy + "/.orvu");
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

    void addReplacesByRepoAndFolder() {
        Fixture f;
        const QString F = f.folder("F"), G = f.folder("G"), H = f.folder("H");
        f.store().save({make("R", G), make("S", F), make("T", H)});
        f.coordinator->start();
        QCOMPARE(f.engineIds(), (QStringList{"R", "S", "T"}));

        f.coordinator->addBinding(RepoInfo{"R", "r-new", "R New", "public"}, F, QByteArray("b"));
        const QList<RepoBinding> expected{
            make("T", H), RepoBinding{"R", "r-new", "R New", F, QByteArray("b"), false}};
        QCOMPARE(f.store().load(), expected);
        QCOMPARE(f.engineIds(), (QStringList{"T", "R"}));
    }

    void addReplacesAMigratedBindingThroughItsFolder() {
        Fixture f;
        const QString F = f.folder("F");
        f.store().save({RepoBinding{"", "", "F", F, std::nullopt, true}});
        f.coordinator->start();
        QCOMPARE(f.coordinator->needsRelink().size(), 1);
        f.coordinator->addBinding(RepoInfo{"R", "r", "R", "public"}, F, std::nullopt);
        const QList<RepoBinding> expected{RepoBinding{"R", "r", "R", F, {}, false}};
        QCOMPARE(f.store().load(), expected);
        QVERIFY(f.coordinator->needsRelink().isEmpty());
        QCOMPARE(f.engineIds(), QStringList{"R"});
    }

    void removeById_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QStringList>("remaining"); // folder names
        QTest::newRow("by repo id, every copy") << "R" << QStringList{"C", "D"};
        QTest::newRow("empty repo id through folder") << "@D" << QStringList{"A", "B", "C"};
        QTest::newRow("unknown") << "nope" << QStringList{"A", "B", "C", "D"};
    }
    void removeById() {
        QFETCH(QString, id);
        QFETCH(QStringList, remaining);
        Fixture f;
        const QList<RepoBinding> all{make("R", f.folder("A")), make("R", f.folder("B")),
                                     make("S", f.folder("C")),
                                     RepoBinding{"", "", "D", f.folder("D"), {}, true}};
        QFile file(f.home.filePath("C/keep.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        f.store().save(all);
        f.coordinator->start();
        if (id.startsWith('@'))
            id = f.home.filePath(id.mid(1));
        f.coordinator->removeBinding(id);
        QStringList folders;
        for (const RepoBinding &binding : f.store().load())
            folders.append(QFileInfo(binding.folderPath).fileName());
        QCOMPARE(folders, remaining);
        for (const char *name : {"A", "B", "C", "D"})
            QVERIFY(QFileInfo(f.home.filePath(name)).isDir());
        QVERIFY(QFile::exists(f.home.filePath("C/keep.txt")));
    }

    void aggregateState_data() {
        QTest::addColumn<QList<SyncState>>("states");
        QTest::addColumn<bool>("hasAnyBinding");
        QTest::addColumn<SyncState>("expected");
        const SyncState failed = SyncState::failure("A repo failed to sync");
        QTest::newRow("nothing bound")
            << QList<SyncState>{} << false << SyncState(SyncState::noFolder);
        QTest::newRow("relink rows only")
            << QList<SyncState>{} << true << SyncState(SyncState::idle);
        QTest::newRow("syncing beats error")
            << QList<SyncState>{SyncState::failure("x"), SyncState::syncing} << true
            << SyncState(SyncState::syncing);
        QTest::newRow("error beats network, message replaced")
            << QList<SyncState>{SyncState::networkError, SyncState::failure("disk")} << true
            << failed;
        QTest::newRow("network beats auth")
            << QList<SyncState>{SyncState::notAuthenticated, SyncState::networkError} << true
            << SyncState(SyncState::networkError);
        QTest::newRow("auth") << QList<SyncState>{SyncState::idle, SyncState::notAuthenticated}
                              << true << SyncState(SyncState::notAuthenticated);
        QTest::newRow("pulling and noFolder are idle")
            << QList<SyncState>{SyncState::pulling, SyncState::noFolder} << true
            << SyncState(SyncState::idle);
    }
    void aggregateState() {
        QFETCH(QList<SyncState>, states);
        QFETCH(bool, hasAnyBinding);
        QFETCH(SyncState, expected);
        const SyncState actual = SyncCoordinator::aggregateStateOf(states, hasAnyBinding);
        QCOMPARE(actual.kind, expected.kind);
        QCOMPARE(actual.message, expected.message);
    }

    void summary_data() {
        QTest::addColumn<SyncResult>("result");
        QTest::addColumn<QString>("expected");
        auto result = [](qint64 pushed, qint64 pulled, qint64 deleted, qint64 unchanged = 0) {
            SyncResult r;
            r.pushed = pushed;
            r.pulled = pulled;
            r.deleted = deleted;
            r.unchanged = unchanged;
            return r;
        };
        SyncResult failed = result(3, 0, 0);
        failed.error = "Network down";
        QTest::newRow("pulled only") << result(0, 2, 0) << "2 pulled";
        QTest::newRow("nothing") << result(0, 0, 0, 5) << "Everything up to date";
        QTest::newRow("error wins") << failed << "Sync failed: Network down";
        QTest::newRow("all three, no grouping")
            << result(1234, 1, 7) << "1234 pushed, 1 pulled, 7 deleted";
        QTest::newRow("pushed and deleted") << result(1, 0, 2) << "1 pushed, 2 deleted";
    }
    void summary() {
        QFETCH(SyncResult, result);
        QFETCH(QString, expected);
        QCOMPARE(SyncCoordinator::summary(result), expected);
    }

    void summaryValuesFollowTheEngines() {
        Fixture f;
        const QString A = f.folder("A"), B = f.folder("B");
        f.tool.respond(
            "status " + A,
            Response().lines(
                {R"({"type":"status","changes":[{"path":"x","change":"A"},{"path":"y","change":"M"}],)"
                 R"("remote":{"toPull":2,"toDelete":1,"conflicts":1}})"}));
        f.tool.respond(
            "status " + B,
            Response().lines(
                {R"({"type":"status","changes":[{"path":"z","change":"D"}],"remote":{"toPull":4}})"}));
        f.store().save({make("a", A), make("b", B), make("c", f.folder("C", false))});
        QSignalSpy spy(f.coordinator.get(), &SyncCoordinator::changed);
        f.coordinator->start();
        const int afterStart = spy.count();
        QTRY_COMPARE(f.coordinator->remoteTotal(), 8);
        QCOMPARE(f.coordinator->pendingTotal(), 3);
        QVERIFY(spy.count() > afterStart); // engine changes are announced by the coordinator
        QVERIFY(!f.coordinator->anySyncing());
        QVERIFY(!f.coordinator->activeProgress());
        QCOMPARE(f.coordinator->aggregateState(), SyncState(SyncState::idle));
    }

    void manualSyncResultForwardedOnce() {
        Fixture f;
        const QString A = f.folder("A");
        f.store().save({make("a", A)});
        f.tool.respond("sync", Response().lines({R"({"type":"complete","pushed":2,"pulled":1})"}));
        QList<SyncResult> results;
        f.coordinator->setOnAnySyncComplete([&](const SyncResult &r) { results.append(r); });
        f.coordinator->start();
        f.coordinator->engines().first()->sync(true);
        QTRY_COMPARE(results.size(), 1);
        QCOMPARE(SyncCoordinator::summary(results.first()), QStringLiteral("2 pushed, 1 pulled"));
        QTest::qWait(200);
        QCOMPARE(results.size(), 1);
    }

    void refreshAllRunsEnginesSideBySide() {
        Fixture f;
        QStringList folders;
        QList<RepoBinding> bindings;
        for (const char *name : {"A", "B", "C"}) {
            folders.append(f.folder(name));
            bindings.append(make(QString(name).toLower(), folders.last()));
        }
        f.store().save(bindings);
        f.coordinator->start();
        QVERIFY(f.tool.waitForInvocations(3));
        QTest::qWait(100);
        f.tool.clearInvocations();
        f.tool.respond("status",
                       Response().lines({R"({"type":"status","changes":[]})"}).pause(3000));
        bool finished = false;
        auto task = f.coordinator->refreshAll();
        QCoro::connect(std::move(task), this, [&] { finished = true; });
        // Each refresh holds the tool for 3 s; one after the other, only one would have begun.
        QVERIFY(f.tool.waitForInvocations(3, 2500));
        QVERIFY(!finished);
        QTRY_VERIFY_WITH_TIMEOUT(finished, 10000);
    }

    void nameRefresh_data() {
        QTest::addColumn<std::optional<QList<RepoInfo>>>("listing");
        using L = std::optional<QList<RepoInfo>>;
        QTest::newRow("renamed, first duplicate wins") << L({{"a", "a2", "Alpha Two", "public"},
                                                             {"a", "zz", "Ignored", "public"},
                                                             {"x", "x", "Unbound", "public"}});
        QTest::newRow("empty listing") << L(QList<RepoInfo>{});
        QTest::newRow("listing failed") << L();
    }
    void nameRefresh() {
        QFETCH(std::optional<QList<RepoInfo>>, listing);
        Fixture f;
        const QList<RepoBinding> bindings{make("a", f.folder("A")), make("b", f.folder("B"))};
        f.store().save(bindings);
        const QByteArray before = *f.defaults.data("repoBindings");
        f.cli->listings = {listing};
        f.coordinator->start();

        const QList<RepoInfo> repos = listing.value_or(QList<RepoInfo>{});
        const QList<RepoInfo> firstWins = repos.mid(0, repos.isEmpty() ? 0 : 1) + repos.mid(2);
        QCOMPARE(f.store().load(), withNames(bindings, firstWins));
        QCOMPARE(f.coordinator->engines().at(0)->displayName(),
                 repos.isEmpty() ? QStringLiteral("a Name") : QStringLiteral("Alpha Two"));
        QCOMPARE(f.coordinator->engines().at(0)->slug(), QStringLiteral("a-slug"));
        if (!listing)
            QCOMPARE(*f.defaults.data("repoBindings"), before);
    }

    void nameRefreshRacingAddAndRemoveLosesNothing() {
        Fixture f;
        const QString A = f.folder("A"), B = f.folder("B"), C = f.folder("C");
        f.store().save({make("a", A), make("b", B)});
        const QList<RepoInfo> repos{{"a", "a", "Alpha", "public"}, {"c", "c", "Gamma", "public"}};
        f.cli->listings = {repos};
        f.cli->holdNextListing();
        f.coordinator->start(); // the refresh now waits for the listing

        f.coordinator->addBinding(RepoInfo{"c", "c-old", "C Old", "public"}, C, std::nullopt);
        f.coordinator->removeBinding("b");
        f.cli->release();
        QTRY_COMPARE(f.coordinator->engines().value(1)->displayName(), QStringLiteral("Gamma"));

        const QList<RepoBinding> expected{RepoBinding{"a", "a", "Alpha", A, {}, false},
                                          RepoBinding{"c", "c", "Gamma", C, {}, false}};
        QCOMPARE(f.store().load(), expected);
        QCOMPARE(f.engineIds(), (QStringList{"a", "c"}));
    }

    void addRepoModelSeesOnlyEngineRepos() {
        Fixture f;
        f.store().save({make("a", f.folder("A")), make("r", f.folder("R"), {}, true)});
        f.cli->listings = {QList<RepoInfo>{{"a", "a", "A", "public"}, {"r", "r", "R", "public"}}};
        f.coordinator->start();
        auto model = f.coordinator->makeAddRepoModel();
        QCoro::waitFor(model->load());
        QCOMPARE(model->phase(), AddRepoModel::Phase(AddRepoModel::ChooseRepo{
                                     {RepoInfo{"r", "r", "R", "public"}}}));
        QCOMPARE(model->suggestedFolder(AddRepoModel::ExistingRepo{{"r", "r", "R", "public"}}),
                 f.home.filePath("Orvu/R"));

        // Binding through the model stores the binding and makes its engine.
        const QString R = f.folder("R");
        QCoro::waitFor(model->bind(AddRepoModel::ExistingRepo{{"r", "r", "R", "public"}}, R,
                                   QByteArray("bm"), false));
        QCOMPARE(f.engineIds(), (QStringList{"a", "r"}));
        QVERIFY(f.coordinator->needsRelink().isEmpty());

        // A model outliving its coordinator binds without effect.
        f.coordinator.reset();
        QCoro::waitFor(model->bind(AddRepoModel::ExistingRepo{{"a", "a", "A", "public"}},
                                   f.folder("A"), std::nullopt, false));
        QCOMPARE(model->phase(),
                 AddRepoModel::Phase(AddRepoModel::Done{{"a", "a", "A", "public"}}));
    }
};

QTEST_GUILESS_MAIN(TestSyncCoordinator)
#include "test_sync_coordinator.moc"
