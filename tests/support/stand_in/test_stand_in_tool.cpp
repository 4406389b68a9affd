#include "support/stand_in/stand_in_tool.h"

#include "core/cli/tool_commands.h"

#include <QTest>

#include <QCoro/QCoroTask>

using namespace orvu;
using orvu::test::Response;
using orvu::test::StandInTool;

namespace {

QString runOnce(const StandInTool &tool, const QStringList &arguments) {
    const RunOutcome outcome =
        QCoro::waitFor(CLIRunner(tool.location()).run(arguments, tool::kDefaultServerURL));
    if (!std::holds_alternative<CLIAuthResult>(outcome))
        return QStringLiteral("launch error");
    const CLIAuthResult &result = std::get<CLIAuthResult>(outcome);
    return result.standardOutput + QString::number(result.exitCode);
}

} // namespace

// The engine's and the account's tests rely on the stand-in answering as scripted.
class TestStandInTool : public QObject {
    Q_OBJECT

private slots:
    void answersByKey() {
        StandInTool tool;
        QVERIFY(tool.isValid());
        tool.respond("status", Response().out("local").exit(0));
        tool.respond("status --remote", Response().out("remote").exit(3));
        tool.respondOnce("status", Response().out("first").exit(1));
        tool.respondOnce("status", Response().out("second").exit(2));

        // The longest key wins; one-shot responses go first, in order.
        QCOMPARE(runOnce(tool, tool::remoteStatus("/f")), QStringLiteral("remote3"));
        QCOMPARE(runOnce(tool, tool::status("/f")), QStringLiteral("first1"));
        QCOMPARE(runOnce(tool, tool::status("/f")), QStringLiteral("second2"));
        QCOMPARE(runOnce(tool, tool::status("/f")), QStringLiteral("local0"));

        // Changed between runs of one test.
        tool.respond("status", Response().out("changed").exit(0));
        QCOMPARE(runOnce(tool, tool::status("/f")), QStringLiteral("changed0"));

        const QString unscripted = QString::number(test::script::kExitUnscripted);
        QCOMPARE(runOnce(tool, tool::whoami()), unscripted);
        tool.clearResponses();
        QCOMPARE(runOnce(tool, tool::status("/f")), unscripted);

        QCOMPARE(tool.invocations().size(), 7);
        QCOMPARE(tool.invocations("status --remote").size(), 1);
        QCOMPARE(tool.invocations("whoami").first().arguments,
                 CLIRunner::argumentVector(tool::whoami(), tool::kDefaultServerURL));
        tool.clearInvocations();
        QCOMPARE(tool.invocations().size(), 0);

        // A second tool beside it keeps its own script.
        StandInTool other;
        other.respond("repos", Response().out("other"));
        tool.respond("repos", Response().out("one"));
        QCOMPARE(runOnce(other, tool::repos()) + runOnce(tool, tool::repos()), "other0one0");
        QCOMPARE(other.invocations().size(), 1);
    }

    void generatesNumberedCopies() {
        StandInTool tool;
        tool.respond("sync", Response().generated("n={n};", 3).out("\n"));
        QCOMPARE(runOnce(tool, tool::syncDryRun("/f", {})), QStringLiteral("n=1;n=2;n=3;\n0"));
    }
};

QTEST_GUILESS_MAIN(TestStandInTool)
#include "test_stand_in_tool.moc"
