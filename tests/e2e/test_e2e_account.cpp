#include "core/account/auth_manager.h"
#include "core/account/cli_auth.h"
#include "core/cli/tool_commands.h"
#include "core/platform/qsettings_store.h"
#include "support/sandbox/orvu_local_sandbox.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>

using namespace orvu;
using orvu::test::OrvuLocalSandbox;

namespace {

const QString kEmail = QStringLiteral("ann@example.org");

// What the app itself would build, but finding the tool in the sandbox.
std::shared_ptr<CLIAuth> sandboxCLI(const OrvuLocalSandbox &sandbox) {
    return std::make_shared<CLIAuth>(tool::kDefaultServerURL,
                                     CLIRunner(ToolLocation{sandbox.toolDirectory(), {}}));
}

// Who the tool itself says is signed in, asked outside the app.
QString toolAuthState(const OrvuLocalSandbox &sandbox) {
    for (const QJsonObject &line : sandbox.orvu(tool::whoami()).lines()) {
        if (line.value(QStringLiteral("type")).toString() == QStringLiteral("auth"))
            return line.value(QStringLiteral("authState")).toString();
    }
    return {};
}

} // namespace

class TestE2EAccount : public QObject {
    Q_OBJECT

private slots:
    void magicLinkSignInRestoreAndSignOut_data() {
        QTest::addColumn<bool>("wholeLink");
        QTest::newRow("bare token") << false;
        QTest::newRow("whole link") << true;
    }
    void magicLinkSignInRestoreAndSignOut() {
        QFETCH(bool, wholeLink);
        OrvuLocalSandbox sandbox;
        const QString ini = sandbox.root() + QStringLiteral("/OrvuTray.conf");
        auto cli = sandboxCLI(sandbox);
        auto settings = std::make_shared<QSettingsStore>(ini);
        auto manager = std::make_unique<AuthManager>(cli, settings, std::nullopt);

        const auto requested = QCoro::waitFor(manager->requestMagicLink(kEmail));
        QVERIFY(std::holds_alternative<bool>(requested));
        QCOMPARE(std::get<bool>(requested), false);
        QCOMPARE(manager->authState(), AuthState::awaitingVerification(kEmail));
        QVERIFY(!manager->isAuthenticated());

        const OrvuLocalSandbox::Result mail = sandbox.admin({QStringLiteral("mail"), kEmail});
        QCOMPARE(mail.exitCode, 0);
        const QString link = QString::fromUtf8(mail.out).trimmed();
        const QString token = QUrlQuery(QUrl(link)).queryItemValue(QStringLiteral("token"));
        QVERIFY(!token.isEmpty());

        const auto failure = QCoro::waitFor(manager->verify(wholeLink ? link : token));
        QVERIFY2(!failure, failure ? qPrintable(describe(*failure)) : "");
        QVERIFY(manager->isAuthenticated());
        QCOMPARE(manager->currentUser()->email, kEmail);
        QCOMPARE(manager->authState(), AuthState::signedIn(*manager->currentUser()));
        QCOMPARE(toolAuthState(sandbox), QStringLiteral("signedIn"));

        // A later launch: a new manager over the same settings file.
        manager.reset();
        settings.reset();
        settings = std::make_shared<QSettingsStore>(ini);
        manager = std::make_unique<AuthManager>(cli, settings, std::nullopt);
        manager->restoreSignIn();
        QVERIFY(manager->isAuthenticated());
        QCOMPARE(manager->currentUser()->email, kEmail);
        QCoro::waitFor(manager->checkSignIn());
        QVERIFY(manager->isAuthenticated());
        QCOMPARE(settings->string(AuthManager::kUserEmailKey), std::optional(kEmail));

        manager->signOut();
        QVERIFY(!manager->isAuthenticated());
        QCOMPARE(manager->authState(), AuthState());
        QCOMPARE(QSettingsStore(ini).string(AuthManager::kUserEmailKey), std::nullopt);
        QTRY_VERIFY(toolAuthState(sandbox) != QStringLiteral("signedIn"));
    }

    void wrongTokenIsRefused() {
        OrvuLocalSandbox sandbox;
        AuthManager manager(
            sandboxCLI(sandbox),
            std::make_shared<QSettingsStore>(sandbox.root() + QStringLiteral("/t.conf")),
            std::nullopt);
        const auto failure = QCoro::waitFor(manager.verify(QStringLiteral("not-a-token")));
        QVERIFY(failure && std::holds_alternative<AuthError>(*failure));
        QVERIFY(!describe(*failure).isEmpty());
        QCOMPARE(manager.authState(), AuthState());
    }

    void legacyTokenIsTakenOver() {
        OrvuLocalSandbox sandbox;
        const QString token = QStringLiteral("legacy-0123456789");
        QCOMPARE(sandbox.admin({QStringLiteral("add-token"), kEmail, token}).exitCode, 0);

        // Where an older installation left it, with the line break it wrote.
        const QString path = AuthManager::defaultLegacyTokenPath();
        QVERIFY(path.startsWith(sandbox.root()));
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(token.toUtf8() + "\n");
        file.close();

        auto settings =
            std::make_shared<QSettingsStore>(sandbox.root() + QStringLiteral("/l.conf"));
        AuthManager manager(sandboxCLI(sandbox), settings);
        manager.restoreSignIn();
        QVERIFY(!manager.isAuthenticated());

        QTRY_VERIFY(manager.isAuthenticated());
        QCOMPARE(manager.currentUser()->email, kEmail);
        QVERIFY(!QFile::exists(path));
        QCOMPARE(settings->string(AuthManager::kUserEmailKey), std::optional(kEmail));
    }
};

QTEST_GUILESS_MAIN(TestE2EAccount)
#include "test_e2e_account.moc"
