#include "core/account/auth_manager.h"
#include "core/account/cli_auth.h"
#include "core/cli/tool_commands.h"
#include "core/platform/memory_settings_store.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace orvu;

namespace {

// A location where no tool can be found: an empty resource directory and a missing candidate.
// The bare-name fallback is relative to the working directory, which holds no `orvu` either.
ToolLocation nowhere(const QTemporaryDir &dir) {
    return ToolLocation{dir.path(), {dir.filePath(QStringLiteral("missing/orvu"))}};
}

} // namespace

class TestCLIAuth : public QObject {
    Q_OBJECT

private slots:
    void noToolIsALaunchError() {
        QTemporaryDir dir;
        CLIAuth cli(tool::kDefaultServerURL, CLIRunner(nowhere(dir)));
        const RunOutcome outcome = QCoro::waitFor(cli.run(tool::whoami()));
        QVERIFY(std::holds_alternative<LaunchError>(outcome));
        QVERIFY(!std::get<LaunchError>(outcome).description.isEmpty());
    }

    void signInStepsReportTheLaunchError() {
        QTemporaryDir dir;
        AuthManager manager(
            std::make_shared<CLIAuth>(tool::kDefaultServerURL, CLIRunner(nowhere(dir))),
            std::make_shared<MemorySettingsStore>(), std::nullopt);
        const auto link = QCoro::waitFor(manager.requestMagicLink(QStringLiteral("a@x")));
        QVERIFY(std::holds_alternative<SignInFailure>(link));
        QVERIFY(std::holds_alternative<LaunchError>(std::get<SignInFailure>(link)));
        const auto verified = QCoro::waitFor(manager.verify(QStringLiteral("tok")));
        QVERIFY(verified && std::holds_alternative<LaunchError>(*verified));
        QCOMPARE(manager.authState(), AuthState());
    }

    void restoreWithoutAToolSignsOut() {
        QTemporaryDir dir;
        auto settings = std::make_shared<MemorySettingsStore>();
        settings->setString(AuthManager::kUserEmailKey, QStringLiteral("a@x"));
        settings->setString(AuthManager::kUsernameKey, QStringLiteral("ann"));
        AuthManager manager(
            std::make_shared<CLIAuth>(tool::kDefaultServerURL, CLIRunner(nowhere(dir))), settings,
            dir.filePath(QStringLiteral("auth_token")));
        QSignalSpy authenticated(&manager, &AuthManager::isAuthenticatedChanged);

        manager.restoreSignIn();
        QVERIFY(manager.isAuthenticated());
        QTRY_VERIFY(!manager.isAuthenticated());

        QCOMPARE(authenticated.count(), 2);
        QCOMPARE(manager.authState(), AuthState());
        QCOMPARE(settings->keys(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestCLIAuth)
#include "test_cli_auth.moc"
