#pragma once

#include "folder_state.h"
#include "store.h"

#include <QSet>
#include <QStringList>

#include <optional>

namespace orvu::local {

// What a sync would do, path by path, from the folder, its synced state and the manifest.
struct SyncPlan {
    QStringList push;             // local additions and edits that are sent
    QStringList deleteServer;     // local deletions that are sent
    QStringList conflicts;        // changed on both sides to different results
    QStringList pull;             // server additions and edits (conflicts not included)
    QStringList deleteLocal;      // server deletions applied here
    QStringList settle;           // both sides changed alike: only the synced state moves
    QStringList remoteOnlyPull;   // for status: server-side "P"
    QStringList remoteOnlyDelete; // for status: server-side "RD"

    bool nothingToTransfer() const {
        return push.isEmpty() && deleteServer.isEmpty() && conflicts.isEmpty() && pull.isEmpty() &&
               deleteLocal.isEmpty();
    }
    // Files downloaded by the run: conflicts whose server side exists, then plain pulls.
    qsizetype pullCount(const Manifest &manifest) const;
};

// `only` limits what is pushed (exact paths or folders); server changes always apply. Paths
// under `unreadable` are left alone on both sides.
SyncPlan makePlan(const LocalFiles &local, const SyncedState &state, const Manifest &manifest,
                  const std::optional<QStringList> &only, const QStringList &unreadable);

struct SyncOptions {
    QString folder;
    QString repoId;
    std::optional<QStringList> only;
    bool dryRun = false;
};
int runSync(const Store &store, const SyncOptions &options);

// Installs SIGINT/SIGTERM handlers that only set a flag the run checks between files, and
// lets those signals through (a parent may have blocked them while starting us).
void installInterruptHandlers();
// Back to the default handling for commands that are not interruptible; a signal that came
// in the meantime then ends the process as it would have.
void restoreDefaultInterrupts();

} // namespace orvu::local
