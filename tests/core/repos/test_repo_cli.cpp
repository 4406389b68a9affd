#include "core/cli/tool_commands.h"
#include "core/repos/repo_cli.h"
#include "core/repos/repo_cli_output.h"
#include "support/stand_in/stand_in_tool.h"

#include <QTest>

using namespace orvu;
using orvu::test::Response;
using orvu::test::StandInTool;

using Listing = std::optional<QList<RepoInfo>>;
Q_DECLARE_METATYPE(Listing)

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
        QTest::newRow("empty array")
            << R"({"type":"repos","repos":[]})" << Listing(QList<RepoInfo>{});
        QTest::newRow("no repos line") << R"({"type":"other"})" << Listing();
        QTest::newRow("non-object element: line skipped, next one used")
            << "{\"type\":\"repos\",\"repos\":[1]}\n"
               "{\"type\":\"repos\",\"repos\":\"x\"}\r\n"
               "  \t{\"type\":\"repos\",\"repos\":[{\"id\":\"r1\",\"slug\":\"one\"}]}\t\n"
               "{\"type\":\"repos\",\"repos\":[]}"
            << Listing({minimal});
        QTest::newRow("noise around") << "progress...\n\n[1,2]\n{\"type\":\"repos\",\"repos\":[]}\n"
                                      << Listing(QList<RepoInfo>{});
    }
    void reposLine() {
        QFETCH(QString, output);
        QFETCH(Listing, expected);
        QCOMPARE(decodeReposLine(output), expected);
    }

    void listRepos_data() {
        QTest::addColumn<Response>("response");
        QTest::addColumn<Listing>("expected");
        const QString line = R"({"type":"repos","repos":[{"id":"r1","slug":"one","name":"One"}]})";
        QTest::newRow("ok") << Response().lines({line})
                            << Listing({{"r1", "one", "One", "public"}});
        QTest::newRow("exit 0 without line") << Response().lines({R"({"type":"x"})"}) << Listing();
        QTest::newRow("exit 2") << Response().lines({line}).exit(2) << Listing();
    }
    void listRepos() {
        QFETCH(Response, response);
        QFETCH(Listing, expected);
        StandInTool tool;
        tool.respond("repos", response);
        RepoCLI cli(tool::kDefaultServerURL, CLIRunner(tool.location()));
        QCOMPARE(QCoro::waitFor(cli.listRepos()), expected);
        QCOMPARE(tool.invocations().size(), 1);
        QCOMPARE(tool.invocations()[0].arguments,
                 (QStringList{"--server", tool::kDefaultServerURL, "repos", "--json"}));
    }

    void initFolder_data() {
        QTest::addColumn<Response>("response");
        QTest::addColumn<std::optional<QString>>("displayName");
        QTest::addColumn<bool>("force");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<RepoCLIOutcome>("expected");
        const QStringList base{"init", "/f/x y", "--repo", "slug", "--json"};
        const QString errorLine = R"({"type":"error","error":"Repo not found"})";
        QTest::newRow("ok, empty name, no force")
            << Response() << std::optional<QString>("") << false << base << RepoCLIOutcome::ok();
        QTest::newRow("name and force follow --json")
            << Response().lines({errorLine}) << std::optional<QString>("My Repo") << true
            << base + QStringList{"--name", "My Repo", "--force"} << RepoCLIOutcome::ok();
        QTest::newRow("exit 2 with error line")
            << Response().lines({errorLine}).exit(2) << std::optional<QString>() << false << base
            << RepoCLIOutcome::authRequired();
        QTest::newRow("first error line")
            << Response()
                   .lines({R"({"type":"error","error":""})", errorLine,
                           R"({"type":"error","error":"later"})"})
                   .err("stderr text")
                   .exit(1)
            << std::optional<QString>() << false << base
            << RepoCLIOutcome::failed("Repo not found");
        QTest::newRow("standard error trimmed")
            << Response().err(" \n  disk full\r\n\t").exit(5) << std::optional<QString>() << false
            << base << RepoCLIOutcome::failed("disk full");
        QTest::newRow("white space only")
            << Response().err(" \n\t ").exit(1) << std::optional<QString>() << false << base
            << RepoCLIOutcome::failed("init failed (exit 1)");
    }
    void initFolder() {
        QFETCH(Response, response);
        QFETCH(std::optional<QString>, displayName);
        QFETCH(bool, force);
        QFETCH(QStringList, arguments);
        QFETCH(RepoCLIOutcome, expected);
        StandInTool tool;
        tool.respond("init", response);
        RepoCLI cli(tool::kDefaultServerURL, CLIRunner(tool.location()));
        const RepoCLIOutcome outcome =
            QCoro::waitFor(cli.initFolder("/f/x y", "slug", displayName, force));
        QCOMPARE(outcome.kind, expected.kind);
        QCOMPARE(outcome.message, expected.message);
        QCOMPARE(tool.invocations().value(0).subcommandArguments(), arguments);
    }

    void toolMissing() {
        RepoCLI cli(tool::kDefaultServerURL,
                    CLIRunner(ToolLocation{"/nonexistent", {"/nonexistent/orvu"}}));
        QCOMPARE(QCoro::waitFor(cli.listRepos()), Listing());
        QCOMPARE(QCoro::waitFor(cli.initFolder("/f", "s", std::nullopt, false)),
                 RepoCLIOutcome::failed("Could not run the orvu CLI"));
    }

    void callerMayDropTheCommandsMidRun() {
        StandInTool tool;
        tool.respond("repos", Response().lines({R"({"type":"repos","repos":[]})"}, 100));
        auto cli = std::make_unique<RepoCLI>(tool::kDefaultServerURL, CLIRunner(tool.location()));
        auto task = cli->listRepos();
        cli.reset();
        QCOMPARE(QCoro::waitFor(task), Listing(QList<RepoInfo>{}));
    }
};

QTEST_GUILESS_MAIN(TestRepoCLI)
#include "test_repo_cli.moc"
