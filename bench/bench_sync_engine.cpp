// Timing harness for the sync engine against a fake tool that replays prepared output:
//  - a full refresh publishing 100,000 pending changes: time from the tool's exit to the
//    published list, and the longest gap of the main event loop meanwhile;
//  - memory the engine holds with those 100,000 pending changes;
//  - the process's resident memory after the first refresh and after five more, each with
//    one more touched file (goal: within 1.5x of the first, as a fresh start would hold);
//  - a sync run streaming 1,000,000 push events: events applied per second.
// Prints the median (and worst) of several runs. Usage: bench_sync_engine [runs]
#include "core/cli/tool_commands.h"
#include "core/sync/sync_engine.h"

#include "bench_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThreadPool>

#include <QCoro/QCoroTask>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

using namespace orvu;
using namespace orvu::bench;

namespace {

qint64 realtimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// A tool that prints a prepared file per subcommand and notes the moment it exits.
bool makeFakeTool(const QString &dir) {
    const QByteArray script = "#!/bin/sh\n"
                              "# --server URL <subcommand> ...\n"
                              "case \"$3\" in\n"
                              "  status) cat \"" +
                              dir.toUtf8() +
                              "/status.jsonl\" ;;\n"
                              "  sync) cat \"" +
                              dir.toUtf8() + "/sync.jsonl\"; date +%s%N > \"" + dir.toUtf8() +
                              "/exited\"; exit 4 ;;\n"
                              "esac\n"
                              "date +%s%N > \"" +
                              dir.toUtf8() + "/exited\"\n";
    return writeExecutable(dir + QStringLiteral("/orvu"), script);
}

double residentMb() {
    long pages = 0;
    long resident = 0;
    if (FILE *file = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(file, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(file);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Runs the event loop and the pool until a refresh's leftovers are gone.
void settle() {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 600)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThreadPool::globalInstance()->waitForDone();
}

size_t heapInUse() {
    malloc_trim(0);
    return mallinfo2().uordblks;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 9;
    const bool syncOnly = argc > 2 && QByteArrayView(argv[2]) == "sync";
    const auto pathOf = [](int i) {
        return "projects/folder" + QByteArray::number(i % 200) + "/document-" +
               QByteArray::number(i) + ".txt";
    };
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("folder"));
    QDir().mkpath(folder);
    if (!makeFakeTool(dir.path()) ||
        !writeFile(dir.filePath(QStringLiteral("status.jsonl")),
                   statusOutput(100'000, 0, pathOf)) ||
        !writeFile(dir.filePath(QStringLiteral("sync.jsonl")),
                   pushEvents(1'000'000, "file-", ".bin"))) {
        std::fprintf(stderr, "cannot prepare the fake tool\n");
        return 1;
    }
    const CLIRunner runner(ToolLocation{dir.path(), {}});

    // Resident memory over refreshes of the same 100,000 changes plus one touched file each.
    if (!syncOnly) {
        SyncEngine engine(std::nullopt, folder, runner);
        QList<double> resident;
        for (int refresh = 0; refresh < 6; ++refresh) {
            writeFile(dir.filePath(QStringLiteral("status.jsonl")),
                      statusOutput(100'000 + refresh, 0, pathOf));
            QCoro::waitFor(engine.refreshStatus());
            settle();
            resident << residentMb();
        }
        std::printf("resident memory, 100000 pending: %.1f MB after the first refresh, %.1f MB "
                    "after five more (%.2fx)\n",
                    resident.first(), resident.last(), resident.last() / resident.first());
        writeFile(dir.filePath(QStringLiteral("status.jsonl")), statusOutput(100'000, 0, pathOf));
    }

    // The runner alone, for comparison: from the tool's exit to its result.
    QList<double> runnerMs;
    for (int run = 0; run < (syncOnly ? 0 : runs); ++run) {
        QCoro::waitFor(runner.run(tool::remoteStatus(folder), tool::kDefaultServerURL));
        const qint64 doneAt = realtimeNs();
        QFile exited(dir.filePath(QStringLiteral("exited")));
        exited.open(QIODevice::ReadOnly);
        runnerMs << (doneAt - exited.readAll().trimmed().toLongLong()) / 1e6;
    }
    if (!syncOnly)
        std::printf("runner alone, same output: tool exit -> result  median %.1f ms\n",
                    median(runnerMs));

    // Full refresh of 100,000 pending changes.
    QList<double> publishMs;
    QList<double> stallMs;
    QList<double> busyMs;
    QList<double> heldMb;
    for (int run = 0; run < (syncOnly ? 0 : runs); ++run) {
        const size_t heapBefore = heapInUse();
        auto engine = std::make_unique<SyncEngine>(std::nullopt, folder, runner);
        qint64 publishedAt = 0;
        QObject::connect(engine.get(), &SyncEngine::changed, [&] {
            if (engine->pendingChanges().size() == 100'000 && !publishedAt)
                publishedAt = realtimeNs();
        });
        // The event loop's longest gap while the refresh runs.
        MainThreadGapProbe probe;
        probe.start();
        QCoro::waitFor(engine->refreshAll());
        probe.stop();
        bool ok = false;
        QFile exited(dir.filePath(QStringLiteral("exited")));
        exited.open(QIODevice::ReadOnly);
        const qint64 exitedAt = exited.readAll().trimmed().toLongLong(&ok);
        if (!ok || !publishedAt) {
            std::fprintf(stderr, "refresh did not publish\n");
            return 1;
        }
        publishMs << (publishedAt - exitedAt) / 1e6;
        stallMs << probe.longestGapMs();
        busyMs << probe.longestBusyMs();
        QCoreApplication::processEvents(); // lets released containers go
        QThreadPool::globalInstance()->waitForDone();
        heldMb << (double(heapInUse()) - double(heapBefore)) / (1024.0 * 1024.0);
    }
    if (!syncOnly) {
        std::printf("full refresh, 100000 pending: tool exit -> published  median %.1f ms  "
                    "(max %.1f)\n",
                    median(publishMs), *std::max_element(publishMs.cbegin(), publishMs.cend()));
        std::printf("full refresh, 100000 pending: longest main-thread gap median %.1f ms  "
                    "(max %.1f)\n",
                    median(stallMs), *std::max_element(stallMs.cbegin(), stallMs.cend()));
        std::printf("full refresh, 100000 pending: longest main-thread busy stretch median "
                    "%.1f ms  (max %.1f)\n",
                    median(busyMs), *std::max_element(busyMs.cbegin(), busyMs.cend()));
        std::printf("engine holding 100000 pending changes: heap median %.1f MB\n", median(heldMb));
    }

    // A sync run streaming 1,000,000 push events, seen through a coordinator's announcements
    // as the views see it: how many, and how fast the events are applied.
    QList<double> eventsPerSecond;
    QList<double> announcementsPerSecond;
    const int syncRuns = syncOnly ? runs : std::max(1, runs / 3);
    for (int run = 0; run < syncRuns; ++run) {
        SyncEngine engine(std::nullopt, folder, runner);
        qint64 announced = 0;
        qint64 lastCompleted = 0;
        QObject::connect(&engine, &SyncEngine::changed, [&] { ++announced; });
        QObject::connect(&engine, &SyncEngine::progressChanged, [&] {
            ++announced;
            if (engine.syncProgress())
                lastCompleted = engine.syncProgress()->completedFiles;
        });
        QElapsedTimer clock;
        clock.start();
        engine.sync(false);
        while (engine.isSyncing())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double seconds = clock.nsecsElapsed() / 1e9;
        if (lastCompleted != 1'000'000) {
            std::fprintf(stderr, "the run ended at %lld of 1000000\n", lastCompleted);
            return 1;
        }
        eventsPerSecond << 1'000'000 / seconds;
        announcementsPerSecond << announced / seconds;
    }
    std::printf("sync run, 1000000 push events: median %.0f events/s applied, %.1f "
                "announcements/s\n",
                median(eventsPerSecond), median(announcementsPerSecond));
    return 0;
}
