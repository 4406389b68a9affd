#include "core/cli/cli_runner.h"
#include "core/cli/tool_commands.h"
#include "support/stand_in/stand_in_tool.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

#include <csignal>
#include <unistd.h>

using namespace orvu;
using orvu::test::ScriptTool;
using namespace std::chrono_literals;

namespace {

// Everything a streaming run delivered, in order; `linesAtFinish` counts the lines seen when
// finished() arrived.
struct StreamTrace {
    QStringList lines;
    QList<int> finishes;
    qsizetype linesAtFinish = -1;
};

StreamTrace consume(StreamingRun &run) {
    StreamTrace trace;
    QObject::connect(&run, &StreamingRun::lineReceived,
                     [&trace](const QString &line) { trace.lines.append(line); });
    QObject::connect(&run, &StreamingRun::finished, [&trace](int code) {
        trace.finishes.append(code);
        trace.linesAtFinish = trace.lines.size();
    });
    (void)QTest::qWaitFor([&] { return !trace.finishes.isEmpty(); }, 20000);
    QTest::qWait(20); // a second finished() would be a fault; give it a moment to show
    return trace;
}

bool processAlive(const QString &pid) {
    return ::kill(pid_t(pid.toInt()), 0) == 0;
}

// Runs `body` with PATH and the working directory pointed elsewhere, then puts them back.
template <typename Body>
void withPathAndDirectory(const QString &path, const QString &cwd, Body body) {
    const QByteArray oldPath = qgetenv("PATH");
    const QString oldCwd = QDir::currentPath();
    qputenv("PATH", QFile::encodeName(path));
    QDir::setCurrent(cwd);
    body();
    QDir::setCurrent(oldCwd);
    qputenv("PATH", oldPath);
}

} // namespace

class TestCLIRunner : public QObject {
    Q_OBJECT

    QTemporaryFile m_input;

private slots:
    // Our own standard input holds text a child could read, had it inherited it.
    void initTestCase() {
        QVERIFY(m_input.open());
        m_input.write("ours\n");
        m_input.flush();
        QVERIFY(::dup2(int(m_input.handle()), STDIN_FILENO) == STDIN_FILENO);
        QVERIFY(::lseek(STDIN_FILENO, 0, SEEK_SET) == 0);
    }

    // The search ends on PATH, never in the working directory (which always holds an `orvu`).
    void resolvesToolInOrder_data() {
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QString>("expected"); // empty: none, the run fails to launch
        const QStringList all{"share/orvu", "first/orvu", "second/orvu", "path/orvu"};
        QTest::newRow("resource wins") << all << "share/orvu";
        QTest::newRow("first candidate") << all.mid(1) << "first/orvu";
        QTest::newRow("second candidate") << all.mid(2) << "second/orvu";
        QTest::newRow("then PATH; only `orvu` counts")
            << QStringList{"path/orvu", "share/Orvu"} << "path/orvu";
        QTest::newRow("never the working directory") << QStringList{} << "";
    }
    void resolvesToolInOrder() {
        QFETCH(QStringList, present);
        QFETCH(QString, expected);
        QTemporaryDir root;
        for (const QString &name : present + QStringList{"cwd/orvu"}) {
            QFile file(root.filePath(name));
            QVERIFY(QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly));
            QVERIFY(file.write("#!/bin/sh\n") &&
                    file.setPermissions(QFileDevice::ExeOwner | QFileDevice::ReadOwner));
        }
        const CLIRunner runner(ToolLocation{
            root.filePath("share"), {root.filePath("first/orvu"), root.filePath("second/orvu")}});
        QString path;
        RunOutcome outcome;
        withPathAndDirectory(root.filePath("path"), root.filePath("cwd"), [&] {
            path = runner.toolPath();
            outcome = QCoro::waitFor(runner.run(tool::logout(), std::nullopt));
        });
        QCOMPARE(path, expected.isEmpty() ? QString() : root.filePath(expected));
        QCOMPARE(std::holds_alternative<LaunchError>(outcome), expected.isEmpty());
        if (expected.isEmpty()) // says where it looked, not the launcher's "No program defined"
            QVERIFY(std::get<LaunchError>(outcome).description.startsWith(
                "The orvu tool was not found. Looked in: " + root.filePath("share/orvu") + ", " +
                root.filePath("first/orvu")));
    }

    void runCollectsOutputsAndExitCode_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<CLIAuthResult>("expected");
        const auto row = [](const char *name, QByteArray script, CLIAuthResult expected) {
            QTest::newRow(name) << script << expected;
        };
        const int crashed = tool::kExitCrashed;
        row("both streams and the code", "printf partial; echo boom >&2; exit 7",
            {"partial", "boom\n", 7});
        row("invalid UTF-8 empties only its stream", R"(printf 'ok\n\377\n'; printf e >&2; exit 1)",
            {"", "e", 1});
        row("character split across writes", R"(printf 'caf\303'; sleep 0.05; printf '\251')",
            {QString::fromUtf8("café"), "", 0});
        row("standard input is the null device", "cat", {"", "", 0});
        // Killed by a signal: never read as "sign in" (2), "offline" (3) or success.
        row("SIGINT", "echo x; kill -INT $$; sleep 5", {"x\n", "", crashed});
        row("SIGILL", "kill -ILL $$; sleep 5", {"", "", crashed});
        row("killed after the time limit", "echo started; exec sleep 30",
            {"started\n", "", crashed});
    }
    void runCollectsOutputsAndExitCode() {
        QFETCH(QByteArray, script);
        QFETCH(CLIAuthResult, expected);
        ScriptTool tool(script);
        QElapsedTimer timer;
        timer.start();
        const RunOutcome outcome =
            QCoro::waitFor(CLIRunner(tool.location()).run(tool::whoami(), {}, {}, 3000ms));
        QVERIFY(std::holds_alternative<CLIAuthResult>(outcome));
        QCOMPARE(std::get<CLIAuthResult>(outcome), expected);
        QVERIFY(timer.elapsed() < 10000);
        QVERIFY(!processAlive(tool.lastRun().value(0)));
    }

    // Both pipes are drained far beyond what they hold, standard error first, without a stall;
    // past either cap the child is stopped and the run fails saying why.
    void runKeepsOutputUpToItsCaps_data() {
        QTest::addColumn<int>("errorBytes");
        QTest::addColumn<int>("outputBytes"); // -1: endless
        QTest::addColumn<bool>("kept");
        QTest::newRow("both below their caps") << (1 << 20) << 30'000'000 << true;
        QTest::newRow("standard error over") << (1 << 20) + 1 << 0 << false;
        QTest::newRow("standard output over") << 0 << (32 << 20) + 1 << false;
        QTest::newRow("endless output") << 0 << -1 << false;
    }
    void runKeepsOutputUpToItsCaps() {
        QFETCH(int, errorBytes);
        QFETCH(int, outputBytes);
        QFETCH(bool, kept);
        const QByteArray count =
            outputBytes < 0 ? "" : " | head -c " + QByteArray::number(outputBytes);
        ScriptTool tool("head -c " + QByteArray::number(errorBytes) + " /dev/zero >&2; yes" +
                        count);
        const RunOutcome outcome =
            QCoro::waitFor(CLIRunner(tool.location()).run(tool::repos(), std::nullopt));
        const CLIAuthResult &result = std::get<CLIAuthResult>(outcome);
        QCOMPARE(result.exitCode, kept ? 0 : tool::kExitOutputTooLarge);
        QCOMPARE(result.standardOutput.size(), kept ? outputBytes : 0);
        QCOMPARE(result.standardError.size() == errorBytes, kept);
        QCOMPARE(result.standardError.contains("more output than the app accepts"), !kept);
        QVERIFY(!processAlive(tool.lastRun().value(0)));
    }

    void reportsLaunchFailure() {
        ScriptTool tool("");
        QVERIFY(QFile::setPermissions(tool.executablePath(), QFileDevice::ReadOwner)); // no x
        const CLIRunner runner(tool.location());
        RunOutcome outcome;
        std::unique_ptr<StreamingRun> run;
        withPathAndDirectory(QDir::tempPath(), QDir::tempPath(), [&] {
            outcome = QCoro::waitFor(runner.run(tool::logout(), std::nullopt));
            run = runner.runStreaming(tool::sync("/f", {}), {});
        });
        QVERIFY(!std::get<LaunchError>(outcome).description.isEmpty());
        QVERIFY(!run->finishedCode()); // finishes later, like any other run
        const StreamTrace trace = consume(*run);
        QCOMPARE(trace.lines, QStringList{});
        QCOMPARE(trace.finishes, QList<int>{tool::kExitLaunchFailed});
        QCOMPARE(QCoro::waitFor(run->exitCode()), tool::kExitLaunchFailed);
    }

    void streamingDeliversLinesThenExitCode_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("last line flushed at exit")
            << QByteArray(R"(printf 'a\nb')") << QStringList{"a", "b"} << 0;
        QTest::newRow("line split across writes")
            << QByteArray("printf ab; sleep 0.05; echo c; exit 4") << QStringList{"abc"} << 4;
        // The length cap holds end to end: the endless line goes, the next one still comes.
        QTest::newRow("overlong line dropped")
            << QByteArray("echo before; head -c 17000000 /dev/zero | tr '\\0' z; printf "
                          "'tail\\nafter\\n'")
            << QStringList{"before", "after"} << 0;
        QTest::newRow("killed by a signal") << QByteArray("echo x; kill -INT $$; sleep 5")
                                            << QStringList{"x"} << tool::kExitCrashed;
    }
    void streamingDeliversLinesThenExitCode() {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, lines);
        QFETCH(int, exitCode);
        ScriptTool tool(script);
        const std::unique_ptr<StreamingRun> run =
            CLIRunner(tool.location()).runStreaming(tool::sync("/f", {}), tool::kDefaultServerURL);
        const StreamTrace trace = consume(*run);
        QCOMPARE(trace.lines, lines);
        QCOMPARE(trace.finishes, QList<int>{exitCode});
        QCOMPARE(trace.linesAtFinish, lines.size());
        QCOMPARE(QCoro::waitFor(run->exitCode()), exitCode); // at once, and again the same
        QCOMPARE(QCoro::waitFor(run->exitCode()), exitCode);
    }

    // Lines arrive while the child runs; the exit code waits for its end; dropping the run
    // kills and reaps the child.
    void streamingWhileTheChildRuns() {
        ScriptTool tool("echo first; sleep 0.1; echo second; sleep 0.3; exit 3");
        std::unique_ptr<StreamingRun> run =
            CLIRunner(tool.location()).runStreaming(tool::sync("/f", {}), std::nullopt);
        QSignalSpy lines(run.get(), &StreamingRun::lineReceived);
        QVERIFY(QTest::qWaitFor([&] { return lines.size() == 2; }, 5000));
        QVERIFY(!run->finishedCode());
        QCOMPARE(QCoro::waitFor(run->exitCode()), tool::kExitNetworkUnavailable);

        ScriptTool hanging("echo up; exec sleep 30");
        run = CLIRunner(hanging.location()).runStreaming(tool::sync("/f", {}), std::nullopt);
        QSignalSpy up(run.get(), &StreamingRun::lineReceived);
        QVERIFY(up.wait(5000));
        run.reset();
        QVERIFY(!processAlive(hanging.lastRun().value(0)));
    }

    // A consumer may drop the run from its own slots, also from the finished() handler.
    void consumerMayDestroyTheRunFromItsSlots() {
        for (const bool onFirstLine : {true, false}) {
            ScriptTool tool(R"(printf 'a\nb\nc\n')");
            std::unique_ptr<StreamingRun> run =
                CLIRunner(tool.location()).runStreaming(tool::sync("/f", {}), std::nullopt);
            QStringList seen;
            QObject::connect(run.get(), &StreamingRun::lineReceived, [&](const QString &line) {
                seen.append(line);
                if (onFirstLine)
                    run.reset();
            });
            QObject::connect(run.get(), &StreamingRun::finished, [&](int) { run.reset(); });
            QVERIFY(QTest::qWaitFor([&] { return !run; }, 5000));
            QTest::qWait(20);
            QCOMPARE(seen, onFirstLine ? QStringList{"a"} : (QStringList{"a", "b", "c"}));
        }
    }
};

QTEST_GUILESS_MAIN(TestCLIRunner)
#include "test_cli_runner.moc"
