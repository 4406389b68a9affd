#include "core/bindings/folder_config_reader.h"
#include "core/bindings/sync_coordinator.h"
#include "core/platform/memory_settings_store.h"
#include "core/repos/repo_cli.h"
#include "core/repos/scripted_repo_cli.h"
#include "core/sync/sync_engine.h"
#include "gui/repos/add_repo_panel.h"
#include "gui/repos/add_repo_texts.h"
#include "gui/repos/add_repo_window.h"
#include "support/quiesce/child_processes.h"
#include "support/sandbox/orvu_local_sandbox.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

using namespace orvu;

namespace {

// An add-repo window as the app opens it, over `model`.
struct Opened {
    QPointer<AddRepoWindow> window;
    explicit Opened(std::unique_ptr<AddRepoModel> model) {
        window = new AddRepoWindow(std::move(model));
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->model().load();
        window->show();
    }
    ~Opened() { delete window; }
    template <class T = QAbstractButton> T *get(const QString &name) const {
        return window ? window->findChild<T *>(name) : nullptr;
    }
    QString text(const QString &n) const { return get<QLabel>(n) ? get<QLabel>(n)->text() : ""; }
    void click(const QString &name) const { get(name)->click(); }
};

// The app's world in an orvu-local sandbox: signed in, some repos on the server, a running
// coordinator whose bindings the window's flow must reach.
struct World {
    test::OrvuLocalSandbox sandbox;
    MemorySettingsStore defaults;
    LocalFolderAccess access;
    FolderConfigReader reader;
    CLIRunner runner{ToolLocation{sandbox.toolDirectory(), {}}};
    struct Drain { // after the coordinator, before the sandbox
        ~Drain() { test::waitForToolRunsToEnd(); }
    } drain;
    std::unique_ptr<SyncCoordinator> coordinator;
    explicit World(const QStringList &repos) {
        sandbox.signIn("me@example.com");
        for (const QString &slug : repos)
            sandbox.orvu({"init", sandbox.makeFolder("scratch/" + slug), "--repo", slug, "--json",
                          "--name", slug.toUpper()});
        coordinator = std::make_unique<SyncCoordinator>(
            BindingStore(defaults, reader),
            std::make_shared<RepoCLI>(tool::kDefaultServerURL, runner),
            Preferences(defaults, access), access, runner, QDir::homePath());
        coordinator->start();
    }
    // "slug:folder" of the first binding, once its engine exists.
    QString bound() const {
        const auto &engines = coordinator->engines();
        return engines.isEmpty() ? "" : engines[0]->slug() + ':' + *engines[0]->folderPath();
    }
};

} // namespace

class TestAddRepoWindow : public QObject {
    Q_OBJECT

private slots:
    void textRules_data() {
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("expected");
        using namespace add_repo_text;
        QTest::newRow("in home") << displayPath("/home/ann/Orvu/A b", "/home/ann") << "~/Orvu/A b";
        QTest::newRow("sibling") << displayPath("/home/annie/x", "/home/ann") << "/home/annie/x";
        QTest::newRow("no slug") << urlPreview("?! ")
                                 << "URL: /r/…  (final slug set by the server)";
        QTest::newRow("2 rows") << QString::number(AddRepoPanel::repoListHeight(2)) << "92";
        QTest::newRow("5 rows") << QString::number(AddRepoPanel::repoListHeight(5)) << "170";
    }
    void textRules() {
        QFETCH(QString, shown);
        QFETCH(QString, expected);
        QCOMPARE(shown, expected);
    }

    void newRepoFromContinueToBoundFolder() {
        World world({});
        Opened opened(world.coordinator->makeAddRepoModel());
        QTRY_VERIFY(opened.get<QLabel>("addRepoAllBound"));
        QVERIFY(!opened.get("addRepoCreateButton")->isEnabled());
        QTest::keyClicks(opened.get<QLineEdit>("addRepoNameField"), "Team Notes!");
        QCOMPARE(opened.text("addRepoURLPreview"),
                 "URL: /r/team-notes  (final slug set by the server)");
        QTest::keyClick(opened.get<QLineEdit>("addRepoNameField"), Qt::Key_Return);
        QCOMPARE(opened.get<QLabel>("addRepoFolderPath")->accessibleName(), "~/Orvu/Team Notes!");
        opened.click("addRepoUseFolder");
        QTRY_COMPARE(opened.text("addRepoDone"), "Added Team Notes!");
        QTRY_VERIFY(!opened.window); // closed by itself, and so deleted
        QCOMPARE(world.bound(), "team-notes:" + QDir::homePath() + "/Orvu/Team Notes!");
    }

    void replaceExistingLink() {
        World world({"notes", "other"});
        const QString folder = world.sandbox.makeFolder("Work");
        world.sandbox.orvu({"init", folder, "--repo", "notes", "--json"});
        Opened opened(world.coordinator->makeAddRepoModel());
        QTRY_VERIFY(opened.get("chooseRepo_notes"));
        opened.click("chooseRepo_other");
        QStringList answers{QString(), folder}, titles;
        opened.window->panel().setFolderChooser([&](QWidget *, const QString &title) {
            titles << title;
            return answers.takeFirst();
        });
        opened.click("addRepoChooseFolder"); // cancelled: still step 2
        QVERIFY(opened.get("addRepoUseFolder"));
        opened.click("addRepoChooseFolder");
        QTRY_COMPARE(opened.text("addRepoRebindTitle"), "Replace existing link?");
        QCOMPARE(titles, QStringList(2, "Choose a folder for 'OTHER'"));
        opened.click("addRepoRebindConfirm");
        QTRY_COMPARE(opened.text("addRepoDone"), "Added OTHER");
        QCOMPARE(world.bound(), "other:" + folder);
    }

    void failedBindAndStartOver() {
        auto cli = std::make_shared<test::ScriptedRepoCLI>();
        cli->listings = {QList<RepoInfo>{{"r1", "notes", "Notes", "private"}}};
        cli->initOutcome = RepoCLIOutcome::failed("disk <i>full");
        QTemporaryDir root;
        Opened opened(std::make_unique<AddRepoModel>(cli, QSet<QString>{}, root.path(),
                                                     std::nullopt, nullptr));
        QTRY_VERIFY(opened.get("chooseRepo_notes"));
        opened.click("chooseRepo_notes");
        opened.click("addRepoUseFolder");
        QTRY_COMPARE(opened.text("addRepoError"), "disk <i>full");
        QCOMPARE(opened.get<QLabel>("addRepoError")->textFormat(), Qt::PlainText);
        QVERIFY(QDir(root.filePath("Notes")).exists());
        opened.click("addRepoStartOver");
        QTRY_VERIFY(opened.get("chooseRepo_notes"));
    }
};

QTEST_MAIN(TestAddRepoWindow)
#include "test_add_repo_window.moc"
