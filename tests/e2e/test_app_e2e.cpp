// The whole app, running on the offline tool with real folders: the panel's own controls drive
// it through a world that goes wrong on purpose.
#include "core/account/auth_manager.h"
#include "core/bindings/binding_store.h"
#include "core/bindings/folder_config_reader.h"
#include "core/bindings/sync_coordinator.h"
#include "core/cli/tool_commands.h"
#include "core/platform/memory_settings_store.h"
#include "core/repos/add_repo_model.h"
#include "core/sync/sync_engine.h"
#include "gui/app/app_delegate.h"
#include "gui/app/panel_window.h"
#include "gui/views/panel_controls.h"
#include "gui/views/relink_row_view.h"
#include "gui/views/repo_row_view.h"
#include "gui/views/sync_button_view.h"
#include "support/quiesce/child_processes.h"
#include "support/sandbox/orvu_local_sandbox.h"

#include <QDir>
#include <QLabel>
#include <QTest>

using namespace orvu;
using orvu::test::OrvuLocalSandbox;
using Model = AddRepoModel;

namespace {

const QString kEmail = QStringLiteral("me@example.com");

} // namespace

class TestAppE2E : public QObject {
    Q_OBJECT

private slots:
    void hostileWorld() {
        OrvuLocalSandbox sandbox;
        QVERIFY(sandbox.signIn(kEmail));
        const QString folder = sandbox.makeFolder("work");
        for (int i = 0; i < 12; ++i) {
            QFile file(folder + QStringLiteral("/f%1.txt").arg(i, 2, 10, QChar('0')));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("x") == 1);
        }
        auto settings = std::make_shared<MemorySettingsStore>();
        settings->setString(AuthManager::kUserEmailKey, kEmail);
        FolderConfigReader reader;
        const auto stored = [&] { return BindingStore(*settings, reader).load(); };
        AppDelegate::Services services;
        services.settings = settings;
        services.toolLocation = ToolLocation{sandbox.toolDirectory(), {}};
        services.homeDirectory = sandbox.root();
        services.systemTrayAvailable = false; // the panel stays on screen
        auto app = std::make_unique<AppDelegate>(std::move(services));
        app->applicationDidFinishLaunching();
        SyncCoordinator &coordinator = app->coordinator();
        const auto engine = [&] { return coordinator.engines().value(0); };
        const auto row = [&] { return app->popover()->findChild<RepoRowView *>(); };
        const auto pending = [&] { return engine() ? engine()->pendingChanges().size() : -1; };
        // The folder is bound through the add-repo flow, as the panel does it: "warned" when the
        // folder was linked elsewhere and the user went on.
        const auto bindTo = [&](const Model::BindTarget &target) {
            auto model = coordinator.makeAddRepoModel();
            QCoro::waitFor(model->useFolder(target, folder, std::nullopt));
            const bool warned = std::holds_alternative<Model::RebindWarning>(model->phase());
            if (warned)
                QCoro::waitFor(model->bind(target, folder, std::nullopt, true));
            return QString(std::holds_alternative<Model::Done>(model->phase()) ? "done"
                                                                               : "failed") +
                   (warned ? ", warned" : "");
        };
        QTRY_VERIFY(coordinator.isRunning());
        QCOMPARE(bindTo(Model::NewRepo{"work", "Work"}), "done");
        const QString workId = reader.readConfig(folder)->repoId;
        QTRY_COMPARE(pending(), 12);

        // A slow sync stopped from its row: the tool ends, the row says so, a refresh follows.
        qputenv("ORVU_LOCAL_TRANSFER_DELAY_MS", "300");
        row()->syncButton()->button()->click();
        QTRY_VERIFY(engine()->syncProgress() && row()->stopButton()->isVisible());
        row()->stopButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!engine()->isSyncing(), 8000);
        QVERIFY(row()->statusLabel()->text().startsWith("Sync stopped · "));
        const qsizetype left = pending();
        QVERIFY2(left > 0 && left < 12, qPrintable(QString::number(left)));

        // A slow sync ended by signing out: nothing is left running; signing in again starts
        // a clean engine on the same folder.
        row()->syncButton()->button()->click();
        QTRY_VERIFY(engine()->syncProgress());
        app->signOut();
        QVERIFY(coordinator.engines().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!orvu::test::hasChildProcesses(), 8000);
        qunsetenv("ORVU_LOCAL_TRANSFER_DELAY_MS");
        QCOMPARE(sandbox.orvu(tool::loginWithEmail(kEmail)).exitCode, 0);
        app->handleURL(QString::fromUtf8(sandbox.admin({"mail", kEmail}).out).trimmed());
        QTRY_VERIFY(engine() && pending() > 0 && pending() < left &&
                    engine()->state() == SyncState(SyncState::idle));

        // Nothing ticked: the sync pushes nothing and still downloads; the unticked changes stay
        // unticked after it.
        QCOMPARE(sandbox.admin({"put", "work", "from-server.txt"}, "hello").exitCode, 0);
        QCoro::waitFor(coordinator.refreshAll());
        engine()->setSelectedPaths({});
        const qsizetype unticked = pending();
        row()->syncButton()->button()->click();
        QTRY_VERIFY(QFileInfo::exists(folder + "/from-server.txt") && !engine()->isSyncing());
        QVERIFY(pending() == unticked && engine()->selectedPaths().isEmpty());

        // The server goes away and comes back: Offline clears without the user.
        coordinator.setOfflineRecheck(std::chrono::milliseconds(200),
                                      std::chrono::milliseconds(400));
        QCOMPARE(sandbox.admin({"offline", "on"}).exitCode, 0);
        QCoro::waitFor(coordinator.refreshAll());
        QCOMPARE(app->popover()->findChild<QLabel *>("headerStatus")->text(), "Offline");
        QCOMPARE(sandbox.admin({"offline", "off"}).exitCode, 0);
        QTRY_COMPARE(engine()->state(), SyncState(SyncState::idle));

        // The bound folder is deleted while the app runs, then comes back (linked again by
        // hand). Meanwhile its repo may be bound again: a re-link row does not count as bound.
        QVERIFY(QDir(folder).removeRecursively());
        QTRY_VERIFY(coordinator.engines().isEmpty() &&
                    app->popover()->findChild<RelinkRowView *>());
        QCOMPARE(stored().value(0).repoId, workId); // the stored binding is left alone
        auto relinking = coordinator.makeAddRepoModel();
        QCoro::waitFor(relinking->load());
        QCOMPARE(std::get<Model::ChooseRepo>(relinking->phase()).existing.size(), 1);
        QCOMPARE(sandbox.orvu(tool::init(folder, "work", {}, false)).exitCode, 0);
        QTRY_VERIFY(engine() && row());

        // Bound to another repo over the warning, then unlinked: the folder keeps its last link.
        QCOMPARE(bindTo(Model::NewRepo{"other", "Other"}), "done, warned");
        const QString otherId = reader.readConfig(folder)->repoId;
        QVERIFY(otherId != workId && stored().size() == 1 && stored().first().repoId == otherId);
        coordinator.removeBinding(otherId);
        QVERIFY(!coordinator.hasAnyBinding() && stored().isEmpty());
        QCOMPARE(reader.readConfig(folder)->repoId, otherId);

        app.reset();
        orvu::test::waitForToolRunsToEnd();
    }
};

QTEST_MAIN(TestAppE2E)
#include "test_app_e2e.moc"
