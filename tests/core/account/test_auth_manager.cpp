#include "core/account/auth_manager.h"
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

namespace orvu {
char *toString(const AuthState &state) {
    switch (state.kind()) {
    case AuthState::Kind::SignedOut:
        return qstrdup("signedOut");
    case AuthState::Kind::AwaitingVerification:
        return qstrdup(qPrintable("awaitingVerification(" + *state.pendingEmail() + ")"));
    case AuthState::Kind::SignedIn: {
        const User user = *state.user();
        return qstrdup(
            qPrintable("signedIn(" + user.email + ", " + user.username.value_or("-") + ")"));
    }
    }
    return nullptr;
}
} // namespace orvu

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

const QString kEmail = QStringLiteral("ann@example.org");

QString authLine(const QString &state, const QString &email, const QString &username = {}) {
    QString line = QStringLiteral("{\"type\":\"auth\",\"authState\":\"%1\",\"email\":\"%2\"")
                       .arg(state, email);
    if (!username.isNull())
        line += QStringLiteral(",\"username\":\"%1\"").arg(username);
    return line + QStringLiteral("}\n");
}

AuthState signedInAs(const QString &email, std::optional<QString> username = std::nullopt) {
    return AuthState::signedIn(User::signInUser(email, std::move(username)));
}

// One manager over a scripted tool and an in-memory store, as each test needs them.
struct Fixture {
    std::shared_ptr<ScriptedCLI> cli = std::make_shared<ScriptedCLI>();
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    QTemporaryDir home;
    QString tokenPath = home.filePath(QStringLiteral("auth_token"));
    std::unique_ptr<AuthManager> manager = std::make_unique<AuthManager>(cli, settings, tokenPath);

    ~Fixture() { cli->gate().open(); }

    std::optional<QString> storedEmail() const {
        return settings->string(AuthManager::kUserEmailKey);
    }
    std::optional<QString> storedUsername() const {
        return settings->string(AuthManager::kUsernameKey);
    }
    void writeToken(const QByteArray &bytes) const {
        QFile file(tokenPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
};

} // namespace

class TestAuthManager : public QObject {
    Q_OBJECT

private slots:
    void requestMagicLink_data() {
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("launchFails");
        QTest::addColumn<QString>("failure"); // empty when the request succeeds
        QTest::addColumn<bool>("signedInAtOnce");
        QTest::addColumn<AuthState>("state");
        QTest::addColumn<std::optional<QString>>("storedEmail");
        QTest::addColumn<std::optional<QString>>("storedUsername");

        const std::optional<QString> none;
        const std::optional<QString> old = QStringLiteral("old");
        QTest::newRow("link sent, no output")
            << QString() << QString() << 0 << false << QString() << false
            << AuthState::awaitingVerification(kEmail) << std::optional(kEmail) << old;
        // The state shows the tool's spelling; the store keeps what the user typed.
        QTest::newRow("link sent, tool spells the address")
            << authLine("signedOut", "ANN@example.org") << QString() << 0 << false << QString()
            << false << AuthState::awaitingVerification("ANN@example.org") << std::optional(kEmail)
            << old;
        QTest::newRow("signed in at once after noise")
            << "{\"type\":\"progress\"}\nnot json\n" + authLine("signedIn", "a@x", "ann")
            << QString() << 0 << false << QString() << true << signedInAs("a@x", "ann")
            << std::optional<QString>("a@x") << std::optional<QString>("ann");
        QTest::newRow("signed in, empty username")
            << authLine("signedIn", kEmail, "") << QString() << 0 << false << QString() << true
            << signedInAs(kEmail) << std::optional(kEmail) << none;
        QTest::newRow("error line") << "{\"type\":\"error\",\"error\":\"Invalid e-mail\"}\n"
                                    << "stderr text" << 1 << false << "Invalid e-mail" << false
                                    << AuthState() << none << old;
        QTest::newRow("no text") << QString() << QString() << 1 << false
                                 << "orvu CLI exited with code 1" << false << AuthState() << none
                                 << old;
        QTest::newRow("launch error")
            << QString() << QString() << 0 << true << "No such file or directory" << false
            << AuthState() << none << old;
    }
    void requestMagicLink() {
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(int, exitCode);
        QFETCH(bool, launchFails);
        QFETCH(QString, failure);
        QFETCH(bool, signedInAtOnce);
        QFETCH(AuthState, state);
        QFETCH(std::optional<QString>, storedEmail);
        QFETCH(std::optional<QString>, storedUsername);

        Fixture f;
        f.settings->setString(AuthManager::kUsernameKey, QStringLiteral("old"));
        if (launchFails)
            f.cli->failLaunch({"login"});
        else
            f.cli->on({"login"}, out, exitCode, err);
        QSignalSpy authenticated(f.manager.get(), &AuthManager::isAuthenticatedChanged);

        const auto result = QCoro::waitFor(f.manager->requestMagicLink(kEmail));

        QCOMPARE(f.cli->calls(), QList<QStringList>{tool::loginWithEmail(kEmail)});
        if (failure.isEmpty()) {
            QVERIFY(std::holds_alternative<bool>(result));
            QCOMPARE(std::get<bool>(result), signedInAtOnce);
        } else {
            QVERIFY(std::holds_alternative<SignInFailure>(result));
            QCOMPARE(describe(std::get<SignInFailure>(result)), failure);
            QCOMPARE(std::get<SignInFailure>(result).index(), launchFails ? 1u : 0u);
        }
        QCOMPARE(f.manager->authState(), state);
        QCOMPARE(f.manager->isAuthenticated(), signedInAtOnce);
        QCOMPARE(f.manager->currentUser(), state.user());
        QCOMPARE(authenticated.count(), signedInAtOnce ? 1 : 0);
        QCOMPARE(f.storedEmail(), storedEmail);
        QCOMPARE(f.storedUsername(), storedUsername);
    }

    void awaitingLeavesASignedInUserInPlace() {
        Fixture f;
        f.manager->applySignedIn(QStringLiteral("b@x"), QStringLiteral("bo"));
        QCOMPARE(std::get<bool>(QCoro::waitFor(f.manager->requestMagicLink(kEmail))), false);
        QCOMPARE(f.manager->authState(), AuthState::awaitingVerification(kEmail));
        QVERIFY(f.manager->isAuthenticated());
        QCOMPARE(f.manager->currentUser(), signedInAs("b@x", "bo").user());
    }

    void verify_data() {
        QTest::addColumn<QString>("out");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("launchFails");
        QTest::addColumn<QString>("failure");

        QTest::newRow("signed in")
            << authLine("signedIn", kEmail, "ann") << 0 << false << QString();
        QTest::newRow("expired token")
            << "{\"type\":\"error\",\"error\":\"Token expired\"}" << 1 << false << "Token expired";
        QTest::newRow("signed in but failed")
            << authLine("signedIn", kEmail, "ann") << 5 << false << "orvu CLI exited with code 5";
        QTest::newRow("launch error") << QString() << 0 << true << "No such file or directory";
    }
    void verify() {
        QFETCH(QString, out);
        QFETCH(int, exitCode);
        QFETCH(bool, launchFails);
        QFETCH(QString, failure);

        Fixture f;
        f.settings->setString(AuthManager::kUserEmailKey, kEmail);
        QCOMPARE(std::get<bool>(QCoro::waitFor(f.manager->requestMagicLink(kEmail))), false);
        if (launchFails)
            f.cli->failLaunch({"login", "--verify"});
        else
            f.cli->on({"login", "--verify"}, out, exitCode);

        // A pasted link travels unchanged.
        const QString link = QStringLiteral("orvu://verify?token=a b&x=1");
        const auto result = QCoro::waitFor(f.manager->verify(link));

        QCOMPARE(f.cli->calls().last(), tool::loginWithVerification(link));
        if (failure.isEmpty()) {
            QCOMPARE(result, std::nullopt);
            QCOMPARE(f.manager->authState(), signedInAs(kEmail, "ann"));
            QVERIFY(f.manager->isAuthenticated());
            QCOMPARE(f.storedUsername(), std::optional<QString>("ann"));
        } else {
            QVERIFY(result.has_value());
            QCOMPARE(describe(*result), failure);
            QCOMPARE(f.manager->authState(), AuthState::awaitingVerification(kEmail));
            QVERIFY(!f.manager->isAuthenticated());
            QCOMPARE(f.storedUsername(), std::nullopt);
        }
        QCOMPARE(f.storedEmail(), std::optional(kEmail));
    }

    void checkSignIn_data() {
        QTest::addColumn<QString>("out");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("launchFails");
        QTest::addColumn<AuthState>("state");

        QTest::newRow("fresh values")
            << authLine("signedIn", "new@x", "neo") << 0 << false << signedInAs("new@x", "neo");
        QTest::newRow("fresh values without username")
            << authLine("signedIn", "new@x") << 0 << false << signedInAs("new@x");
        QTest::newRow("nobody") << authLine("signedOut", "") << 0 << false << AuthState();
        QTest::newRow("no auth line") << "{\"type\":\"status\"}" << 0 << false << AuthState();
        QTest::newRow("auth required")
            << authLine("signedIn", "new@x", "neo") << 2 << false << AuthState();
        QTest::newRow("no tool") << QString() << 0 << true << AuthState();
    }
    void checkSignIn() {
        QFETCH(QString, out);
        QFETCH(int, exitCode);
        QFETCH(bool, launchFails);
        QFETCH(AuthState, state);

        Fixture f;
        f.manager->applySignedIn(kEmail, QStringLiteral("ann"));
        if (launchFails)
            f.cli->failLaunch({"whoami"});
        else
            f.cli->on({"whoami"}, out, exitCode);

        QCoro::waitFor(f.manager->checkSignIn());

        QCOMPARE(f.cli->calls(), QList<QStringList>{tool::whoami()});
        QCOMPARE(f.manager->authState(), state);
        QCOMPARE(f.manager->currentUser(), state.user());
        QCOMPARE(f.manager->isAuthenticated(), state.user().has_value());
        const auto user = state.user();
        QCOMPARE(f.storedEmail(), user ? std::optional(user->email) : std::nullopt);
        QCOMPARE(f.storedUsername(), user ? user->username : std::nullopt);
    }

    void restoreSignIn_data() {
        QTest::addColumn<std::optional<QString>>("email");
        QTest::addColumn<std::optional<QString>>("username");
        QTest::addColumn<bool>("toolInstalled");
        QTest::addColumn<AuthState>("finalState");

        const std::optional<QString> none;
        QTest::newRow("stored, still signed in")
            << std::optional(kEmail) << std::optional<QString>("ann") << true
            << signedInAs(kEmail, "ann");
        QTest::newRow("stored without username")
            << std::optional(kEmail) << none << true << signedInAs(kEmail, "ann");
        QTest::newRow("stored, no tool")
            << std::optional(kEmail) << std::optional<QString>("ann") << false << AuthState();
        QTest::newRow("nothing stored, tool signed in")
            << none << none << true << signedInAs(kEmail, "ann");
        QTest::newRow("nothing stored, no tool") << none << none << false << AuthState();
    }
    void restoreSignIn() {
        QFETCH(std::optional<QString>, email);
        QFETCH(std::optional<QString>, username);
        QFETCH(bool, toolInstalled);
        QFETCH(AuthState, finalState);

        Fixture f;
        if (email)
            f.settings->setString(AuthManager::kUserEmailKey, *email);
        if (username)
            f.settings->setString(AuthManager::kUsernameKey, *username);
        if (toolInstalled)
            f.cli->on({"whoami"}, authLine("signedIn", kEmail, "ann"));
        else
            f.cli->failLaunch({});
        QList<AuthState> seen;
        connect(f.manager.get(), &AuthManager::authStateChanged,
                [&](const AuthState &state) { seen.append(state); });

        f.manager->restoreSignIn();

        // Optimistic at once, before the tool has answered.
        const AuthState optimistic = email ? signedInAs(*email, username) : AuthState();
        QCOMPARE(f.manager->authState(), optimistic);
        QCOMPARE(f.manager->isAuthenticated(), email.has_value());
        QCOMPARE(f.manager->currentUser(), optimistic.user());
        QCOMPARE(f.cli->finishedRuns(), 0);

        QTRY_COMPARE(f.cli->finishedRuns(), 1);
        QCOMPARE(f.cli->calls(), QList<QStringList>{tool::whoami()});
        QCOMPARE(f.manager->authState(), finalState);
        QCOMPARE(f.manager->isAuthenticated(), finalState.user().has_value());
        if (finalState.user()) {
            QCOMPARE(f.storedEmail(), std::optional(kEmail));
            QCOMPARE(f.storedUsername(), std::optional<QString>("ann"));
        } else {
            QCOMPARE(f.settings->keys(), QStringList());
        }
        QList<AuthState> expected;
        if (email)
            expected.append(optimistic);
        if (finalState != optimistic)
            expected.append(finalState);
        QCOMPARE(seen, expected);
    }

    void migrateLegacyToken_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("whoamiExit"); // -1: the tool cannot be started
        QTest::addColumn<std::optional<QString>>("loginToken");

        const std::optional<QString> none;
        QTest::newRow("token handed over")
            << QByteArray(" \n tok-123\r\n\t") << 1 << std::optional<QString>("tok-123");
        QTest::newRow("no tool: still tried")
            << QByteArray("tok-123") << -1 << std::optional<QString>("tok-123");
        QTest::newRow("tool already signed in") << QByteArray("tok-123") << 0 << none;
        QTest::newRow("only white space") << QByteArray(" \n\t\r\n") << 1 << none;
        QTest::newRow("empty") << QByteArray() << 1 << none;
        QTest::newRow("not UTF-8") << QByteArray("tok\xff\xfe") << 1 << none;
        QTest::newRow("at the size limit") << QByteArray(kLegacyTokenMaxBytes, 'a') << 1
                                           << std::optional(QString(kLegacyTokenMaxBytes, u'a'));
        QTest::newRow("over the size limit")
            << QByteArray(kLegacyTokenMaxBytes + 1, 'a') << 1 << none;
    }
    void migrateLegacyToken() {
        QFETCH(QByteArray, content);
        QFETCH(int, whoamiExit);
        QFETCH(std::optional<QString>, loginToken);

        Fixture f;
        f.writeToken(content);
        if (whoamiExit < 0)
            f.cli->failLaunch({"whoami"});
        else
            f.cli->on({"whoami"}, authLine("signedIn", kEmail), whoamiExit);
        f.cli->on({"login"}, QString(), 1);
        QSignalSpy changes(f.manager.get(), &AuthManager::authStateChanged);

        QCoro::waitFor(f.manager->migrateLegacyToken());

        QList<QStringList> expected{tool::whoami()};
        if (loginToken)
            expected.append(tool::loginWithToken(*loginToken));
        QCOMPARE(f.cli->calls(), expected);
        QVERIFY(!QFile::exists(f.tokenPath));
        QCOMPARE(changes.count(), 0);
        QCOMPARE(f.settings->keys(), QStringList());
    }

    void migrationSkipsWhatCannotBeAToken_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("fifo") << "fifo";
        QTest::newRow("directory") << "directory";
    }
    void migrationSkipsWhatCannotBeAToken() {
        QFETCH(QString, kind);
        Fixture f;
        if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(f.tokenPath).constData(), 0600), 0);
        else
            QVERIFY(QDir().mkdir(f.tokenPath));
        f.cli->on({"whoami"}, QString(), 1);

        // A FIFO without a writer would block a plain read forever.
        QCoro::waitFor(f.manager->migrateLegacyToken());

        QCOMPARE(f.cli->calls(), QList<QStringList>{tool::whoami()});
        if (kind == QLatin1String("fifo"))
            QVERIFY(!QFileInfo::exists(f.tokenPath));
    }

    void migrationWithoutAFileRunsNothing() {
        Fixture f;
        QCoro::waitFor(f.manager->migrateLegacyToken());
        AuthManager withoutPath(f.cli, f.settings, std::nullopt);
        QCoro::waitFor(withoutPath.migrateLegacyToken());
        QCOMPARE(f.cli->calls(), QList<QStringList>());
    }

    void restoreMigratesBeforeChecking() {
        Fixture f;
        f.writeToken("tok-9");
        f.cli->on({"whoami"}, QString(), 2);
        f.manager->restoreSignIn();
        QTRY_COMPARE(f.cli->finishedRuns(), 3);
        QCOMPARE(f.cli->calls(), (QList<QStringList>{tool::whoami(), tool::loginWithToken("tok-9"),
                                                     tool::whoami()}));
        QVERIFY(!QFile::exists(f.tokenPath));
    }

    void signOutWhileTheToolHangs() {
        Fixture f;
        f.manager->applySignedIn(kEmail, QStringLiteral("ann"));
        f.cli->hang({"logout"});

        f.manager->signOut();

        QCOMPARE(f.cli->calls(), QList<QStringList>{tool::logout()});
        QCOMPARE(f.manager->authState(), AuthState());
        QVERIFY(!f.manager->isAuthenticated());
        QCOMPARE(f.manager->currentUser(), std::nullopt);
        QCOMPARE(f.settings->keys(), QStringList());
        QTest::qWait(20);
        QCOMPARE(f.cli->finishedRuns(), 0);

        // The manager may go away while logout is still out; the late answer touches nothing.
        f.manager.reset();
        f.cli->gate().open();
        QTRY_COMPARE(f.cli->finishedRuns(), 1);
    }

    // Observers re-read everything on each announcement, so the order of the assignments and of
    // the key writes is what they see.
    void announcementOrder_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("applySignedIn")
            << "apply" << QStringList{"user:stored=0", "authenticated:stored=0", "state:stored=0"};
        QTest::newRow("clearSignIn")
            << "clear" << QStringList{"user:stored=1", "authenticated:stored=1", "state:stored=1"};
        QTest::newRow("signOut") << "signOut"
                                 << QStringList{"user:stored=0", "authenticated:stored=0",
                                                "state:stored=0"};
    }
    void announcementOrder() {
        QFETCH(QString, operation);
        QFETCH(QStringList, expected);
        Fixture f;
        if (operation != QLatin1String("apply"))
            f.manager->applySignedIn(kEmail, QStringLiteral("ann"));
        QStringList seen;
        auto note = [&](const char *what) {
            seen.append(QString::fromLatin1(what) +
                        ":stored=" + QString::number(f.storedEmail().has_value()));
        };
        connect(f.manager.get(), &AuthManager::currentUserChanged, [&] { note("user"); });
        connect(f.manager.get(), &AuthManager::isAuthenticatedChanged,
                [&] { note("authenticated"); });
        connect(f.manager.get(), &AuthManager::authStateChanged, [&] { note("state"); });

        if (operation == QLatin1String("apply"))
            f.manager->applySignedIn(kEmail, std::nullopt);
        else if (operation == QLatin1String("clear"))
            f.manager->clearSignIn();
        else
            f.manager->signOut();
        QCOMPARE(seen, expected);
    }

    void managerGoneBeforeTheAnswer() {
        Fixture f;
        f.cli->on({"login", "--verify"}, authLine("signedIn", kEmail));
        auto task = f.manager->verify(QStringLiteral("tok"));
        f.manager.reset();
        QCOMPARE(QCoro::waitFor(std::move(task)), std::nullopt);
        QCOMPARE(f.settings->keys(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestAuthManager)
#include "test_auth_manager.moc"
