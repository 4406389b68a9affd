#include "core/account/auth_error.h"
#include "core/account/auth_output.h"
#include "core/account/user.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace orvu;
using auth_output::AuthLine;

Q_DECLARE_METATYPE(std::optional<AuthLine>)
Q_DECLARE_METATYPE(std::optional<QString>)

class TestAuthOutput : public QObject {
    Q_OBJECT

private slots:
    void findsTheFirstMatchingAuthLine_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<std::optional<AuthLine>>("expected");

        const AuthLine ann{true, QStringLiteral("ann@example.org"), QStringLiteral("ann")};
        QTest::newRow("after progress and junk")
            << QStringLiteral("{\"type\":\"progress\",\"pct\":50}\nnot json {\n[1,2]\n"
                              "  {\"type\":\"auth\",\"authState\":\"signedIn\","
                              "\"email\":\"ann@example.org\",\"username\":\"ann\"}\t\r\n")
            << std::optional(ann);
        QTest::newRow("first match wins")
            << QStringLiteral("{\"type\":\"auth\",\"authState\":\"signedIn\","
                              "\"email\":\"ann@example.org\",\"username\":\"ann\"}\n"
                              "{\"type\":\"auth\",\"authState\":\"signedOut\",\"email\":\"b@x\"}")
            << std::optional(ann);
        QTest::newRow("line without email skipped")
            << QStringLiteral("{\"type\":\"auth\",\"authState\":\"signedIn\"}\n"
                              "{\"type\":\"auth\",\"authState\":\"signedOut\",\"email\":\"b@x\"}")
            << std::optional(AuthLine{false, QStringLiteral("b@x"), std::nullopt});
        QTest::newRow("only a line without email")
            << QStringLiteral("{\"type\":\"auth\",\"authState\":\"signedIn\",\"username\":\"a\"}")
            << std::optional<AuthLine>();
        QTest::newRow("authState not a string")
            << QStringLiteral("{\"type\":\"auth\",\"authState\":true,\"email\":\"a@x\"}")
            << std::optional<AuthLine>();
        QTest::newRow("empty username is none")
            << QStringLiteral("{\"type\":\"auth\",\"authState\":\"signedIn\",\"email\":\"a@x\","
                              "\"username\":\"\"}")
            << std::optional(AuthLine{true, QStringLiteral("a@x"), std::nullopt});
        QTest::newRow("other state is not signed in")
            << QStringLiteral("{\"type\":\"auth\",\"authState\":\"SignedIn\",\"email\":\"a@x\"}")
            << std::optional(AuthLine{false, QStringLiteral("a@x"), std::nullopt});
        QTest::newRow("nothing") << QString() << std::optional<AuthLine>();
    }
    void findsTheFirstMatchingAuthLine() {
        QFETCH(QString, output);
        QFETCH(std::optional<AuthLine>, expected);
        QCOMPARE(auth_output::findAuthLine(output), expected);
    }

    void failureTextOfARun_data() {
        QTest::addColumn<QString>("standardOutput");
        QTest::addColumn<QString>("standardError");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected");

        QTest::newRow("error line wins over stderr")
            << QStringLiteral("{\"type\":\"progress\"}\n{\"type\":\"error\",\"error\":\"No "
                              "such user\"}\n{\"type\":\"error\",\"error\":\"later\"}")
            << QStringLiteral("ignored") << 1 << QStringLiteral("No such user");
        QTest::newRow("empty or mistyped error lines skipped")
            << QStringLiteral("{\"type\":\"error\",\"error\":\"\"}\n{\"type\":\"error\","
                              "\"error\":5}\n{\"type\":\"error\"}")
            << QStringLiteral("\n  rate limited\n\n") << 1 << QStringLiteral("rate limited");
        QTest::newRow("stderr with its line break")
            << QString() << QStringLiteral("boom\n") << 1 << QStringLiteral("boom");
        QTest::newRow("fallback") << QString() << QString() << 1
                                  << QStringLiteral("orvu CLI exited with code 1");
        QTest::newRow("fallback with blank stderr and negative code")
            << QStringLiteral("{\"type\":\"auth\"}") << QStringLiteral(" \r\n\t") << -15
            << QStringLiteral("orvu CLI exited with code -15");
    }
    void failureTextOfARun() {
        QFETCH(QString, standardOutput);
        QFETCH(QString, standardError);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        const AuthError error =
            auth_output::failureOf(CLIAuthResult{standardOutput, standardError, exitCode});
        QCOMPARE(error.kind(), AuthError::Kind::CliFailed);
        QCOMPARE(error.description(), expected);
    }

    void describesFailures() {
        QCOMPARE(describe(AuthError::unexpectedResponse()),
                 QStringLiteral("Unexpected response from the orvu CLI"));
        QCOMPARE(describe(LaunchError{QStringLiteral("No such file or directory")}),
                 QStringLiteral("No such file or directory"));
    }

    void userJsonReading_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("valid");
        const QByteArray base = R"("id":"u1","email":"a@x","created_at":"c","updated_at":"u")";
        QTest::newRow("minimal") << "{" + base + "}" << true;
        QTest::newRow("extra keys ignored") << "{" + base + R"(,"role":"admin"})" << true;
        QTest::newRow("missing id") << QByteArray(R"({"email":"a@x","created_at":"c",
                                                    "updated_at":"u"})")
                                    << false;
        QTest::newRow("missing updated_at")
            << QByteArray(R"({"id":"u1","email":"a@x","created_at":"c"})") << false;
        QTest::newRow("email not a string")
            << QByteArray(R"({"id":"u1","email":7,"created_at":"c","updated_at":"u"})") << false;
        QTest::newRow("username not a string") << "{" + base + R"(,"username":1})" << false;
        QTest::newRow("links not a list") << "{" + base + R"(,"links":"x"})" << false;
        QTest::newRow("link not a string") << "{" + base + R"(,"links":["a",2]})" << false;
    }
    void userJsonReading() {
        QFETCH(QByteArray, json);
        QFETCH(bool, valid);
        const auto user = User::fromJson(QJsonDocument::fromJson(json).object());
        QCOMPARE(user.has_value(), valid);
        if (valid)
            QCOMPARE(user->links, QStringList());
    }

    void userJsonRoundTrip() {
        User full;
        full.id = QStringLiteral("u1");
        full.email = QStringLiteral("a@x");
        full.username = QStringLiteral("ann");
        full.displayName = QStringLiteral("Ann");
        full.bio = QStringLiteral("hi");
        full.links = {QStringLiteral("https://a"), QStringLiteral("https://b")};
        full.avatarFileId = QStringLiteral("f9");
        full.createdAt = QStringLiteral("2024-01-01");
        full.updatedAt = QStringLiteral("2024-02-02");
        QCOMPARE(User::fromJson(full.toJson()), std::optional(full));
        QCOMPARE(full.toJson().value(QStringLiteral("display_name")).toString(),
                 QStringLiteral("Ann"));

        const User signIn = User::signInUser(QStringLiteral("a@x"), std::nullopt);
        const QJsonObject json = signIn.toJson();
        QCOMPARE(QStringList(json.keys()),
                 (QStringList{"created_at", "email", "id", "links", "updated_at"}));
        QCOMPARE(json.value(QStringLiteral("links")).toArray(), QJsonArray());
        QCOMPARE(User::fromJson(json), std::optional(signIn));
    }
};

QTEST_GUILESS_MAIN(TestAuthOutput)
#include "test_auth_output.moc"
