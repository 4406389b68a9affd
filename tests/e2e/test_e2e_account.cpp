#include "core/account/auth_manager.h"
#include "core/account/cli_auth.h"
#include "core/cli/tool_commands.h"
#include "core/platform/qsettings_store.h"
#include "support/quiesce/child_processes.h"
#include "support/sandbox/orvu_local_sandbox.h"

#include <QTest>
#include <QUrl>
#include <QUrlQuery>

using namespace orvu;
using orvu::test::OrvuLocalSandbox;

namespace {

const QString kEmail = QStringLiteral("ann@example.org");

// What the app itself would build, but finding the tool in the sandbox and keeping settings in
// `conf` under its root.
std::unique_ptr<AuthManager> managerIn(const OrvuLocalSandbox &sandbox, const QString &conf) {
    return std::make_unique<AuthManager>(
        std::make_shared<CLIAuth>(tool::kDefaultServerURL,
                                  CLIRunner(ToolLocation{sandbox.toolDirectory(), {}})),
        std::make_shared<QSettingsStore>(sandbox.root() + '/' + conf), std::nullopt);
}

QString storedEmail(const OrvuLocalSandbox &sandbox, const QString &conf) {
    return QSettingsStore(sandbox.root() + '/' + conf)
        .string(AuthManager::kUserEmailKey)
        .value_or(QString());
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
    // The bare token; the sign-in window's test signs in with the whole link.
    void magicLinkSignInRestoreAndSignOut() {
        OrvuLocalSandbox sandbox;
        auto manager = managerIn(sandbox, "OrvuTray.conf");

        QCOMPARE(std::get<bool>(QCoro::waitFor(manager->requestMagicLink(kEmail))), false);
        QCOMPARE(manager->authState(), AuthState::awaitingVerification(kEmail));

        const OrvuLocalSandbox::Result mail = sandbox.admin({QStringLiteral("mail"), kEmail});
        QCOMPARE(mail.exitCode, 0);
        const QString link = QString::fromUtf8(mail.out).trimmed();
        const QString token = QUrlQuery(QUrl(link)).queryItemValue(QStringLiteral("token"));
        QVERIFY(!token.isEmpty());

        const auto failure = QCoro::waitFor(manager->verify(token));
        QVERIFY2(!failure, failure ? qPrintable(describe(*failure)) : "");
        QCOMPARE(manager->currentUser()->email, kEmail);
        QCOMPARE(toolAuthState(sandbox), QStringLiteral("signedIn"));

        // Later launches over the same settings file: without the network the stored sign-in
        // stands; with it, the tool confirms it.
        for (const char *offline : {"on", "off"}) {
            QCOMPARE(sandbox.admin({QStringLiteral("offline"), offline}).exitCode, 0);
            manager = managerIn(sandbox, "OrvuTray.conf");
            manager->restoreSignIn();
            QCoro::waitFor(manager->checkSignIn());
            QCOMPARE(manager->currentUser().value_or(User()).email, kEmail);
            QCOMPARE(storedEmail(sandbox, "OrvuTray.conf"), kEmail);
        }

        manager->signOut();
        QCOMPARE(manager->authState(), AuthState());
        QCOMPARE(storedEmail(sandbox, "OrvuTray.conf"), QString());
        QTRY_VERIFY(toolAuthState(sandbox) != QStringLiteral("signedIn"));
        orvu::test::waitForToolRunsToEnd(); // the logout nobody waits for
    }
};

QTEST_GUILESS_MAIN(TestE2EAccount)
#include "test_e2e_account.moc"
