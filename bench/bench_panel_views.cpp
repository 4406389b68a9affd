// Timing harness for the tray panel against engines on a fake tool that replays prepared output:
//  - a sync run streaming 1,000,000 push events: wall and CPU time with no panel, with the
//    panel hidden and with it open and the repo row expanded, and how often the open panel
//    repaints meanwhile;
//  - an engine with 100,000 pending changes: expanding its row (the list builds 50 rows), and
//    the update after a refresh that changes one path;
//  - the panel with 20 repo rows: from construction to painted.
// Prints medians of several runs. Usage: bench_panel_views [runs] [sync|pending|open]
#include "core/account/auth_manager.h"
#include "core/bindings/folder_config_reader.h"
#include "core/bindings/sync_coordinator.h"
#include "core/platform/memory_folder_access.h"
#include "core/platform/memory_settings_store.h"
#include "core/repos/stub_repo_cli.h"
#include "core/sync/sync_engine.h"
#include "gui/views/pending_changes_list_view.h"
#include "gui/views/popover_content_view.h"
#include "gui/views/repo_row_view.h"
#include "gui/views/signed_in_multi_repo_view.h"

#include "bench_support.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>

using namespace orvu;
using namespace orvu::bench;

namespace {

// "--server URL <subcommand> <folder> ...": each folder holds the output of its own status
// and sync runs, so every engine can be given its own.
bool makeFakeTool(const QString &dir) {
    const QByteArray script = "#!/bin/sh\n"
                              "case \"$3\" in\n"
                              "  status) cat \"$4/.status.jsonl\" ;;\n"
                              "  sync) cat \"$4/.sync.jsonl\" ;;\n"
                              "esac\n";
    return writeExecutable(dir + QStringLiteral("/orvu"), script);
}

QByteArray statusOutput(int count, const QByteArray &firstName = "document-0") {
    return orvu::bench::statusOutput(count, 1, [&](int i) {
        return "folder/" + (i ? "document-" + QByteArray::number(i) : firstName) + ".txt";
    });
}

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Counts the repaints of one window.
struct RepaintCounter : QObject {
    int count = 0;
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::UpdateRequest)
            ++count;
        return false;
    }
};

// The app's world: a coordinator over the fake tool with one binding per folder.
struct World {
    QTemporaryDir dir;
    MemorySettingsStore defaults;
    MemoryFolderAccess access;
    FolderConfigReader reader;
    std::unique_ptr<SyncCoordinator> coordinator;
    AuthManager auth{nullptr, std::make_shared<MemorySettingsStore>(), std::nullopt};

    bool prepare(int repos, const QByteArray &status, const QByteArray &sync = {}) {
        if (!makeFakeTool(dir.path()))
            return false;
        QList<RepoBinding> bindings;
        for (int i = 0; i < repos; ++i) {
            const QString folder = dir.filePath(QStringLiteral("repo-%1").arg(i));
            QDir().mkpath(folder);
            if (!writeFile(folder + "/.status.jsonl", status) ||
                !writeFile(folder + "/.sync.jsonl", sync))
                return false;
            const QString slug = QStringLiteral("repo-%1").arg(i);
            bindings.append(RepoBinding{"id-" + slug, slug, "Repo " + QString::number(i + 1),
                                        folder, std::nullopt, false});
        }
        coordinator = std::make_unique<SyncCoordinator>(
            BindingStore(defaults, reader), std::make_shared<StubRepoCLI>(),
            Preferences(defaults, access), access, CLIRunner(ToolLocation{dir.path(), {}}));
        coordinator->apply(bindings);
        auth.applySignedIn(QStringLiteral("me@example.com"), QStringLiteral("me"));
        return waitUntil([&] {
            return std::all_of(coordinator->engines().cbegin(), coordinator->engines().cend(),
                               [](SyncEngine *engine) { return engine->remoteStatus(); });
        });
    }
    std::unique_ptr<PopoverContentView> openPanel() {
        auto panel = std::make_unique<PopoverContentView>(auth, *coordinator, PopoverCallbacks{});
        panel->show();
        panel->repaint();
        return panel;
    }
    RepoRowView *row(PopoverContentView &panel) const {
        return panel.signedInView()->repoRows().value(0);
    }
};

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const QByteArray only = argc > 2 ? QByteArray(argv[2]) : QByteArray();
    auto wanted = [&](const char *part) { return only.isEmpty() || only == part; };

    // A sync streaming 1,000,000 push events, with and without the open panel.
    if (wanted("sync")) {
        World world;
        if (!world.prepare(1, statusOutput(1000), pushEvents(1'000'000, "document-", ".txt"))) {
            std::fprintf(stderr, "cannot prepare the streaming run\n");
            return 1;
        }
        // Without a panel, with the panel built but hidden (the app between openings), and
        // open with the row expanded; interleaved, so that load from elsewhere hits all three.
        const char *const modes[] = {"no panel", "panel hidden", "panel open"};
        QList<double> wallSeconds[3], cpuSeconds[3], repaintsPerSecond, streamingRepaints;
        for (int run = 0; run < 3 * runs; ++run) {
            const int mode = run % 3;
            std::unique_ptr<PopoverContentView> panel;
            RepaintCounter counter;
            if (mode > 0) {
                panel = world.openPanel();
                world.row(*panel)->setExpanded(true);
                panel->installEventFilter(&counter);
                if (mode == 1)
                    panel->hide();
            }
            SyncEngine *engine = world.coordinator->engines().first();
            QElapsedTimer clock;
            clock.start();
            // The stream alone, from its first progress to the last: the run as a whole also
            // holds the start and the refresh after it, whose repaints do not repeat per event.
            qint64 firstNs = -1, lastNs = -1;
            int firstCount = 0, lastCount = 0;
            const QMetaObject::Connection streaming =
                QObject::connect(engine, &SyncEngine::progressChanged, [&] {
                    if (!engine->syncProgress())
                        return;
                    lastNs = clock.nsecsElapsed();
                    lastCount = counter.count;
                    if (firstNs < 0)
                        firstNs = lastNs, firstCount = lastCount;
                });
            const double cpuBefore = processCpuSeconds();
            engine->sync(true);
            waitUntil([&] { return !engine->isSyncing(); }, 600'000);
            const double seconds = clock.nsecsElapsed() / 1e9;
            wallSeconds[mode] << seconds;
            cpuSeconds[mode] << processCpuSeconds() - cpuBefore;
            QObject::disconnect(streaming);
            if (mode == 2) {
                repaintsPerSecond << counter.count / seconds;
                if (lastNs > firstNs)
                    streamingRepaints << (lastCount - firstCount) / ((lastNs - firstNs) / 1e9);
            }
            // Back to 1,000 pending changes for the next run.
            waitUntil([&] { return engine->pendingChanges().size() == 1000; });
        }
        for (int mode = 0; mode < 3; ++mode)
            std::printf("sync, 1000000 push events, %s: wall median %.2f s (%+.1f%%), cpu of this "
                        "process median %.2f s (%+.1f%%)\n",
                        modes[mode], median(wallSeconds[mode]),
                        100 * (median(wallSeconds[mode]) / median(wallSeconds[0]) - 1),
                        median(cpuSeconds[mode]),
                        100 * (median(cpuSeconds[mode]) / median(cpuSeconds[0]) - 1));
        std::printf("sync, 1000000 push events, panel open: median %.1f repaints/s over the whole "
                    "run, %.1f/s while events stream\n",
                    median(repaintsPerSecond), median(streamingRepaints));
    }

    // 100,000 pending changes: expanding the row, and a refresh that changes one path.
    if (wanted("pending")) {
        World world;
        if (!world.prepare(1, statusOutput(100'000))) {
            std::fprintf(stderr, "cannot prepare 100000 pending changes\n");
            return 1;
        }
        SyncEngine *engine = world.coordinator->engines().first();
        // Connected before the panel's own connections, so it runs before them...
        QElapsedTimer updating;
        QObject::connect(engine, &SyncEngine::changed, [&] { updating.start(); });
        auto panel = world.openPanel();
        double updateMs = 0;
        // ...and this one after them.
        QObject::connect(engine, &SyncEngine::changed,
                         [&] { updateMs = updating.nsecsElapsed() / 1e6; });
        RepoRowView *row = world.row(*panel);
        QList<double> expandMs, expandPaintMs, refreshMs, refreshPaintMs;
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer clock;
            clock.start();
            row->setExpanded(true);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            expandMs << clock.nsecsElapsed() / 1e6;
            panel->repaint();
            expandPaintMs << clock.nsecsElapsed() / 1e6;
            if (row->changesList()->rows().size() != 50) {
                std::fprintf(stderr, "expected 50 rows\n");
                return 1;
            }

            // One path of the first 50 changes: renamed (and back on the next run).
            const QByteArray first = run % 2 ? "document-0" : "document-0-renamed";
            writeFile(*engine->folderPath() + "/.status.jsonl", statusOutput(100'000, first));
            QCoro::waitFor(engine->refreshStatus());
            refreshMs << updateMs;
            clock.restart();
            panel->repaint();
            refreshPaintMs << updateMs + clock.nsecsElapsed() / 1e6;
            row->setExpanded(false);
            QCoreApplication::processEvents();
        }
        std::printf("100000 pending, expand: list built median %.2f ms, built and painted "
                    "median %.2f ms\n",
                    median(expandMs), median(expandPaintMs));
        std::printf("100000 pending, refresh changing one path: views updated median %.2f ms, "
                    "updated and painted median %.2f ms\n",
                    median(refreshMs), median(refreshPaintMs));
    }

    // The panel with 20 repo rows, from construction to painted.
    if (wanted("open")) {
        World world;
        if (!world.prepare(20, statusOutput(3))) {
            std::fprintf(stderr, "cannot prepare 20 repos\n");
            return 1;
        }
        QList<double> openMs;
        for (int run = 0; run < runs + 1; ++run) {
            QElapsedTimer clock;
            clock.start();
            auto panel = world.openPanel();
            openMs << clock.nsecsElapsed() / 1e6;
            if (panel->signedInView()->repoRows().size() != 20)
                return 1;
        }
        const double cold = openMs.takeFirst();
        std::printf("panel with 20 repo rows, open to painted: first %.1f ms, then median %.1f "
                    "ms\n",
                    cold, median(openMs));
    }
    return 0;
}
