// With the offline tool and a bound folder of 10,000 files: the time from a file write to
// the updated pending list (watcher latency, debounce and the status run together).
// Usage: bench_sync_latency [writes]
#include "core/cli/tool_commands.h"
#include "core/sync/sync_engine.h"
#include "support/sandbox/orvu_local_sandbox.h"

#include "bench_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>

using namespace orvu;
using namespace orvu::bench;

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int writes = argc > 1 ? std::max(1, atoi(argv[1])) : 9;
    test::OrvuLocalSandbox sandbox;
    if (!sandbox.signIn(QStringLiteral("bench@example.com")))
        return std::fprintf(stderr, "sign-in failed\n"), 1;
    const QString folder = sandbox.makeFolder(QStringLiteral("big"));
    if (sandbox.orvu(tool::init(folder, QStringLiteral("big"), {}, false)).exitCode != 0)
        return std::fprintf(stderr, "init failed\n"), 1;
    for (int d = 0; d < 100; ++d) {
        const QString dir = folder + QStringLiteral("/dir%1").arg(d);
        QDir().mkpath(dir);
        for (int f = 0; f < 100; ++f)
            writeFile(dir + QStringLiteral("/file%1.txt").arg(f), QByteArray::number(d * 100 + f));
    }
    std::printf("pushing 10000 files once...\n");
    std::fflush(stdout);
    if (sandbox.orvu(tool::sync(folder, {})).exitCode != 0)
        return std::fprintf(stderr, "initial sync failed\n"), 1;

    SyncEngine engine(std::nullopt, folder, CLIRunner(ToolLocation{sandbox.toolDirectory(), {}}));
    engine.start();
    if (!waitUntil([&] { return engine.remoteStatus().has_value(); }, 30000))
        return std::fprintf(stderr, "first refresh failed\n"), 1;

    QList<double> latencies;
    for (int i = 0; i < writes; ++i) {
        // Let the previous burst settle, so each write starts a batch of its own.
        waitUntil([] { return false; }, 2500);
        const qsizetype before = engine.pendingChanges().size();
        QElapsedTimer clock;
        clock.start();
        writeFile(folder + QStringLiteral("/dir%1/new%2.txt").arg(i % 100).arg(i), "x");
        if (!waitUntil([&] { return engine.pendingChanges().size() == before + 1; }, 10000))
            return std::fprintf(stderr, "write %d never showed\n", i), 1;
        latencies << clock.nsecsElapsed() / 1e6;
        std::printf("  write %d: %.0f ms\n", i, latencies.last());
        std::fflush(stdout);
    }
    engine.stop();
    std::sort(latencies.begin(), latencies.end());
    std::printf("10000-file folder: file write -> pending list  median %.0f ms  (min %.0f, max "
                "%.0f)\n",
                latencies[latencies.size() / 2], latencies.first(), latencies.last());
    return 0;
}
