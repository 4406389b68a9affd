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
#include <QStandardPaths>
#include <QTest>

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
    // The status line reads `text` in the colour of `tone`.
    bool shows(const QString &text, StatusTone tone) {
        return get<QLabel>("statusLabel")->text() == text &&
               get<QLabel>("statusLabel")->textFormat() == Qt::PlainText &&
               get<QLabel>("statusLabel")->palette().color(QPalette::WindowText) ==
                   statusColor(tone, {}, window->palette());
    }
};

} // namespace

class TestAuthWindow : public QObject {
    Q_OBJECT

private slots:
    // E-mail, then the link as the window finds it in the outbox of orvu-local.
    void signInThroughOutbox() {
        test::OrvuLocalSandbox sandbox;
        Signing s(ToolLocation{sandbox.toolDirectory(), {}});
        s.window->setOfflineOutbox(offline_outbox::outboxFor(
            tool::kDefaultServerURL,
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)));
        QTest::keyClicks(s.get<QLineEdit>("emailField"), "  " + kEmail);
        QTest::keyClick(s.get<QLineEdit>("emailField"), Qt::Key_Return);
        QTRY_VERIFY(s.shows("Check your email!", StatusTone::Success));
        QVERIFY(s.get<QLabel>("offlineMailNote")->text().endsWith("/orvu-local/orvu.io/outbox."));

        const QString link = QString::fromUtf8(sandbox.admin({"mail", kEmail}).out).trimmed();
        s.get<QPushButton>("useLinkButton")->click();
        QCOMPARE(s.get<QLineEdit>("tokenField")->text(), link);
        QVERIFY(
            s.shows("Verifying...", StatusTone::Success)); // still the colour of the last outcome
        QTRY_VERIFY(s.shows("Signed in!", StatusTone::Success));
        QCOMPARE(s.manager.currentUser()->email, kEmail);
        QTRY_VERIFY(!s.window->isVisible());

        // Kept while hidden: shown again, it still holds what it held.
        s.window->show();
        QVERIFY(s.shows("Signed in!", StatusTone::Success));
        QCOMPARE(s.get<QLineEdit>("emailField")->text(), "  " + kEmail);
        QCOMPARE(verifyStatus(AuthError::unexpectedResponse()).text,
                 "Verification failed: Unexpected response from the orvu CLI");
    }

    // A retry after a failure reads red until its own answer arrives. After a sign-out the app
    // deletes the window, maybe with a request still running.
    void failedSendThenNewSendThenDeleted() {
        test::StandInTool tool;
        tool.respondOnce(
            "login --email",
            test::Response().lines({R"({"type":"error","error":"mail is <b>down"})"}).exit(1));
        tool.respond("login --email", test::Response().pause(100).exit(0));
        tool.respond("login --verify", test::Response().pause(300).exit(0));
        Signing s(tool.location());
        s.get<QLineEdit>("emailField")->setText(" \t ");
        s.get<QPushButton>("sendButton")->click();

        s.get<QLineEdit>("emailField")->setText(kEmail);
        s.get<QPushButton>("sendButton")->click();
        QTRY_VERIFY(s.shows("Failed to send: mail is <b>down", StatusTone::Failure));
        s.get<QPushButton>("sendButton")->click();
        QVERIFY(s.shows("Sending...", StatusTone::Failure));
        QVERIFY(!s.get<QPushButton>("sendButton")->isEnabled() &&
                s.get<QPushButton>("verifyButton")->isEnabled());
        QTRY_VERIFY(s.shows("Check your email!", StatusTone::Success));
        QVERIFY(s.get<QPushButton>("sendButton")->isEnabled());
        QCOMPARE(tool.invocations("login --email").size(), 2);

        s.get<QLineEdit>("tokenField")->setText("t0k3n");
        s.get<QPushButton>("verifyButton")->click();
        s.window.reset();
        test::waitForToolRunsToEnd();
        QVERIFY(!s.manager.isAuthenticated());
    }
};

QTEST_MAIN(TestAuthWindow)
#include "test_auth_window.moc"
