// The streaming runner reading a child that prints push event lines as fast as it can: how many
// lines per second reach the consumer.

#include "core/cli/cli_runner.h"
#include "core/cli/tool_commands.h"
#include "support/stand_in/stand_in_tool.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <benchmark/benchmark.h>

using namespace orvu;

namespace {

void streamingPushLines(benchmark::State &state) {
    const qint64 lineCount = state.range(0);
    test::StandInTool tool;
    tool.respond("sync", test::Response().generated(
                             "{\"type\":\"push\",\"file\":\"dir/file{n}.txt\",\"current\":{n},"
                             "\"total\":" +
                                 QByteArray::number(lineCount) + "}\n",
                             lineCount));
    const CLIRunner runner(tool.location());

    qint64 delivered = 0;
    qint64 characters = 0;
    for (auto _ : state) {
        const std::unique_ptr<StreamingRun> run =
            runner.runStreaming(tool::sync("/bench", {}), tool::kDefaultServerURL);
        QEventLoop loop;
        QObject::connect(run.get(), &StreamingRun::lineReceived, [&](const QString &line) {
            ++delivered;
            characters += line.size();
        });
        QObject::connect(run.get(), &StreamingRun::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    benchmark::DoNotOptimize(characters);
    if (delivered != lineCount * static_cast<qint64>(state.iterations()))
        state.SkipWithError("lines were lost");
    state.counters["lines_per_second"] =
        benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
}

BENCHMARK(streamingPushLines)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(false);

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
