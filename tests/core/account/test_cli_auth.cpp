#include "core/account/auth_manager.h"
#include "core/account/cli_auth.h"
#include "core/cli/tool_commands.h"
#include "core/platform/memory_settings_store.h"
#include "support/stand_in/stand_in_tool.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace orvu;
using orvu::test::Response;
using orvu::test::StandInTool;

Q_DECLARE_METATYPE(orvu::test::Response)

namespace {

// A location where no tool can be found: an empty resource directory and a missing candidate.
// The bare-name fallback is relative to the working directory, which holds no `orvu` either.
ToolLocation nowhere(const QTemporaryDir &dir) {
    return ToolLocation{dir.path(), {dir.filePath(QStringLiteral("missing/orvu"))}};
}

const QString kEmail = QStringLiteral("ann@example.org");

std::shared_ptr<CLIAuth> standInCLI(const StandInTool &tool) {
    return std::make_shared<CLIAuth>(tool::kDefaultServerURL, CLIRunner(tool.location()));
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

    // What the real pipes deliver: progress and junk before the auth line, a carriage return
    // at the end of a line, standard error with its line break.
    void signInStepsOverTheTool_data() {
        QTest::addColumn<bool>("verifying");
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<AuthState>("state");

        const AuthState awaiting = AuthState::awaitingVerification(kEmail);
        const AuthState ann = AuthState::signedIn(User::signInUser(kEmail, QStringLiteral("ann")));
        const QByteArray signedIn = R"({"type":"auth","authState":"signedIn",)"
                                    R"("email":"ann@example.org","username":"ann"})";
        QTest::newRow("link sent") << false
                                   << Response().out(R"({"type":"auth","authState":"pending",)"
                                                     R"("email":"ann@example.org"})"
                                                     "\n")
                                   << QString() << awaiting;
        QTest::newRow("signed in at once")
            << false << Response().out("{\"type\":\"progress\"}\nDone.\n" + signedIn + "\r\n")
            << QString() << ann;
        QTest::newRow("refused with stderr") << false << Response().err("invalid address\n").exit(1)
                                             << "invalid address" << AuthState();
        QTest::newRow("verified") << true << Response().out("Checking...\n" + signedIn + "\n")
                                  << QString() << ann;
        QTest::newRow("verified without email")
            << true
            << Response().out(R"({"type":"auth","authState":"signedIn"})"
                              "\n")
            << "Unexpected response from the orvu CLI" << awaiting;
    }
    void signInStepsOverTheTool() {
        QFETCH(bool, verifying);
        QFETCH(Response, response);
        QFETCH(QString, failure);
        QFETCH(AuthState, state);

        StandInTool tool;
        QVERIFY(tool.isValid());
        auto settings = std::make_shared<MemorySettingsStore>();
        AuthManager manager(standInCLI(tool), settings, std::nullopt);
        QString text;
        if (verifying) {
            tool.respond(QStringLiteral("login --email"), Response());
            QCOMPARE(std::get<bool>(QCoro::waitFor(manager.requestMagicLink(kEmail))), false);
            tool.respond(QStringLiteral("login --verify"), response);
            const auto result = QCoro::waitFor(manager.verify(QStringLiteral("orvu://v?t=1")));
            text = result ? describe(*result) : QString();
        } else {
            tool.respond(QStringLiteral("login --email"), response);
            const auto result = QCoro::waitFor(manager.requestMagicLink(kEmail));
            if (std::holds_alternative<SignInFailure>(result))
                text = describe(std::get<SignInFailure>(result));
        }
        QCOMPARE(text, failure);
        QCOMPARE(manager.authState(), state);

        const QStringList last = tool.invocations().last().arguments;
        QCOMPARE(last.mid(0, 2),
                 (QStringList{QStringLiteral("--server"), tool::kDefaultServerURL}));
        QCOMPARE(last.mid(2), verifying
                                  ? tool::loginWithVerification(QStringLiteral("orvu://v?t=1"))
                                  : tool::loginWithEmail(kEmail));
    }

    void legacyTokenLeftAloneWhenTheToolIsSignedIn() {
        StandInTool tool;
        QTemporaryDir home;
        const QString path = home.filePath(QStringLiteral("auth_token"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("tok\n");
        file.close();
        tool.respond(QStringLiteral("whoami"), Response().exit(0));
        AuthManager manager(standInCLI(tool), std::make_shared<MemorySettingsStore>(), path);

        QCoro::waitFor(manager.migrateLegacyToken());

        QCOMPARE(tool.invocations().size(), 1);
        QCOMPARE(tool.invocations().first().subcommand(), QStringLiteral("whoami"));
        QVERIFY(!QFile::exists(path));
    }

    void signOutWhileLogoutHangs() {
        StandInTool tool;
        tool.respond(QStringLiteral("logout"), Response().hangs());
        auto settings = std::make_shared<MemorySettingsStore>();
        auto manager = std::make_unique<AuthManager>(standInCLI(tool), settings, std::nullopt);
        manager->applySignedIn(kEmail, QStringLiteral("ann"));

        manager->signOut();
        QCOMPARE(manager->authState(), AuthState());
        QVERIFY(!manager->isAuthenticated());
        QCOMPARE(settings->keys(), QStringList());

        // The event loop keeps turning while the tool hangs.
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
