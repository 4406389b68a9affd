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

    App()
        : settingsPath(qEnvironmentVariable("XDG_CONFIG_HOME") + "/Orvu/OrvuTray.conf"),
          runner(ToolLocation{sandbox.toolDirectory(), {}}) {}

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

    // Signs in, creates each repo on the server by linking a scratch folder to it, launches,
    // and returns the server's repos by slug.
    QHash<QString, RepoInfo> launchWith(const QStringList &slugs) {
        QHash<QString, RepoInfo> bySlug;
        if (!sandbox.signIn(kEmail))
            return bySlug;
        for (const QString &slug : slugs)
            sandbox.orvu({"init", sandbox.makeFolder("scratch/" + slug), "--repo", slug, "--json"});
        relaunch();
        const auto repos = QCoro::waitFor(RepoCLI(tool::kDefaultServerURL, runner).listRepos());
        for (const RepoInfo &repo : repos.value_or(QList<RepoInfo>{}))
            bySlug.insert(repo.slug, repo);
        return bySlug;
    }

    // Drives the flow as the panel would: choose, use the folder, wait for the outcome.
    Model::Phase addThroughModel(const Model::BindTarget &target, const QString &folder) {
        auto model = coordinator->makeAddRepoModel();
        QCoro::waitFor(model->load());
        if (std::holds_alternative<Model::ChooseRepo>(model->phase()))
            QCoro::waitFor(model->useFolder(target, folder, access.makeBookmark(folder)));
        return model->phase();
    }
};

} // namespace

class TestBindingsE2E : public QObject {
    Q_OBJECT

private slots:
    // One folder through its life: linked, linked elsewhere over a warning, deleted (a relink
    // row after a relaunch), linked again elsewhere, and removed.
    void rebindRelinkAndRemove() {
        App app;
        const auto repos = app.launchWith({"notes", "other"});
        QVERIFY(repos.contains("notes") && repos.contains("other"));
        const auto notes = repos.find("notes"), other = repos.find("other");
        const QString folder = app.sandbox.makeFolder("Work");
        QCOMPARE(app.addThroughModel(Model::ExistingRepo{*notes}, folder),
                 Model::Phase(Model::Done{*notes}));

        auto model = app.coordinator->makeAddRepoModel();
        const auto bookmark = app.access.makeBookmark(folder);
        QCoro::waitFor(model->useFolder(Model::ExistingRepo{*other}, folder, bookmark));
        QCOMPARE(model->phase(), Model::Phase(Model::RebindWarning{Model::ExistingRepo{*other},
                                                                   folder, bookmark, "notes"}));
        QCoro::waitFor(model->bind(Model::ExistingRepo{*other}, folder, bookmark, true));
        QCOMPARE(model->phase(), Model::Phase(Model::Done{*other}));
        QCOMPARE(FolderConfigReader().readConfig(folder)->repoId, other->id);
        const QList<RepoBinding> expected{
            RepoBinding{other->id, "other", other->name, folder, bookmark, false}};
        QCOMPARE(app.stored(), expected);
        QCOMPARE(app.coordinator->engines().size(), 1);

        app.coordinator->stopAll();
        QVERIFY(QDir(folder).removeRecursively());
        app.relaunch();
        QVERIFY(app.coordinator->engines().isEmpty());
        QCOMPARE(app.coordinator->needsRelink().size(), 1);
        QVERIFY(app.coordinator->needsRelink().first().needsRelink);
        QCOMPARE(app.stored(), expected); // the stored flag is left alone

        // Re-linking binds the repo again; it is offered because only engines count as bound.
        const QString again = app.sandbox.makeFolder("Again");
        QCOMPARE(app.addThroughModel(Model::ExistingRepo{*other}, again),
                 Model::Phase(Model::Done{*other}));
        QVERIFY(app.coordinator->needsRelink().isEmpty());
        QCOMPARE(app.stored().size(), 1);
        QCOMPARE(app.stored().first().folderPath, again);

        // Removal forgets the binding but leaves the folder and its link alone.
        app.coordinator->removeBinding(other->id);
        QVERIFY(!app.coordinator->hasAnyBinding());
        QCOMPARE(app.stored(), QList<RepoBinding>{});
        QCOMPARE(FolderConfigReader().readConfig(again)->repoId, other->id);
    }
};

QTEST_GUILESS_MAIN(TestBindingsE2E)
#include "test_bindings_e2e.moc"
