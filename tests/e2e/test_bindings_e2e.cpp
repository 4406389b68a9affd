#include "core/bindings/binding_store.h"
#include "core/bindings/folder_config_reader.h"
#include "core/bindings/preferences.h"
#include "core/bindings/sync_coordinator.h"
#include "core/cli/tool_commands.h"
#include "core/platform/local_folder_access.h"
#include "core/platform/qsettings_store.h"
#include "core/repos/add_repo_model.h"
#include "core/repos/repo_cli.h"
#include "core/sync/sync_engine.h"
#include "support/quiesce/child_processes.h"
#include "support/sandbox/orvu_local_sandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTest>

using namespace orvu;
using orvu::test::OrvuLocalSandbox;
using Model = AddRepoModel;

namespace {

const QString kEmail = QStringLiteral("me@example.com");

// The app's world inside a sandbox: the real settings file in the temporary
// XDG_CONFIG_HOME, real folders, and the offline tool for every run.
struct App {
    OrvuLocalSandbox sandbox;
    QString settingsPath;
    std::unique_ptr<QSettingsStore> defaults;
    LocalFolderAccess access;
    FolderConfigReader reader;
    CLIRunner runner;
    std::unique_ptr<SyncCoordinator> coordinator;

    App() : runner(ToolLocation{sandbox.toolDirectory(), {}}) {
        settingsPath = qEnvironmentVariable("XDG_CONFIG_HOME") + "/Orvu/OrvuTray.conf";
        defaults = std::make_unique<QSettingsStore>(settingsPath);
    }

    ~App() {
        coordinator.reset();
        orvu::test::waitForToolRunsToEnd();
    }

    // A fresh process's view: a new store over the same file and a new coordinator.
    void relaunch() {
        coordinator.reset();
        defaults = std::make_unique<QSettingsStore>(settingsPath);
        coordinator = std::make_unique<SyncCoordinator>(
            BindingStore(*defaults, reader),
            std::make_shared<RepoCLI>(tool::kDefaultServerURL, runner),
            Preferences(*defaults, access), access, runner, qEnvironmentVariable("HOME"));
        coordinator->start();
    }

    QList<RepoBinding> stored() const {
        QSettingsStore fromDisk(settingsPath);
        return BindingStore(fromDisk, reader).load();
    }

    // Creates a repo on the server by linking a scratch folder to it.
    bool createRepo(const QString &slug, const QString &name) {
        const QString scratch = sandbox.makeFolder("scratch/" + slug);
        return sandbox.orvu({"init", scratch, "--repo", slug, "--json", "--name", name}).exitCode ==
               0;
    }

    std::optional<RepoInfo> repo(const QString &slug) {
        for (const QJsonObject &line : sandbox.orvu({"repos", "--json"}).lines()) {
            for (const QJsonValue &value : line.value("repos").toArray()) {
                const QJsonObject object = value.toObject();
                if (object.value("slug").toString() == slug)
                    return RepoInfo{object.value("id").toString(), slug,
                                    object.value("name").toString(),
                                    object.value("visibility").toString()};
            }
        }
        return std::nullopt;
    }

    const SyncEngine *engine(const QString &id) const {
        for (const SyncEngine *engine : coordinator->engines())
            if (engine->id() == id)
                return engine;
        return nullptr;
    }

    // Drives the flow as the panel would: choose, use the folder, wait for the outcome.
    Model::Phase addThroughModel(const Model::BindTarget &target, const QString &folder) {
        auto model = coordinator->makeAddRepoModel();
        QCoro::waitFor(model->load());
        if (!std::holds_alternative<Model::ChooseRepo>(model->phase()))
            return model->phase();
        QCoro::waitFor(model->useFolder(target, folder, access.makeBookmark(folder)));
        return model->phase();
    }
};

} // namespace

class TestBindingsE2E : public QObject {
    Q_OBJECT

private slots:
    void addExistingAndNewRepo() {
        App app;
        QVERIFY(app.sandbox.signIn(kEmail));
        QVERIFY(app.createRepo("notes", "Team Notes"));
        app.relaunch();
        QVERIFY(!app.coordinator->hasAnyBinding());

        auto model = app.coordinator->makeAddRepoModel();
        QCoro::waitFor(model->load());
        const auto notes = app.repo("notes");
        QVERIFY(notes);
        QCOMPARE(model->phase(), Model::Phase(Model::ChooseRepo{{*notes}}));
        model->chooseRepo(*notes);
        const auto target = std::get<Model::ChooseFolder>(model->phase()).target;
        const QString folder = model->suggestedFolder(target);
        QCOMPARE(folder, QDir::homePath() + "/Orvu/Team Notes");
        QCoro::waitFor(model->useFolder(target, folder, app.access.makeBookmark(folder)));
        QCOMPARE(model->phase(), Model::Phase(Model::Done{*notes}));

        // Persisted in the real settings file, with its bookmark.
        const QList<RepoBinding> afterFirst{
            RepoBinding{notes->id, "notes", "Team Notes", folder, folder.toUtf8(), false}};
        QCOMPARE(app.stored(), afterFirst);
        const SyncEngine *engine = app.engine(notes->id);
        QVERIFY(engine);
        QVERIFY(engine->fileWatcher() && engine->fileWatcher()->isRunning());
        QTRY_VERIFY(engine->remoteStatus().has_value());

        // A new repo: created by the tool, confirmed by the listing, bound second.
        model = app.coordinator->makeAddRepoModel();
        QCoro::waitFor(model->load());
        QCOMPARE(model->phase(), Model::Phase(Model::ChooseRepo{{}})); // notes is bound
        model->setNewRepoName("  Holiday Photos 2024 ");
        model->continueWithNewRepo();
        const auto fresh = std::get<Model::ChooseFolder>(model->phase()).target;
        QCOMPARE(fresh,
                 Model::BindTarget(Model::NewRepo{"holiday-photos-2024", "Holiday Photos 2024"}));
        const QString photos = app.sandbox.makeFolder("Pictures/Holiday");
        QCoro::waitFor(model->useFolder(fresh, photos, std::nullopt));
        const auto created = app.repo("holiday-photos-2024");
        QVERIFY(created);
        QCOMPARE(created->name, QStringLiteral("Holiday Photos 2024"));
        QCOMPARE(model->phase(), Model::Phase(Model::Done{*created}));
        QCOMPARE(app.stored().size(), 2);
        QCOMPARE(app.stored().last().folderPath, photos);
        QVERIFY(app.engine(created->id));
        QVERIFY(app.engine(notes->id));
    }

    void rebindWarningAndReplaceLink() {
        App app;
        QVERIFY(app.sandbox.signIn(kEmail));
        QVERIFY(app.createRepo("notes", "Notes"));
        QVERIFY(app.createRepo("other", "Other"));
        app.relaunch();
        const auto notes = app.repo("notes");
        const auto other = app.repo("other");
        const QString folder = app.sandbox.makeFolder("Work");
        QCOMPARE(app.addThroughModel(Model::ExistingRepo{*notes}, folder),
                 Model::Phase(Model::Done{*notes}));

        auto model = app.coordinator->makeAddRepoModel();
        QCoro::waitFor(model->load());
        const auto bookmark = app.access.makeBookmark(folder);
        QCoro::waitFor(model->useFolder(Model::ExistingRepo{*other}, folder, bookmark));
        QCOMPARE(model->phase(), Model::Phase(Model::RebindWarning{Model::ExistingRepo{*other},
                                                                   folder, bookmark, "notes"}));
        const auto warning = std::get<Model::RebindWarning>(model->phase());
        QCoro::waitFor(model->bind(warning.target, warning.folderPath, warning.bookmark, true));
        QCOMPARE(model->phase(), Model::Phase(Model::Done{*other}));

        QCOMPARE(FolderConfigReader().readConfig(folder)->repoId, other->id);
        const QList<RepoBinding> expected{
            RepoBinding{other->id, "other", "Other", folder, bookmark, false}};
        QCOMPARE(app.stored(), expected);
        QCOMPARE(app.coordinator->engines().size(), 1);
        QVERIFY(app.engine(other->id));
    }

    void removalLeavesTheFolderAlone() {
        App app;
        QVERIFY(app.sandbox.signIn(kEmail));
        QVERIFY(app.createRepo("notes", "Notes"));
        app.relaunch();
        const auto notes = app.repo("notes");
        const QString folder = app.sandbox.makeFolder("Notes");
        QFile file(folder + "/todo.txt");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("milk\n");
        file.close();
        QCOMPARE(app.addThroughModel(Model::ExistingRepo{*notes}, folder),
                 Model::Phase(Model::Done{*notes}));
        QCOMPARE(app.coordinator->engines().size(), 1);

        app.coordinator->removeBinding(notes->id);
        QVERIFY(app.coordinator->engines().isEmpty());
        QVERIFY(!app.coordinator->hasAnyBinding());
        QCOMPARE(app.stored(), QList<RepoBinding>{});
        QVERIFY(QFile::exists(folder + "/todo.txt"));
        QCOMPARE(FolderConfigReader().readConfig(folder)->repoId, notes->id);
    }

    void deletedFolderBecomesARelinkRow() {
        App app;
        QVERIFY(app.sandbox.signIn(kEmail));
        QVERIFY(app.createRepo("notes", "Notes"));
        app.relaunch();
        const auto notes = app.repo("notes");
        const QString folder = app.sandbox.makeFolder("Gone");
        QCOMPARE(app.addThroughModel(Model::ExistingRepo{*notes}, folder),
                 Model::Phase(Model::Done{*notes}));
        app.coordinator->stopAll();
        QVERIFY(QDir(folder).removeRecursively());

        app.relaunch();
        QVERIFY(app.coordinator->engines().isEmpty());
        QCOMPARE(app.coordinator->needsRelink().size(), 1);
        QCOMPARE(app.coordinator->needsRelink().first().id(), notes->id);
        QVERIFY(app.coordinator->needsRelink().first().needsRelink);
        QVERIFY(!app.stored().first().needsRelink);
        QCOMPARE(app.coordinator->aggregateState(), SyncState(SyncState::idle));

        // Re-linking binds the repo again; it is offered because only engines count as bound.
        const QString again = app.sandbox.makeFolder("Again");
        QCOMPARE(app.addThroughModel(Model::ExistingRepo{*notes}, again),
                 Model::Phase(Model::Done{*notes}));
        QVERIFY(app.coordinator->needsRelink().isEmpty());
        QCOMPARE(app.stored().size(), 1);
        QCOMPARE(app.stored().first().folderPath, again);
    }

    void namesRefreshedFromTheServer() {
        App app;
        QVERIFY(app.sandbox.signIn(kEmail));
        QVERIFY(app.createRepo("notes", "Team Notes"));
        const auto notes = app.repo("notes");
        const QString folder = app.sandbox.makeFolder("N");
        QVERIFY(app.sandbox.orvu({"init", folder, "--repo", "notes", "--json"}).exitCode == 0);
        BindingStore(*app.defaults, app.reader)
            .save({RepoBinding{notes->id, "old-slug", "Stale Name", folder, std::nullopt, false}});

        app.relaunch();
        QCOMPARE(app.coordinator->engines().size(), 1);
        QTRY_COMPARE(app.coordinator->engines().first()->displayName(),
                     QStringLiteral("Team Notes"));
        QTRY_COMPARE(app.stored().value(0).displayName, QStringLiteral("Team Notes"));
        QCOMPARE(app.stored().value(0).slug, QStringLiteral("notes"));
    }
};

QTEST_GUILESS_MAIN(TestBindingsE2E)
#include "test_bindings_e2e.moc"
