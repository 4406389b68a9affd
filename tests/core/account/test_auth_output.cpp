#include "core/account/auth_error.h"
#include "core/account/auth_output.h"
#include "core/cli/tool_commands.h"

#include <QTest>

using namespace orvu;
using auth_output::AuthLine;

Q_DECLARE_METATYPE(std::optional<AuthLine>)

namespace {

// An auth line with `fields` after the type, e.g. R"("authState":"signedIn","email":"a@x")".
QString auth(const char *fields) {
    return QStringLiteral("{\"type\":\"auth\",%1}\n").arg(QLatin1String(fields));
}

} // namespace

// Line splitting and the tool's error text are tool_output's; these are the sign-in rules on top.
class TestAuthOutput : public QObject {
    Q_OBJECT

private slots:
    void findsTheFirstMatchingAuthLine_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<std::optional<AuthLine>>("expected");

        const AuthLine ann{true, QStringLiteral("a@x"), QStringLiteral("ann")};
        const AuthLine bOut{false, QStringLiteral("b@x"), std::nullopt};
        const QString annLine = auth(R"("authState":"signedIn","email":"a@x","username":"ann")");
        const QString bLine = auth(R"("authState":"signedOut","email":"b@x")");
        QTest::newRow("first match wins") << annLine + bLine << std::optional(ann);
        QTest::newRow("line without email skipped")
            << auth(R"("authState":"signedIn")") + bLine << std::optional(bOut);
        QTest::newRow("authState not a string")
            << auth(R"("authState":true,"email":"a@x")") << std::optional<AuthLine>();
        QTest::newRow("empty username is none")
            << auth(R"("authState":"signedIn","email":"a@x","username":"")")
            << std::optional(AuthLine{true, QStringLiteral("a@x"), std::nullopt});
        QTest::newRow("other state is not signed in")
            << auth(R"("authState":"SignedIn","email":"b@x")") << std::optional(bOut);
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

QTEST_GUILESS_MAIN(TestAuthOutput)
#include "test_auth_output.moc"
