#include "core/cli/cli_runner.h"
#include "core/cli/tool_commands.h"
#include "support/stand_in/stand_in_tool.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <QCoro/QCoroTask>

#include <csignal>

using namespace orvu;
using orvu::test::Response;
using orvu::test::StandInTool;

namespace {

// Everything a streaming run delivered, collected in order.
struct StreamTrace {
    QStringList lines;
    QList<int> finishes;
    // The number of lines seen when finished() arrived.
    qsizetype linesAtFinish = -1;
};

StreamTrace consume(StreamingRun &run, int timeoutMs = 10000) {
    StreamTrace trace;
    QObject::connect(&run, &StreamingRun::lineReceived,
                     [&trace](const QString &line) { trace.lines.append(line); });
    QObject::connect(&run, &StreamingRun::finished, [&trace](int code) {
        trace.finishes.append(code);
        trace.linesAtFinish = trace.lines.size();
    });
    if (!QTest::qWaitFor([&] { return !trace.finishes.isEmpty(); }, timeoutMs))
        return trace;
    // Anything after the first finished() would be a fault; give it a moment to show.
    QTest::qWait(20);
    return trace;
}

void touchExecutable(const QString &path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

bool processAlive(qint64 pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

} // namespace

class TestCLIRunner : public QObject {
    Q_OBJECT

private slots:
    void resolvesToolInOrder_data() {
        QTest::addColumn<QStringList>("present"); // of "resource", "first", "second", "misnamed"
        QTest::addColumn<QString>("expected");    // the same names, or "bare"
        const auto row = [](const char *name, QStringList present, QString expected) {
            QTest::newRow(name) << present << expected;
        };
        row("all present: resource wins", {"resource", "first", "second"}, "resource");
        row("first candidate beats second", {"first", "second"}, "first");
        row("second candidate alone", {"second"}, "second");
        row("resource alone", {"resource"}, "resource");
        row("nothing: bare name", {}, "bare");
        row("only an entry named exactly orvu counts", {"misnamed"}, "bare");
    }
    void resolvesToolInOrder() {
        QFETCH(QStringList, present);
        QFETCH(QString, expected);
        QTemporaryDir root;
        const QMap<QString, QString> paths{
            {"resource", root.filePath("share/orvutray/orvu")},
            {"first", root.filePath("usr/local/bin/orvu")},
            {"second", root.filePath("opt/homebrew/bin/orvu")},
            {"misnamed", root.filePath("share/orvutray/orvu.sh")},
        };
        for (const QString &name : present)
            touchExecutable(paths.value(name));
        if (present.contains("misnamed"))
            touchExecutable(root.filePath("share/orvutray/Orvu"));
        // The resource directory exists even when it holds no tool.
        QDir().mkpath(root.filePath("share/orvutray"));
        const CLIRunner runner(ToolLocation{root.filePath("share/orvutray"),
                                            {paths.value("first"), paths.value("second")}});
        QCOMPARE(runner.toolPath(), expected == "bare" ? QStringLiteral("orvu") : paths[expected]);
    }

    void resolvesAgainOnEveryRun() {
        QTemporaryDir root;
        const QString candidate = root.filePath("bin/orvu");
        const CLIRunner runner(ToolLocation{root.filePath("share"), {candidate}});
        QCOMPARE(runner.toolPath(), QStringLiteral("orvu"));
        touchExecutable(candidate);
        QCOMPARE(runner.toolPath(), candidate);
        touchExecutable(root.filePath("share/orvu"));
        QCOMPARE(runner.toolPath(), root.filePath("share/orvu"));
    }

    // The bare name is a path relative to our working directory, never looked up in PATH.
    void bareNameRunsFromTheWorkingDirectoryNotPath() {
        StandInTool tool;
        QVERIFY(tool.isValid());
        tool.respond("whoami", Response().out("from cwd\n"));

        QTemporaryDir elsewhere;
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", tool.directory().toLocal8Bit());
        const CLIRunner runner(ToolLocation{elsewhere.path(), {}});

        const QString oldCwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(elsewhere.path()));
        const RunOutcome notFound = QCoro::waitFor(runner.run(tool::whoami(), std::nullopt));
        QVERIFY(QDir::setCurrent(tool.directory()));
        const RunOutcome found = QCoro::waitFor(runner.run(tool::whoami(), std::nullopt));
        QDir::setCurrent(oldCwd);
        qputenv("PATH", oldPath);

        QVERIFY(std::holds_alternative<LaunchError>(notFound));
        QVERIFY(std::holds_alternative<CLIAuthResult>(found));
        QCOMPARE(std::get<CLIAuthResult>(found).standardOutput, QStringLiteral("from cwd\n"));
    }

    void runCollectsOutputsAndExitCode_data() {
        QTest::addColumn<Response>("response");
        QTest::addColumn<CLIAuthResult>("expected");

        const auto row = [](const char *name, Response response, CLIAuthResult expected) {
            QTest::newRow(name) << response << expected;
        };
        row("success", Response().out("{}\n").exit(0), {"{}\n", "", 0});
        row("failure with both streams", Response().out("partial").err("boom\n").exit(7),
            {"partial", "boom\n", 7});
        row("auth required", Response().exit(tool::kExitAuthRequired), {"", "", 2});
        row("invalid UTF-8 on stdout empties only stdout",
            Response().out("ok\n\xff\xfe\n").err("still here").exit(1), {"", "still here", 1});
        row("truncated character on stderr", Response().out("fine").err("caf\xc3").exit(0),
            {"fine", "", 0});
        row("character split across writes", Response().out("caf\xc3").out("\xa9", 30).exit(0),
            {QString::fromUtf8("café"), "", 0});
    }

    void runCollectsOutputsAndExitCode() {
        QFETCH(Response, response);
        QFETCH(CLIAuthResult, expected);
        StandInTool tool;
        tool.respond("whoami", response);
        const RunOutcome outcome =
            QCoro::waitFor(CLIRunner(tool.location()).run(tool::whoami(), tool::kDefaultServerURL));
        QVERIFY(std::holds_alternative<CLIAuthResult>(outcome));
        QCOMPARE(std::get<CLIAuthResult>(outcome), expected);
    }

    void runPassesArgumentsAndWorkingDirectory_data() {
        QTest::addColumn<bool>("withServer");
        QTest::addColumn<bool>("withWorkingDirectory");
        QTest::newRow("server, own directory") << true << true;
        QTest::newRow("no server, inherited directory") << false << false;
    }

    void runPassesArgumentsAndWorkingDirectory() {
        QFETCH(bool, withServer);
        QFETCH(bool, withWorkingDirectory);
        StandInTool tool;
        tool.respond("init", Response());
        QTemporaryDir folder;
        const QStringList arguments =
            tool::init(QStringLiteral("/a folder/with 'quotes' and $HOME"), "slug", "", true);
        const std::optional<QString> server =
            withServer ? std::optional<QString>(tool::kDefaultServerURL) : std::nullopt;

        const RunOutcome outcome = QCoro::waitFor(
            CLIRunner(tool.location())
                .run(arguments, server, withWorkingDirectory ? folder.path() : QString()));
        QVERIFY(std::holds_alternative<CLIAuthResult>(outcome));
        const QList<test::Invocation> invocations = tool.invocations();
        QCOMPARE(invocations.size(), 1);
        QCOMPARE(invocations.first().arguments, CLIRunner::argumentVector(arguments, server));
        QCOMPARE(QFileInfo(invocations.first().workingDirectory).canonicalFilePath(),
                 QFileInfo(withWorkingDirectory ? folder.path() : QDir::currentPath())
                     .canonicalFilePath());
    }

    // A child filling both pipes beyond their capacity must never stall: stderr is written
    // first, so a reader that waits for the end of stdout before reading stderr deadlocks.
    void runDrainsBothPipes() {
        StandInTool tool;
        const QByteArray line = QByteArray(99, 'x') + '\n';
        tool.respond("repos", Response().generatedErr(line, 100'000).generated(line, 100'000));
        QElapsedTimer timer;
        timer.start();
        const RunOutcome outcome =
            QCoro::waitFor(CLIRunner(tool.location()).run(tool::repos(), std::nullopt));
        QVERIFY(std::holds_alternative<CLIAuthResult>(outcome));
        const CLIAuthResult &result = std::get<CLIAuthResult>(outcome);
        QCOMPARE(result.standardOutput.size(), 10'000'000);
        QCOMPARE(result.standardError.size(), 10'000'000);
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(timer.elapsed() < 20'000, "both pipes must be drained while the child runs");
    }

    void reportsLaunchFailure_data() {
        QTest::addColumn<bool>("existsButNotExecutable");
        QTest::newRow("no tool anywhere") << false;
        QTest::newRow("resource entry not executable") << true;
    }
    void reportsLaunchFailure() {
        QFETCH(bool, existsButNotExecutable);
        QTemporaryDir empty;
        if (existsButNotExecutable)
            touchExecutable(empty.filePath("orvu"));
        const QString oldCwd = QDir::currentPath();
        QDir::setCurrent(empty.path());
        const CLIRunner runner(ToolLocation{empty.path(), {}});
        const RunOutcome outcome = QCoro::waitFor(runner.run(tool::logout(), std::nullopt));
        const std::unique_ptr<StreamingRun> run = runner.runStreaming(tool::sync("/f", {}), {});
        QDir::setCurrent(oldCwd);
        QVERIFY(std::holds_alternative<LaunchError>(outcome));
        QVERIFY(!std::get<LaunchError>(outcome).description.isEmpty());
        // A stream that cannot start still finishes, later, like any other.
        QVERIFY(!run->finishedCode());
        const StreamTrace trace = consume(*run);
        QCOMPARE(trace.lines, QStringList{});
        QCOMPARE(trace.finishes, QList<int>{tool::kExitLaunchFailed});
        QCOMPARE(QCoro::waitFor(run->exitCode()), tool::kExitLaunchFailed);
    }

    void streamingDeliversLinesThenExitCode_data() {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("exitCode");

        const auto row = [](const char *name, Response response, QStringList lines, int code) {
            QTest::newRow(name) << response << lines << code;
        };
        row("last line flushed at exit", Response().out("a\nb").exit(0), {"a", "b"}, 0);
        row("line split across writes", Response().out("ab").out("c\n", 30).exit(4), {"abc"}, 4);
        row("no output, failure code", Response().err("bad\n").exit(9), {}, 9);
        // The cap holds end to end: the endless line goes, the next line still arrives.
        row("overlong line dropped",
            Response()
                .out("before\n")
                .generated(QByteArray(1024, 'z'), 17 * 1024)
                .out("tail of the long line\nafter\n")
                .exit(0),
            {"before", "after"}, 0);
    }

    void streamingDeliversLinesThenExitCode() {
        QFETCH(Response, response);
        QFETCH(QStringList, lines);
        QFETCH(int, exitCode);
        StandInTool tool;
        tool.respond("sync", response);
        const std::unique_ptr<StreamingRun> run =
            CLIRunner(tool.location()).runStreaming(tool::sync("/f", {}), tool::kDefaultServerURL);
        const StreamTrace trace = consume(*run);
        QCOMPARE(trace.lines, lines);
        QCOMPARE(trace.finishes, QList<int>{exitCode});
        QCOMPARE(trace.linesAtFinish, lines.size());
        QCOMPARE(run->finishedCode(), std::optional<int>(exitCode));
        // Already finished: returns at once, and the same code again.
        QCOMPARE(QCoro::waitFor(run->exitCode()), exitCode);
        QCOMPARE(QCoro::waitFor(run->exitCode()), exitCode);
    }

    // Lines arrive while the child still runs; dropping the run then kills the child.
    void streamingDeliversEachLineBeforeTheChildEnds() {
        StandInTool tool;
        tool.respond("sync", Response().out("first\n").out("second\n", 100).hangs());
        std::unique_ptr<StreamingRun> run =
            CLIRunner(tool.location()).runStreaming(tool::sync("/f", {}), std::nullopt);
        QSignalSpy lines(run.get(), &StreamingRun::lineReceived);
        QVERIFY(QTest::qWaitFor([&] { return lines.size() == 2; }, 5000));
        QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("first"));
        QCOMPARE(lines.at(1).at(0).toString(), QStringLiteral("second"));
        QVERIFY(!run->finishedCode());
        const qint64 pid = tool.invocations().first().processId;
        QVERIFY(processAlive(pid));
        run.reset();
        QVERIFY(!processAlive(pid));
    }

    void exitCodeWaitsForTheChild() {
        StandInTool tool;
        tool.respond("sync", Response().out("x\n").pause(150).exit(tool::kExitNetworkUnavailable));
        const std::unique_ptr<StreamingRun> run =
            CLIRunner(tool.location()).runStreaming(tool::sync("/f", {}), std::nullopt);
        QSignalSpy lines(run.get(), &StreamingRun::lineReceived);
        QCOMPARE(QCoro::waitFor(run->exitCode()), tool::kExitNetworkUnavailable);
        QCOMPARE(lines.size(), 1);
    }

    // A consumer may drop the run from its own slot, also from the finished() handler.
    void consumerMayDestroyTheRunFromItsSlots_data() {
        QTest::addColumn<bool>("onFirstLine");
        QTest::newRow("from lineReceived") << true;
        QTest::newRow("from finished") << false;
    }

    void consumerMayDestroyTheRunFromItsSlots() {
        QFETCH(bool, onFirstLine);
        StandInTool tool;
        tool.respond("sync", Response().out("a\nb\nc").exit(0));
        std::unique_ptr<StreamingRun> run =
            CLIRunner(tool.location()).runStreaming(tool::sync("/f", {}), std::nullopt);
        QStringList seen;
        bool destroyed = false;
        QObject::connect(run.get(), &StreamingRun::lineReceived, [&](const QString &line) {
            seen.append(line);
            if (onFirstLine) {
                run.reset();
                destroyed = true;
            }
        });
        QObject::connect(run.get(), &StreamingRun::finished, [&](int) {
            run.reset();
            destroyed = true;
        });
        QVERIFY(QTest::qWaitFor([&] { return destroyed; }, 5000));
        QTest::qWait(20);
        QCOMPARE(seen, onFirstLine ? QStringList{"a"} : (QStringList{"a", "b", "c"}));
    }
};

QTEST_GUILESS_MAIN(TestCLIRunner)
#include "test_cli_runner.moc"
