// How long SyncCoordinator::start() takes with 100 stored bindings whose folders exist: from
// the call until every engine is constructed and its folder watched. The tool is missing, so
// each engine's first refresh fails at launch instead of running it.
//
// Run by hand: build/default/bin/bench_coordinator_start [iterations]

#include "core/bindings/folder_config_reader.h"
#include "core/bindings/sync_coordinator.h"
#include "core/platform/memory_folder_access.h"
#include "core/platform/memory_settings_store.h"
#include "core/repos/stub_repo_cli.h"
#include "core/sync/file_watcher.h"
#include "core/sync/sync_engine.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace orvu;

namespace {

constexpr int kBindings = 100;

void drainEvents(int milliseconds) {
    QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
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
            QFile file(folder + "/" + name);
            if (!file.open(QIODevice::WriteOnly))
                return 1;
            file.write("content\n");
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
        const bool allWatching =
            coordinator.engines().size() == kBindings &&
            std::all_of(coordinator.engines().cbegin(), coordinator.engines().cend(),
                        [](const SyncEngine *engine) {
                            return engine->fileWatcher() && engine->fileWatcher()->isRunning();
                        });
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
    return 0;
}
