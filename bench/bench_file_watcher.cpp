// Arming the folder watcher on a large tree: how long start() blocks the main thread, and how
// much resident memory the armed watcher adds. Run by hand: build/default/bin/bench_file_watcher
#include "core/sync/file_watcher.h"

#include "bench_support.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <unistd.h>

using namespace orvu::bench;

namespace {

constexpr int kFilesPerDirectory = 10; // 100,000 files

QString g_root;

long residentBytes() {
    long pages = 0;
    long resident = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * ::sysconf(_SC_PAGESIZE);
}

void BM_ArmWatcher(benchmark::State &state) {
    for (auto _ : state) {
        ::malloc_trim(0);
        const long before = residentBytes();
        auto watcher = std::make_shared<orvu::FileWatcher>(g_root, [](const QStringList &) {});
        const auto started = std::chrono::steady_clock::now();
        watcher->start();
        const auto armed = std::chrono::steady_clock::now();
        const long after = residentBytes();
        state.SetIterationTime(std::chrono::duration<double>(armed - started).count());
        state.counters["rss_added_MB"] = double(after - before) / (1024.0 * 1024.0);
        watcher->stop();
        watcher.reset();
        // The kernel frees a closed instance's watches in the background; let that finish so
        // it does not compete with the next repetition.
        ::usleep(300 * 1000);
    }
}
BENCHMARK(BM_ArmWatcher)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(15)
    ->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv); // the watcher's socket notifier needs an event dispatcher
    benchmark::Initialize(&argc, argv);

    const long needed = kTreeDirectories + 1000;
    const long limit = readLimit(kMaxUserWatches);
    if (limit < needed) {
        if (::geteuid() == 0 && writeLimit(kMaxUserWatches, needed)) {
            std::fprintf(stderr, "raised max_user_watches from %ld to %ld\n", limit, needed);
        } else {
            std::fprintf(stderr,
                         "max_user_watches is %ld, below the %ld this tree needs, and it cannot "
                         "be raised here: the results would measure a partly armed tree\n",
                         limit, needed);
            return 1;
        }
    }

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    g_root = dir.path();
    std::fprintf(stderr, "building 10,000 directories with 100,000 files in %s...\n",
                 qPrintable(g_root));
    buildTree(g_root, kFilesPerDirectory);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
