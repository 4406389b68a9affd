// How long SyncCoordinator::start() takes with 100 stored bindings whose folders exist: from
// the call until every engine is constructed and has started watching its folder. The tool is
// missing, so each engine's first refresh fails at launch instead of running it. Then, with 20
// bindings of 10,000 directories each: the longest stall of the main event loop from start() until
// every watcher has walked its tree.
//
// Run by hand: build/default/bin/bench_coordinator_start [iterations] [large-iterations]

#include "core/bindings/folder_config_reader.h"
#include "core/bindings/sync_coordinator.h"
#include "core/platform/memory_folder_access.h"
#include "core/platform/memory_settings_store.h"
#include "core/repos/stub_repo_cli.h"
#include "core/sync/file_watcher.h"
#include "core/sync/sync_engine.h"

#include "bench_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace orvu;
using namespace orvu::bench;

namespace {

constexpr int kBindings = 100;

void drainEvents(int milliseconds) {
    QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

constexpr int kLargeBindings = 20;

// Prints the medians of the longest main-thread stall and of the time until all are armed.
bool largeTrees(int iterations, const CLIRunner &missingTool, const QString &rootPath) {
    const long needed = 2L * kLargeBindings * kTreeDirectories;
    if (readLimit(kMaxUserWatches) < needed && !writeLimit(kMaxUserWatches, needed)) {
        std::fprintf(stderr, "max_user_watches is below %ld and cannot be raised\n", needed);
        return false;
    }
    QList<RepoBinding> bindings;
    for (int i = 0; i < kLargeBindings; ++i) {
        const QString id = QStringLiteral("large-%1").arg(i);
        const QString folder = QDir(rootPath).filePath(id);
        buildTree(folder);
        bindings.append(RepoBinding{id, id, id, folder, std::nullopt, false});
    }
    FolderConfigReader reader;
    std::vector<double> stalls;
    std::vector<double> armedAfter;
    std::vector<double> startCalls;
    std::vector<double> busy;
    for (int iteration = 0; iteration < iterations; ++iteration) {
        MemorySettingsStore defaults;
        MemoryFolderAccess access;
        BindingStore(defaults, reader).save(bindings);
        SyncCoordinator coordinator(BindingStore(defaults, reader),
                                    std::make_shared<StubRepoCLI>(QList<RepoInfo>{}),
                                    Preferences(defaults, access), access, missingTool, rootPath);
        MainThreadGapProbe probe;
        QElapsedTimer clock;
        clock.start();
        probe.start();
        coordinator.start(); // counts as a stall of its own
        startCalls.push_back(clock.nsecsElapsed() / 1e6);
        const auto allArmed = [&] {
            return std::all_of(coordinator.engines().cbegin(), coordinator.engines().cend(),
                               [](const SyncEngine *engine) {
                                   return engine->fileWatcher() && engine->fileWatcher()->isArmed();
                               });
        };
        QDeadlineTimer deadline(60'000);
        while (!allArmed() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        probe.stop();
        if (!allArmed() || coordinator.engines().size() != kLargeBindings) {
            std::fprintf(stderr, "not every engine is watching\n");
            return false;
        }
        armedAfter.push_back(clock.nsecsElapsed() / 1e6);
        stalls.push_back(probe.longestGapMs());
        busy.push_back(probe.longestBusyMs());
        coordinator.stopAll();
        drainEvents(1000); // the kernel frees the watches of closed instances meanwhile
    }
    std::sort(stalls.begin(), stalls.end());
    std::sort(armedAfter.begin(), armedAfter.end());
    std::sort(startCalls.begin(), startCalls.end());
    std::sort(busy.begin(), busy.end());
    std::printf("start() with %d bindings of 10000 directories: longest main-thread busy "
                "stretch median %.1f ms (max %.1f)\n",
                kLargeBindings, busy[busy.size() / 2], busy.back());
    std::printf("start() with %d bindings of 10000 directories: longest main-thread stall "
                "median %.1f ms (max %.1f; the start() call itself %.1f ms), all armed after "
                "median %.0f ms, over %d runs\n",
                kLargeBindings, stalls[stalls.size() / 2], stalls.back(),
                startCalls[startCalls.size() / 2], armedAfter[armedAfter.size() / 2], iterations);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int iterations = argc > 1 ? std::max(1, atoi(argv[1])) : 15;

    QTemporaryDir root;
    QList<RepoBinding> bindings;
    QList<RepoInfo> repos;
    for (int i = 0; i < kBindings; ++i) {
        const QString id = QStringLiteral("repo-%1").arg(i);
        const QString folder = root.filePath(id);
        QDir().mkpath(folder + "/docs/notes");
        for (const char *name : {"a.txt", "b.md", "docs/c.txt", "docs/notes/d.txt"}) {
            if (!writeFile(folder + "/" + name, "content\n"))
                return 1;
        }
        bindings.append(
            RepoBinding{id, id, id, folder, MemoryFolderAccess::bookmarkFor(folder), false});
        repos.append(RepoInfo{id, id, QStringLiteral("Repo %1").arg(i), "public"});
    }

    FolderConfigReader reader;
    const CLIRunner missingTool(ToolLocation{root.filePath("no-tool"), {}});
    std::vector<double> samples;
    for (int iteration = 0; iteration < iterations; ++iteration) {
        MemorySettingsStore defaults;
        MemoryFolderAccess access;
        BindingStore(defaults, reader).save(bindings);
        SyncCoordinator coordinator(
            BindingStore(defaults, reader), std::make_shared<StubRepoCLI>(repos),
            Preferences(defaults, access), access, missingTool, root.path());
        QElapsedTimer timer;
        timer.start();
        coordinator.start();
        // The engines start one per turn of the event loop.
        const auto watching = [&] {
            return std::all_of(coordinator.engines().cbegin(), coordinator.engines().cend(),
                               [](const SyncEngine *engine) {
                                   return engine->fileWatcher() &&
                                          engine->fileWatcher()->isRunning();
                               });
        };
        QDeadlineTimer deadline(10'000);
        while (!watching() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const bool allWatching = coordinator.engines().size() == kBindings && watching();
        samples.push_back(timer.nsecsElapsed() / 1e6);
        if (!allWatching) {
            std::fprintf(stderr, "not every engine is watching\n");
            return 1;
        }
        coordinator.stopAll();
        drainEvents(300);
    }
    std::sort(samples.begin(), samples.end());
    std::printf("start() with %d bindings: median %.1f ms, min %.1f ms, max %.1f ms over %d runs\n",
                kBindings, samples[samples.size() / 2], samples.front(), samples.back(),
                iterations);
    const int largeIterations = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
    return largeTrees(largeIterations, missingTool, root.path()) ? 0 : 1;
}
