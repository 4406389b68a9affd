#include "core/cli/tool_commands.h"
#include "core/repos/repo_cli.h"
#include "core/repos/repo_cli_output.h"
#include "support/stand_in/stand_in_tool.h"

#include <QTest>

using namespace orvu;
using orvu::test::ScriptTool;

using Listing = std::optional<QList<RepoInfo>>;

class TestRepoCLI : public QObject {
    Q_OBJECT

private slots:
    void reposLine_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<Listing>("expected");
        const RepoInfo minimal{"r1", "one", "one", "public"};
        QTest::newRow("id and slug only; element without slug skipped")
            << R"({"type":"repos","repos":[{"id":"r1","slug":"one"},{"id":"r2"}]})"
            << Listing({minimal});
        QTest::newRow("all fields, wrong types defaulted")
            << R"({"type":"repos","repos":[{"id":"a","slug":"s","name":"N","visibility":"private"},)"
               R"({"id":"b","slug":"t","name":5,"visibility":null},{"id":3,"slug":"u"}]})"
            << Listing({{"a", "s", "N", "private"}, {"b", "t", "t", "public"}});
        QTest::newRow("no repos line") << R"({"type":"other"})" << Listing();
        QTest::newRow("non-object element: line skipped, next one used")
            << "{\"type\":\"repos\",\"repos\":[1]}\n"
               "{\"type\":\"repos\",\"repos\":\"x\"}\r\n"
               "  \t{\"type\":\"repos\",\"repos\":[{\"id\":\"r1\",\"slug\":\"one\"}]}\t\n"
               "{\"type\":\"repos\",\"repos\":[]}"
            << Listing({minimal});
        QTest::newRow("empty array, noise around")
            << "progress...\n\n[1,2]\n{\"type\":\"repos\",\"repos\":[]}\n"
            << Listing(QList<RepoInfo>{});
    }
    void reposLine() {
        QFETCH(QString, output);
        QFETCH(Listing, expected);
        QCOMPARE(decodeReposLine(output), expected);
    }

    void listRepos_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<Listing>("expected");
        const QByteArray line = R"(echo '{"type":"repos","repos":[{"id":"r1","slug":"one"}]}')";
        QTest::newRow("ok") << line << Listing({{"r1", "one", "one", "public"}});
        QTest::newRow("exit 0 without line") << QByteArray("echo '{}'") << Listing();
        QTest::newRow("exit 2") << line + "; exit 2" << Listing();
        QTest::newRow("crashed") << line + "; kill -INT $$" << Listing();
    }
    void listRepos() {
        QFETCH(QByteArray, script);
        QFETCH(Listing, expected);
        ScriptTool tool(script);
        RepoCLI cli(tool::kDefaultServerURL, CLIRunner(tool.location()));
        QCOMPARE(QCoro::waitFor(cli.listRepos()), expected);
        QCOMPARE(tool.lastRun().mid(2),
                 (QStringList{"--server", tool::kDefaultServerURL, "repos", "--json"}));
    }

    void initFolder_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<std::optional<QString>>("displayName");
        QTest::addColumn<bool>("force");
        QTest::addColumn<RepoCLIOutcome>("expected");
        const QByteArray error = R"(echo '{"type":"error","error":"Repo not found"}';)";
        QTest::newRow("ok, empty name, no force")
            << QByteArray() << std::optional<QString>("") << false << RepoCLIOutcome::ok();
        QTest::newRow("name and force follow --json")
            << error << std::optional<QString>("My Repo") << true << RepoCLIOutcome::ok();
        QTest::newRow("exit 2 with error line") << error + "exit 2" << std::optional<QString>()
                                                << false << RepoCLIOutcome::authRequired();
        QTest::newRow("error line") << error + "echo x >&2; exit 1" << std::optional<QString>()
                                    << false << RepoCLIOutcome::failed("Repo not found");
        QTest::newRow("white space only")
            << QByteArray("echo ' ' >&2; exit 1") << std::optional<QString>() << false
            << RepoCLIOutcome::failed("init failed (exit 1)");
        // A signal is no exit code: never "sign in" (SIGINT is 2), always a crash.
        QTest::newRow("crashed") << error + "kill -INT $$" << std::optional<QString>() << false
                                 << RepoCLIOutcome::failed(tool::kCrashedMessage);
    }
    void initFolder() {
        QFETCH(QByteArray, script);
        QFETCH(std::optional<QString>, displayName);
        QFETCH(bool, force);
        QFETCH(RepoCLIOutcome, expected);
        ScriptTool tool(script);
        RepoCLI cli(std::nullopt, CLIRunner(tool.location()));
        QCOMPARE(QCoro::waitFor(cli.initFolder("/f/x y", "slug", displayName, force)), expected);
        QStringList arguments{"init", "/f/x y", "--repo", "slug", "--json"};
        if (displayName && !displayName->isEmpty())
            arguments << "--name" << *displayName;
        if (force)
            arguments << "--force";
        QCOMPARE(tool.lastRun().mid(2), arguments);
    }

    void toolMissing() {
        RepoCLI cli(tool::kDefaultServerURL,
                    CLIRunner(ToolLocation{"/nonexistent", {"/nonexistent/orvu"}}));
        QCOMPARE(QCoro::waitFor(cli.listRepos()), Listing());
        QCOMPARE(QCoro::waitFor(cli.initFolder("/f", "s", std::nullopt, false)),
                 RepoCLIOutcome::failed("Could not run the orvu CLI"));
    }

    void callerMayDropTheCommandsMidRun() {
        ScriptTool tool(R"(sleep 0.1; echo '{"type":"repos","repos":[]}')");
        auto cli = std::make_unique<RepoCLI>(tool::kDefaultServerURL, CLIRunner(tool.location()));
        auto task = cli->listRepos();
        cli.reset();
        QCOMPARE(QCoro::waitFor(task), Listing(QList<RepoInfo>{}));
    }
};

QTEST_GUILESS_MAIN(TestRepoCLI)
#include "test_repo_cli.moc"
