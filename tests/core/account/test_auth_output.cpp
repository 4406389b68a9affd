#include "core/account/auth_error.h"
#include "core/account/auth_output.h"
#include "core/account/user.h"

#include <QJsonDocument>
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
        QTest::newRow("after other types")
            << "{\"type\":\"progress\"}\n" + annLine << std::optional(ann);
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
    }
    void failureTextOfARun() {
        QFETCH(QString, standardError);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        const AuthError error = auth_output::failureOf(CLIAuthResult{{}, standardError, exitCode});
        QCOMPARE(error.kind(), AuthError::Kind::CliFailed);
        QCOMPARE(error.description(), expected);
    }

    void userJsonReading_data() {
        QTest::addColumn<QByteArray>("extra"); // after the four required keys
        QTest::addColumn<bool>("valid");
        QTest::newRow("minimal") << QByteArray() << true;
        QTest::newRow("extra keys ignored") << QByteArray(R"(,"role":"admin")") << true;
        QTest::newRow("null username") << QByteArray(R"(,"username":null)") << true;
        QTest::newRow("username not a string") << QByteArray(R"(,"username":1)") << false;
        QTest::newRow("links not a list") << QByteArray(R"(,"links":"x")") << false;
        QTest::newRow("link not a string") << QByteArray(R"(,"links":["a",2])") << false;
    }
    void userJsonReading() {
        QFETCH(QByteArray, extra);
        QFETCH(bool, valid);
        const QByteArray base = R"({"id":"u1","email":"a@x","created_at":"c","updated_at":"u")";
        const auto user = User::fromJson(QJsonDocument::fromJson(base + extra + '}').object());
        QCOMPARE(user.has_value(), valid);
        // Every required key is required.
        for (const char *key : {"\"id\"", "\"email\"", "\"created_at\"", "\"updated_at\""}) {
            QByteArray without = base + extra + '}';
            without.replace(key, "\"other\"");
            QVERIFY2(!User::fromJson(QJsonDocument::fromJson(without).object()), key);
        }
    }

    void userJsonRoundTrip() {
        User full = User::signInUser(QStringLiteral("a@x"), QStringLiteral("ann"));
        full.id = QStringLiteral("u1");
        full.displayName = QStringLiteral("Ann");
        full.bio = QStringLiteral("hi");
        full.links = {QStringLiteral("https://a"), QStringLiteral("https://b")};
        full.avatarFileId = QStringLiteral("f9");
        full.createdAt = QStringLiteral("2024-01-01");
        full.updatedAt = QStringLiteral("2024-02-02");
        QCOMPARE(User::fromJson(full.toJson()), std::optional(full));
        QCOMPARE(full.toJson().value(QStringLiteral("display_name")).toString(), "Ann");

        // Values not given are left out rather than written as null.
        const User signIn = User::signInUser(QStringLiteral("a@x"), std::nullopt);
        QCOMPARE(QStringList(signIn.toJson().keys()),
                 (QStringList{"created_at", "email", "id", "links", "updated_at"}));
        QCOMPARE(User::fromJson(signIn.toJson()), std::optional(signIn));
    }
};

QTEST_GUILESS_MAIN(TestAuthOutput)
#include "test_auth_output.moc"
