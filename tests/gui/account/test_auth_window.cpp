#include "core/account/auth_manager.h"
#include "core/account/cli_auth.h"
#include "core/cli/tool_commands.h"
#include "core/platform/memory_settings_store.h"
#include "gui/account/auth_window.h"
#include "support/quiesce/child_processes.h"
#include "support/sandbox/orvu_local_sandbox.h"
#include "support/stand_in/stand_in_tool.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QUrlQuery>

using namespace orvu;

namespace {

const QString kEmail = QStringLiteral("ann@example.org");

// A shown sign-in window over a manager that runs the tool found at `location`.
struct Signing {
    AuthManager manager;
    std::unique_ptr<AuthWindow> window;
    explicit Signing(const ToolLocation &location)
        : manager(std::make_shared<CLIAuth>(tool::kDefaultServerURL, CLIRunner(location)),
                  std::make_shared<MemorySettingsStore>(), std::nullopt),
          window(std::make_unique<AuthWindow>(manager)) {
        window->setupUI();
        window->show();
    }
    ~Signing() { test::waitForToolRunsToEnd(); }
    template <class T> T *get(const char *name) { return window->findChild<T *>(name); }
    QString status() { return get<QLabel>("statusLabel")->text(); }
    QColor color() { return get<QLabel>("statusLabel")->palette().color(QPalette::WindowText); }
    QColor tone(StatusTone tone) { return statusColor(tone, {}, window->palette()); }
};

} // namespace

class TestAuthWindow : public QObject {
    Q_OBJECT

private slots:
    void statusRules_data() {
        QTest::addColumn<SignInStatus>("status");
        QTest::addColumn<QString>("text");
        QTest::addColumn<StatusTone>("tone");
        const auto row = [](const char *name, SignInStatus status, const char *text,
                            StatusTone tone) {
            QTest::newRow(name) << status << QString::fromUtf8(text) << tone;
        };
        using T = StatusTone;
        row("sending", startedStatus(SignInStep::SendLink), "Sending...", T::Unchanged);
        row("verifying", startedStatus(SignInStep::Verify), "Verifying...", T::Unchanged);
        row("link sent", sendLinkStatus(false), "Check your email!", T::Success);
        row("signed in at once", sendLinkStatus(true), "Signed in!", T::Success);
        row("send refused", sendLinkStatus(AuthError::cliFailed("No such account")),
            "Failed to send: No such account", T::Failure);
        row("tool missing", sendLinkStatus(LaunchError{"No such file or directory"}),
            "Failed to send: No such file or directory", T::Failure);
        row("verified", verifyStatus(std::nullopt), "Signed in!", T::Success);
        row("odd answer", verifyStatus(AuthError::unexpectedResponse()),
            "Verification failed: Unexpected response from the orvu CLI", T::Failure);
    }
    void statusRules() {
        QFETCH(SignInStatus, status);
        QFETCH(QString, text);
        QFETCH(StatusTone, tone);
        QCOMPARE(status, (SignInStatus{text, tone}));
    }

    // E-mail, then the token or the whole link from orvu-local's outbox.
    void signInThroughOutbox_data() {
        QTest::addColumn<bool>("wholeLink");
        QTest::newRow("token") << false;
        QTest::newRow("whole link") << true;
    }
    void signInThroughOutbox() {
        QFETCH(bool, wholeLink);
        test::OrvuLocalSandbox sandbox;
        Signing s(ToolLocation{sandbox.toolDirectory(), {}});
        QTest::keyClicks(s.get<QLineEdit>("emailField"), "  " + kEmail);
        QTest::keyClick(s.get<QLineEdit>("emailField"), Qt::Key_Return);
        QCOMPARE(s.status(), "Sending...");
        QVERIFY(!s.get<QPushButton>("sendButton")->isEnabled());
        QVERIFY(s.get<QPushButton>("verifyButton")->isEnabled());
        QTRY_COMPARE(s.status(), "Check your email!");
        QCOMPARE(s.color(), s.tone(StatusTone::Success));
        QVERIFY(s.get<QPushButton>("sendButton")->isEnabled());
        QCOMPARE(s.manager.authState(), AuthState::awaitingVerification(kEmail));

        const QString link = QString::fromUtf8(sandbox.admin({"mail", kEmail}).out).trimmed();
        const QString token = QUrlQuery(QUrl(link)).queryItemValue("token");
        QVERIFY(!token.isEmpty());
        s.get<QLineEdit>("tokenField")->setText(wholeLink ? link + " \t" : token);
        s.get<QPushButton>("verifyButton")->click();
        QCOMPARE(s.status(), "Verifying...");
        QTRY_COMPARE(s.status(), "Signed in!");
        QCOMPARE(s.manager.currentUser()->email, kEmail);
        QVERIFY(s.window->isVisible());
        QTRY_VERIFY(!s.window->isVisible());

        // Kept while hidden: shown again, it still holds what it held.
        s.window->show();
        QCOMPARE(s.status(), "Signed in!");
        QCOMPARE(s.get<QLineEdit>("emailField")->text(), "  " + kEmail);
    }

    // A retry after a failure reads red until its own answer arrives.
    void failedSendThenNewSend() {
        test::StandInTool tool;
        tool.respondOnce(
            "login --email",
            test::Response().lines({R"({"type":"error","error":"mail is down"})"}).exit(1));
        tool.respond("login --email", test::Response().pause(100).exit(0));
        Signing s(tool.location());
        s.get<QLineEdit>("emailField")->setText(" \t ");
        s.get<QPushButton>("sendButton")->click();
        QCOMPARE(s.status(), QString());
        QVERIFY(s.get<QPushButton>("sendButton")->isEnabled());

        s.get<QLineEdit>("emailField")->setText(kEmail);
        s.get<QPushButton>("sendButton")->click();
        QTRY_COMPARE(s.status(), "Failed to send: mail is down");
        QCOMPARE(s.color(), s.tone(StatusTone::Failure));
        s.get<QPushButton>("sendButton")->click();
        QCOMPARE(s.status(), "Sending...");
        QCOMPARE(s.color(), s.tone(StatusTone::Failure));
        QTRY_COMPARE(s.status(), "Check your email!");
        QCOMPARE(s.color(), s.tone(StatusTone::Success));
        QCOMPARE(tool.invocations("login --email").size(), 2);
    }

    // After a sign-out the app deletes the window, maybe with a request still running.
    void deletedWhileVerifying() {
        test::StandInTool tool;
        tool.respond("login --verify", test::Response().pause(300).exit(0));
        Signing s(tool.location());
        s.get<QLineEdit>("tokenField")->setText("t0k3n");
        s.get<QPushButton>("verifyButton")->click();
        QVERIFY(tool.waitForInvocations(1));
        s.window.reset();
        test::waitForToolRunsToEnd();
        QCOMPARE(tool.invocations("login --verify").first().subcommandArguments(),
                 tool::loginWithVerification("t0k3n"));
        QVERIFY(!s.manager.isAuthenticated());
    }
};

QTEST_MAIN(TestAuthWindow)
#include "test_auth_window.moc"
