#include "core/account/auth_manager.h"
#include "core/account/auth_output.h"
#include "core/account/legacy_token_file.h"
#include "core/cli/tool_commands.h"
#include "core/platform/memory_settings_store.h"
#include "scripted_cli.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace orvu;
using orvu::test::ScriptedCLI;
using Reply = ScriptedCLI::Reply;

using auth_output::AuthLine;

Q_DECLARE_METATYPE(orvu::test::ScriptedCLI::Reply)
Q_DECLARE_METATYPE(std::optional<orvu::auth_output::AuthLine>)

namespace {

const QString kEmail = QStringLiteral("ann@example.org");
const QString kNoTool = QStringLiteral("No such file or directory");

QString authLine(const QString &state, const QString &email, const QString &username = {}) {
    QString line = QStringLiteral("{\"type\":\"auth\",\"authState\":\"%1\",\"email\":\"%2\"")
                       .arg(state, email);
    if (!username.isNull())
        line += QStringLiteral(",\"username\":\"%1\"").arg(username);
    return line + QStringLiteral("}\n");
}

Reply ran(const QString &out, int exitCode = 0, const QString &err = {}) {
    return Reply{CLIAuthResult{out, err, exitCode}};
}
Reply noTool() {
    return Reply{LaunchError{kNoTool}};
}

AuthState signedInAs(const QString &email, std::optional<QString> username = std::nullopt) {
    return AuthState::signedIn(User::signInUser(email, std::move(username)));
}

// "true"/"false" for a request that went through, else the failure's text.
QString answerText(const std::variant<bool, SignInFailure> &result) {
    if (const bool *atOnce = std::get_if<bool>(&result))
        return *atOnce ? QStringLiteral("true") : QStringLiteral("false");
    return describe(std::get<SignInFailure>(result));
}

// One manager over a scripted tool and an in-memory store, as each test needs them.
struct Fixture {
    std::shared_ptr<ScriptedCLI> cli = std::make_shared<ScriptedCLI>();
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    QTemporaryDir home;
    QString tokenPath = home.filePath(QStringLiteral("auth_token"));
    std::unique_ptr<AuthManager> manager = std::make_unique<AuthManager>(cli, settings, tokenPath);

    // "<fifo>" and "<dir>" put what cannot be a token file in its place.
    void writeToken(const QByteArray &bytes) const {
        if (bytes == "<fifo>")
            QCOMPARE(::mkfifo(QFile::encodeName(tokenPath).constData(), 0600), 0);
        if (bytes == "<dir>")
            QVERIFY(QDir().mkdir(tokenPath));
        if (bytes.startsWith('<'))
            return;
        QFile file(tokenPath);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    // "email|username", "-" for a key not stored.
    QString stored() const {
        return settings->string(AuthManager::kUserEmailKey).value_or("-") + '|' +
               settings->string(AuthManager::kUsernameKey).value_or("-");
    }
    // The three published values agree with `state`.
    void expectState(const AuthState &state) const {
        QCOMPARE(manager->authState(), state);
        QCOMPARE(manager->currentUser(), state.user());
        QCOMPARE(manager->isAuthenticated(), state.user().has_value());
    }
};

} // namespace

class TestAuthManager : public QObject {
    Q_OBJECT

private slots:
    // The three sign-in steps turn the tool's reply into state the same way: `answer` is the
    // request's true/false or any step's failure text.
    void signInSteps_data() {
        QTest::addColumn<QString>("step");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<AuthState>("state");
        QTest::addColumn<QString>("stored");

        const AuthState none;
        const AuthState awaiting = AuthState::awaitingVerification(kEmail);
        const QString ann = authLine("signedIn", kEmail, "ann");
        const QString unexpected = QStringLiteral("Unexpected response from the orvu CLI");
        // The state shows the tool's spelling; the store keeps what the user typed.
        QTest::newRow("tool spells the address")
            << "link" << ran(authLine("signedOut", "ANN@x")) << "false"
            << AuthState::awaitingVerification("ANN@x") << kEmail + "|old";
        QTest::newRow("signed in at once")
            << "link" << ran("{\"type\":\"progress\"}\n" + authLine("signedIn", "a@x", "ann"))
            << "true" << signedInAs("a@x", "ann") << "a@x|ann";
        QTest::newRow("empty username drops the old one")
            << "link" << ran(authLine("signedIn", kEmail, "")) << "true" << signedInAs(kEmail)
            << kEmail + "|-";
        QTest::newRow("link: no tool") << "link" << noTool() << kNoTool << none << "-|old";

        QTest::newRow("verify: signed in but failed")
            << "verify" << ran(ann, 5) << "orvu CLI exited with code 5" << awaiting
            << kEmail + "|old";
        QTest::newRow("verify: line without email")
            << "verify" << ran("{\"type\":\"auth\",\"authState\":\"signedIn\"}") << unexpected
            << awaiting << kEmail + "|old";

        // Only a definite "nobody" signs out; an unreachable server or a crash keeps the user.
        const AuthState kept = signedInAs(kEmail, "ann");
        QTest::newRow("nobody") << "check" << ran(authLine("signedOut", "")) << "" << none << "-|-";
        QTest::newRow("auth required") << "check" << ran(ann, 2) << "" << none << "-|-";
        QTest::newRow("offline") << "check" << ran("", 3) << "" << kept << kEmail + "|ann";
        QTest::newRow("crashed") << "check" << ran(ann, tool::kExitCrashed) << "" << kept
                                 << kEmail + "|ann";
    }
    void signInSteps() {
        QFETCH(QString, step);
        QFETCH(Reply, reply);
        QFETCH(QString, answer);
        QFETCH(AuthState, state);
        QFETCH(QString, stored);

        Fixture f;
        f.settings->setString(AuthManager::kUsernameKey, QStringLiteral("old"));
        // A pasted link travels unchanged.
        const QString link = QStringLiteral("orvu://verify?token=a b&x=1");
        QString got;
        QStringList expectedCall;
        if (step == QLatin1String("link")) {
            f.cli->on({"login"}, reply);
            got = answerText(QCoro::waitFor(f.manager->requestMagicLink(kEmail)));
            expectedCall = tool::loginWithEmail(kEmail);
        } else if (step == QLatin1String("verify")) {
            f.cli->on({"login", "--verify"}, reply);
            QCOMPARE(answerText(QCoro::waitFor(f.manager->requestMagicLink(kEmail))), "false");
            const auto failure = QCoro::waitFor(f.manager->verify(link));
            got = failure ? describe(*failure) : QString();
            expectedCall = tool::loginWithVerification(link);
        } else {
            f.manager->applySignedIn(kEmail, QStringLiteral("ann"));
            f.cli->on({"whoami"}, reply);
            QCoro::waitFor(f.manager->checkSignIn());
            expectedCall = tool::whoami();
        }
        QCOMPARE(f.cli->calls().last(), expectedCall);
        QCOMPARE(got, answer);
        f.expectState(state);
        QCOMPARE(f.stored(), stored);
    }

    void restoreSignIn_data() {
        QTest::addColumn<QString>("stored"); // "email|username" or "email"
        QTest::addColumn<Reply>("whoami");
        QTest::addColumn<AuthState>("settled");
        const Reply ann = ran(authLine("signedIn", kEmail, "ann"));
        QTest::newRow("stored, still signed in")
            << kEmail + "|ann" << ann << signedInAs(kEmail, "ann");
        QTest::newRow("stored without username") << kEmail << ann << signedInAs(kEmail, "ann");
        QTest::newRow("stored, no tool") << kEmail + "|ann" << noTool() << AuthState();
        QTest::newRow("stored, offline") << kEmail << ran("", 3) << signedInAs(kEmail);
    }
    void restoreSignIn() {
        QFETCH(QString, stored);
        QFETCH(Reply, whoami);
        QFETCH(AuthState, settled);

        Fixture f;
        const QStringList keys = stored.split('|');
        f.settings->setString(AuthManager::kUserEmailKey, keys[0]);
        if (keys.size() > 1)
            f.settings->setString(AuthManager::kUsernameKey, keys[1]);
        f.cli->on({}, whoami);

        f.manager->restoreSignIn();

        // Optimistic at once, before the tool has answered.
        f.expectState(signedInAs(keys[0], keys.size() > 1 ? std::optional(keys[1]) : std::nullopt));
        QCOMPARE(f.cli->finishedRuns(), 0);

        QTRY_COMPARE(f.cli->finishedRuns(), 1);
        f.expectState(settled);
        const auto user = settled.user();
        QCOMPARE(f.stored(), user ? user->email + '|' + user->username.value_or("-") : "-|-");
    }

    // A check whose answer comes after a sign-out or another sign-in never overrides it.
    void checkAnsweredTooLate_data() {
        QTest::addColumn<bool>("signOut");
        QTest::newRow("signed out meanwhile") << true;
        QTest::newRow("signed in meanwhile") << false;
    }
    void checkAnsweredTooLate() {
        QFETCH(bool, signOut);
        Fixture f;
        f.cli->on({"whoami"}, signOut ? ran(authLine("signedIn", kEmail)) : ran("", 2));
        QCoro::Task<> check = f.manager->checkSignIn();
        if (signOut)
            f.manager->signOut();
        else
            f.manager->applySignedIn(kEmail, QStringLiteral("ann"));
        QCoro::waitFor(check);
        f.expectState(signOut ? AuthState() : signedInAs(kEmail, "ann"));
        QCOMPARE(f.stored(), signOut ? "-|-" : kEmail + "|ann");
    }

    void migrateLegacyToken_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Reply>("whoami");
        QTest::addColumn<QString>("loginToken"); // null: no login run

        const Reply signedOut = ran(authLine("signedIn", kEmail), 1);
        QTest::newRow("token handed over") << QByteArray(" \n tok-1\r\n\t") << signedOut << "tok-1";
        QTest::newRow("no tool: still tried") << QByteArray("tok-1") << noTool() << "tok-1";
        QTest::newRow("tool already signed in")
            << QByteArray("tok-1") << ran(authLine("signedIn", kEmail)) << QString();
        QTest::newRow("only white space") << QByteArray(" \n\t\r\n") << signedOut << QString();
        QTest::newRow("over the size limit")
            << QByteArray(kLegacyTokenMaxBytes + 1, 'a') << signedOut << QString();
        // A FIFO without a writer would block a plain read forever.
        QTest::newRow("fifo") << QByteArray("<fifo>") << signedOut << QString();
        QTest::newRow("directory") << QByteArray("<dir>") << signedOut << QString();
        QTest::newRow("no file: nothing runs") << QByteArray("<none>") << signedOut << QString();
    }
    void migrateLegacyToken() {
        QFETCH(QByteArray, content);
        QFETCH(Reply, whoami);
        QFETCH(QString, loginToken);

        Fixture f;
        f.writeToken(content);
        f.cli->on({"whoami"}, whoami);
        f.cli->on({"login"}, ran("", 1));
        QSignalSpy changes(f.manager.get(), &AuthManager::authStateChanged);

        QCoro::waitFor(f.manager->migrateLegacyToken());

        QList<QStringList> expected;
        if (content != "<none>")
            expected.append(tool::whoami());
        if (!loginToken.isNull())
            expected.append(tool::loginWithToken(loginToken));
        QCOMPARE(f.cli->calls(), expected);
        QCOMPARE(QFileInfo::exists(f.tokenPath), content == "<dir>");
        QCOMPARE(changes.count(), 0);
        QCOMPARE(f.settings->keys(), QStringList());
    }

    void managerGoneBeforeTheAnswer() {
        Fixture f;
        f.cli->on({"login", "--verify"}, ran(authLine("signedIn", kEmail)));
        auto task = f.manager->verify(QStringLiteral("tok"));
        f.manager.reset();
        QCOMPARE(QCoro::waitFor(std::move(task)), std::nullopt);
        QCOMPARE(f.settings->keys(), QStringList());
    }

    // Reading the sign-in output; line splitting and error text are tool_output's.
    void findsTheFirstMatchingAuthLine_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<std::optional<AuthLine>>("expected");

        const AuthLine ann{true, QStringLiteral("a@x"), QStringLiteral("ann")};
        const AuthLine bOut{false, QStringLiteral("b@x"), std::nullopt};
        const QString bLine = authLine("signedOut", "b@x");
        QTest::newRow("first match wins")
            << authLine("signedIn", "a@x", "ann") + bLine << std::optional(ann);
        QTest::newRow("line without email skipped") << R"({"type":"auth","authState":"signedIn"})"
                                                       "\n" +
                                                           bLine
                                                    << std::optional(bOut);
        QTest::newRow("authState not a string")
            << R"({"type":"auth","authState":true,"email":"a@x"})" << std::optional<AuthLine>();
        QTest::newRow("other state is not signed in")
            << authLine("SignedIn", "b@x") << std::optional(bOut);
        QTest::newRow("nothing") << QString() << std::optional<AuthLine>();
    }
    void findsTheFirstMatchingAuthLine() {
        QFETCH(QString, output);
        QFETCH(std::optional<AuthLine>, expected);
        QCOMPARE(auth_output::findAuthLine(output), expected);
    }

    // With nothing from the tool, the exit code is the last resort.
    void failureTextOfARun_data() {
        QTest::addColumn<QString>("standardError");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected");
        QTest::newRow("fallback") << " \r\n" << 1 << "orvu CLI exited with code 1";
        QTest::newRow("negative code") << QString() << -15 << "orvu CLI exited with code -15";
        QTest::newRow("crashed") << "Segmentation fault" << tool::kExitCrashed
                                 << "The orvu tool stopped unexpectedly";
    }
    void failureTextOfARun() {
        QFETCH(QString, standardError);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        const AuthError error = auth_output::failureOf(CLIAuthResult{{}, standardError, exitCode});
        QCOMPARE(error.kind(), AuthError::Kind::CliFailed);
        QCOMPARE(error.description(), expected);
    }
};

QTEST_GUILESS_MAIN(TestAuthManager)
#include "test_auth_manager.moc"
