// Arming the folder watcher on a large tree: how long start() blocks the main thread, and how
// much resident memory the armed watcher adds. Run by hand: build/default/bin/bench_file_watcher
#include "core/sync/file_watcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <malloc.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kTopDirectories = 100;
constexpr int kSubdirectoriesEach = 99; // 100 + 100 * 99 = 10,000 directories
constexpr int kFilesPerDirectory = 10;  // 100,000 files

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

long readLimit(const char *path) {
    long value = -1;
    if (FILE *file = std::fopen(path, "r")) {
        if (std::fscanf(file, "%ld", &value) != 1)
            value = -1;
        std::fclose(file);
    }
    return value;
}

bool writeLimit(const char *path, long value) {
    FILE *file = std::fopen(path, "w");
    if (!file)
        return false;
    const bool written = std::fprintf(file, "%ld\n", value) > 0;
    return std::fclose(file) == 0 && written;
}

void makeFiles(const QByteArray &dir) {
    for (int f = 0; f < kFilesPerDirectory; ++f) {
        const QByteArray file = dir + "/file" + QByteArray::number(f) + ".txt";
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            ::close(fd);
    }
}

void buildTree(const QString &root) {
    const QByteArray base = QFile::encodeName(root);
    for (int t = 0; t < kTopDirectories; ++t) {
        const QByteArray top = base + "/top" + QByteArray::number(t);
        ::mkdir(top.constData(), 0755);
        makeFiles(top);
        for (int s = 0; s < kSubdirectoriesEach; ++s) {
            const QByteArray sub = top + "/sub" + QByteArray::number(s);
            ::mkdir(sub.constData(), 0755);
            makeFiles(sub);
        }
    }
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

    const char *limitPath = "/proc/sys/fs/inotify/max_user_watches";
    const long needed = 1 + kTopDirectories * (1 + kSubdirectoriesEach) + 1000;
    const long limit = readLimit(limitPath);
    if (limit < needed) {
        if (::geteuid() == 0 && writeLimit(limitPath, needed)) {
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
    buildTree(g_root);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
