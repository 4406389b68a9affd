#include "core/cli/cli_runner.h"
#include "core/cli/tool_commands.h"

#include <QTest>

using namespace orvu;

Q_DECLARE_METATYPE(std::optional<QString>)

// The exact vectors the tool is promised; a reordered or misspelt option breaks the contract.
class TestToolCommands : public QObject {
    Q_OBJECT

private slots:
    void buildsEveryVector_data() {
        QTest::addColumn<QStringList>("built");
        QTest::addColumn<QStringList>("expected");

        const QString folder = QStringLiteral("/home/u/Orvu/my notes");
        QTest::newRow("login email")
            << tool::loginWithEmail("a@b.c") << QStringList{"login", "--email", "a@b.c", "--json"};
        QTest::newRow("login verify link")
            << tool::loginWithVerification("orvu://verify?token=t k")
            << QStringList{"login", "--verify", "orvu://verify?token=t k", "--json"};
        QTest::newRow("login token")
            << tool::loginWithToken("tok") << QStringList{"login", "--token", "tok", "--json"};
        QTest::newRow("whoami") << tool::whoami() << QStringList{"whoami", "--json"};
        QTest::newRow("logout") << tool::logout() << QStringList{"logout"};
        QTest::newRow("repos") << tool::repos() << QStringList{"repos", "--json"};
        QTest::newRow("init plain")
            << tool::init(folder, "team/notes", "", false)
            << QStringList{"init", folder, "--repo", "team/notes", "--json"};
        QTest::newRow("init named")
            << tool::init(folder, "s", "My Notes", false)
            << QStringList{"init", folder, "--repo", "s", "--json", "--name", "My Notes"};
        QTest::newRow("init forced")
            << tool::init(folder, "s", "", true)
            << QStringList{"init", folder, "--repo", "s", "--json", "--force"};
        QTest::newRow("init named and forced")
            << tool::init(folder, "s", "N", true)
            << QStringList{"init", folder, "--repo", "s", "--json", "--name", "N", "--force"};
        QTest::newRow("status") << tool::status(folder) << QStringList{"status", folder, "--json"};
        QTest::newRow("remote status")
            << tool::remoteStatus(folder) << QStringList{"status", folder, "--remote", "--json"};
        QTest::newRow("sync all") << tool::sync(folder, {})
                                  << QStringList{"sync", folder, "--json", "--resolve",
                                                 "keep-both"};
        QTest::newRow("sync selected")
            << tool::sync(folder, {"a.txt", "dir/b c.md"})
            << QStringList{"sync",   folder,  "--json", "--resolve", "keep-both",
                           "--only", "a.txt", "--only", "dir/b c.md"};
        QTest::newRow("dry run all")
            << tool::syncDryRun(folder, {}) << QStringList{"sync", folder, "--json", "--dry-run"};
        QTest::newRow("dry run selected")
            << tool::syncDryRun(folder, {"x"})
            << QStringList{"sync", folder, "--json", "--dry-run", "--only", "x"};
        QTest::newRow("discard") << tool::discard("dir/file.txt")
                                 << QStringList{"discard", "dir/file.txt", "--json"};
        // A path that looks like an option stays one argument in its place.
        QTest::newRow("discard option-like path")
            << tool::discard("--force") << QStringList{"discard", "--force", "--json"};
    }

    void buildsEveryVector() {
        QFETCH(QStringList, built);
        QFETCH(QStringList, expected);
        QCOMPARE(built, expected);
    }

    void placesTheServerFirst_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<std::optional<QString>>("server");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("no server: unchanged")
            << tool::whoami() << std::optional<QString>() << QStringList{"whoami", "--json"};
        QTest::newRow("default server")
            << tool::whoami() << std::optional<QString>(tool::kDefaultServerURL)
            << QStringList{"--server", "https://orvu.io", "whoami", "--json"};
        QTest::newRow("empty server is still passed")
            << tool::logout() << std::optional<QString>(QString())
            << QStringList{"--server", "", "logout"};
    }

    void placesTheServerFirst() {
        QFETCH(QStringList, arguments);
        QFETCH(std::optional<QString>, server);
        QFETCH(QStringList, expected);
        QCOMPARE(CLIRunner::argumentVector(arguments, server), expected);
    }
};

QTEST_GUILESS_MAIN(TestToolCommands)
#include "test_tool_commands.moc"
