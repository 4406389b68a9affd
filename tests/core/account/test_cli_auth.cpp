#include "core/account/auth_manager.h"
#include "core/account/cli_auth.h"
#include "core/cli/tool_commands.h"
#include "core/platform/memory_settings_store.h"
#include "support/stand_in/stand_in_tool.h"

#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace orvu;
using orvu::test::Response;
using orvu::test::StandInTool;

namespace {

const QString kEmail = QStringLiteral("ann@example.org");

std::unique_ptr<AuthManager> managerOver(const ToolLocation &location) {
    return std::make_unique<AuthManager>(
        std::make_shared<CLIAuth>(tool::kDefaultServerURL, CLIRunner(location)),
        std::make_shared<MemorySettingsStore>(), std::nullopt);
}

} // namespace

// The manager over the real runner: what real pipes and a missing tool deliver.
class TestCLIAuth : public QObject {
    Q_OBJECT

private slots:
    void noToolIsALaunchError() {
        // An empty resource directory and a missing candidate; the bare-name fallback is relative
        // to the working directory, which holds no `orvu` either.
        QTemporaryDir dir;
        auto manager = managerOver(ToolLocation{dir.path(), {dir.filePath("missing/orvu")}});
        const auto link = QCoro::waitFor(manager->requestMagicLink(kEmail));
        QVERIFY(std::holds_alternative<SignInFailure>(link));
        QVERIFY(std::holds_alternative<LaunchError>(std::get<SignInFailure>(link)));
        QCOMPARE(manager->authState(), AuthState());
    }

    // Standard error comes through with its line break, and the server pair goes in front of the
    // vector; a signed-in answer over real pipes is the end-to-end test's.
    void refusalOverTheTool() {
        StandInTool tool;
        QVERIFY(tool.isValid());
        auto manager = managerOver(tool.location());
        tool.respond(QStringLiteral("login --email"), Response().err("invalid address\n").exit(1));
        const auto result = QCoro::waitFor(manager->requestMagicLink(kEmail));
        QVERIFY(std::holds_alternative<SignInFailure>(result));
        QCOMPARE(describe(std::get<SignInFailure>(result)), QStringLiteral("invalid address"));
        QCOMPARE(tool.invocations().last().arguments,
                 CLIRunner::argumentVector(tool::loginWithEmail(kEmail), tool::kDefaultServerURL));
    }

    void signOutWhileLogoutHangs() {
        StandInTool tool;
        tool.respond(QStringLiteral("logout"), Response().hangs());
        auto manager = managerOver(tool.location());
        manager->applySignedIn(kEmail, QStringLiteral("ann"));

        manager->signOut();
        QVERIFY(!manager->isAuthenticated());

        // The event loop keeps turning while the tool hangs, and the run outlives the manager.
        QVERIFY(tool.waitForInvocations(1));
        QCOMPARE(tool.invocations().first().arguments.mid(2), tool::logout());
        manager.reset();
        QTest::qWait(50);
        ::kill(pid_t(tool.invocations().first().processId), SIGKILL);
        QTest::qWait(100);
    }
};

QTEST_GUILESS_MAIN(TestCLIAuth)
#include "test_cli_auth.moc"
