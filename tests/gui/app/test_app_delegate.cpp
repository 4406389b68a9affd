#include "core/account/auth_manager.h"
#include "core/bindings/binding_store.h"
#include "core/bindings/folder_config_reader.h"
#include "core/bindings/sync_coordinator.h"
#include "core/platform/memory_settings_store.h"
#include "core/sync/sync_engine.h"
#include "gui/app/app_delegate.h"
#include "gui/app/panel_window.h"
#include "gui/app/tray_menu.h"
#include "gui/platform/notifier.h"
#include "gui/platform/single_instance.h"
#include "support/quiesce/child_processes.h"
#include "support/stand_in/stand_in_tool.h"

#include <QDir>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

using namespace orvu;
using orvu::test::Response;
using orvu::test::StandInTool;

namespace {

const QString kSignedIn = R"({"type":"auth","authState":"signedIn","email":"a@x"})";

struct RecordingNotifier : Notifier {
    QList<UserNotification> posted;
    void post(const UserNotification &notification) override { posted.append(notification); }
};

// The delegate over the scripted tool, in-memory settings and a temporary home.
struct Fixture {
    QTemporaryDir home;
    StandInTool tool;
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::shared_ptr<RecordingNotifier> notifier = std::make_shared<RecordingNotifier>();
    std::unique_ptr<AppDelegate> app;

    explicit Fixture(bool signedInWithRepo) {
        tool.respond("status", Response().lines({R"({"type":"status","changes":[]})"}));
        tool.respond("repos", Response().lines({R"({"type":"repos","repos":[]})"}));
        tool.respond("login", Response().lines({kSignedIn}));
        tool.respond("whoami",
                     signedInWithRepo ? Response().lines({kSignedIn}) : Response().exit(2));
        if (signedInWithRepo) {
            settings->setString(AuthManager::kUserEmailKey, "a@x");
            const QString folder = home.filePath("notes");
            QDir().mkpath(folder);
            FolderConfigReader reader;
            BindingStore(*settings, reader).save({{"r1", "notes", "Notes", folder, {}, false}});
        }
        AppDelegate::Services services;
        services.settings = settings;
        services.toolLocation = tool.location();
        services.homeDirectory = home.path();
        services.notifier = notifier;
        app = std::make_unique<AppDelegate>(std::move(services));
        app->applicationDidFinishLaunching();
    }
    ~Fixture() {
        app.reset();
        orvu::test::waitForToolRunsToEnd();
    }
    qsizetype remoteRefreshes() const { return tool.invocations("status --remote").size(); }
};

} // namespace

class TestAppDelegate : public QObject {
    Q_OBJECT

private slots:
    void panelOpeningsRefreshTheRepos() {
        Fixture f(true);
        QTRY_COMPARE(f.app->shownSymbol(), "checkmark.circle");
        QCOMPARE(f.app->statusItem()->toolTip(), "Orvu — 1 repo · up to date");
        QCOMPARE(f.app->trayMenu()->actions().value(3)->text(), "Add Repo...");
        QTRY_COMPARE(f.remoteRefreshes(), 1); // the engine's own first refresh
        f.tool.respond(
            "status --remote",
            Response().lines({R"({"type":"status","changes":[],"remote":{"toPull":2}})"}));
        PanelWindow *panel = f.app->popover();
        f.app->togglePopover();
        QVERIFY(panel->isVisible());
        QTRY_COMPARE(f.app->shownSymbol(), "arrow.down.circle");
        QCOMPARE(f.app->statusItem()->toolTip(), "Orvu — Updates available");
        f.app->togglePopover();
        QVERIFY(!panel->isVisible());
        f.app->togglePopover();
        QTRY_COMPARE(f.remoteRefreshes(), 3);
        QTest::keyClick(panel, Qt::Key_Escape);
        QVERIFY(!panel->isVisible());
        f.app->togglePopover(); // the click that took the focus away must not reopen it
        QVERIFY(!panel->isVisible());
    }

    void signOutClosesTheWindows() {
        Fixture f(true);
        f.app->showAuthWindow();
        const QPointer<AuthWindow> first = f.app->authWindow();
        QVERIFY(first && first->isVisible());
        f.app->showAuthWindow();
        QCOMPARE(f.app->authWindow(), first.data()); // the same window, fields kept
        f.app->addRepo();
        const QPointer<AddRepoWindow> added = f.app->addRepoWindow();
        QVERIFY(added && added->isVisible());
        QTRY_VERIFY(f.tool.invocations("repos").size() >= 1); // the model's load() ran

        f.app->signOut();
        QVERIFY(!f.app->authManager().isAuthenticated() &&
                f.app->coordinator().engines().isEmpty());
        QVERIFY(!f.app->authWindow() && !f.app->addRepoWindow());
        QTRY_VERIFY(!first && !added);
        QCOMPARE(f.app->trayMenu()->actions().value(3)->text(), "Sign In...");
        f.app->showAuthWindow();
        QVERIFY(f.app->authWindow() && f.app->authWindow()->isVisible());
    }

    void manualSyncAnimatesAndNotifies() {
        Fixture f(true);
        QTRY_COMPARE(f.app->shownSymbol(), "checkmark.circle");
        f.tool.respond("sync", Response()
                                   .lines({R"({"type":"push","file":"a","current":1,"total":2})",
                                           R"({"type":"push","file":"b","current":2,"total":2})"},
                                          700)
                                   .lines({R"({"type":"complete","pushed":2,"deletedLocal":1})"}));
        f.app->coordinator().engines().first()->sync(true);
        QTRY_COMPARE(f.app->shownSymbol(), "arrow.up.circle"); // the second frame
        QTRY_COMPARE(f.notifier->posted.size(), 1);
        QVERIFY(f.notifier->posted.first().identifier.startsWith("sync-"));
        QTRY_VERIFY(!f.app->isAnimating());
        QTRY_COMPARE(f.app->shownSymbol(), "checkmark.circle");
    }

    void laterStartsHandTheirLinkOrPanelOver() {
        Fixture f(false);
        QTRY_COMPARE(f.app->shownSymbol(), "folder.badge.questionmark");
        QVERIFY(f.app->coordinator().engines().isEmpty());
        QTemporaryDir run;
        const QString name = run.filePath("instance");
        QFile stale(name); // left behind by an instance that died
        QVERIFY(stale.open(QIODevice::WriteOnly));
        SingleInstance instance(name);
        QVERIFY(instance.listen());
        QVERIFY(!SingleInstance(name).listen()); // a second instance must hand over instead
        connect(&instance, &SingleInstance::messageReceived, f.app.get(),
                &AppDelegate::handleInstanceMessage);

        QVERIFY(SingleInstance(name).handOver("orvu://login?token=nope"));
        QVERIFY(SingleInstance(name).handOver("orvu://verify?token=abc"));
        QTRY_VERIFY(f.app->authManager().isAuthenticated());
        const auto logins = f.tool.invocations("login");
        QCOMPARE(logins.size(), 1);
        QVERIFY(logins.first().arguments.contains("abc"));

        QVERIFY(SingleInstance(name).handOver(QString()));
        QTRY_VERIFY(f.app->popover()->isVisible());
    }
};

QTEST_MAIN(TestAppDelegate)
#include "test_app_delegate.moc"
