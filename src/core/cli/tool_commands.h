#pragma once

#include <QString>
#include <QStringList>

#include <chrono>

// Every argument vector the app passes to the `orvu` tool, and the exit codes that callers
// tell apart. Nothing else in the app spells a subcommand or an option of the tool.
namespace orvu::tool {

// The server every run talks to, placed before the subcommand by CLIRunner.
inline const QString kDefaultServerURL = QStringLiteral("https://orvu.io");

// Exit codes the tool promises; any other value is a failure whose message comes
// from the output, as each caller decides.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitAuthRequired = 2;
inline constexpr int kExitNetworkUnavailable = 3;
inline constexpr int kExitInterrupted = 4;
// Reported by a streaming run whose child could not be started.
inline constexpr int kExitLaunchFailed = -1;
// Reported for a child that was killed by a signal, or by its run's time limit: never one of
// the codes above, whatever number the platform gives such an exit.
inline constexpr int kExitCrashed = -2;
inline const QString kCrashedMessage = QStringLiteral("The orvu tool stopped unexpectedly");
// Reported for a run to completion whose child wrote more than the runner keeps; the child was
// killed and the result's standard error says why.
inline constexpr int kExitOutputTooLarge = -3;

// How long a run to completion may take before its child is killed (it then reads as
// kExitCrashed). Account and repo commands answer within seconds; a status run of a large
// folder hashes files first. Streamed sync runs have no limit.
inline constexpr std::chrono::milliseconds kRunTimeLimit = std::chrono::minutes(1);
inline constexpr std::chrono::milliseconds kStatusTimeLimit = std::chrono::minutes(5);

QStringList loginWithEmail(const QString &email);
QStringList loginWithVerification(const QString &tokenOrLink);
QStringList loginWithToken(const QString &token);
QStringList whoami();
QStringList logout();
QStringList repos();
// `displayName` is passed only when not empty.
QStringList init(const QString &folderPath, const QString &slug, const QString &displayName,
                 bool force);
QStringList status(const QString &folderPath);
QStringList remoteStatus(const QString &folderPath);
// `onlyPaths` become "--only" pairs in the given order; pass them already sorted, and empty
// when every pending change is to be synced.
QStringList sync(const QString &folderPath, const QStringList &onlyPaths);
QStringList syncDryRun(const QString &folderPath, const QStringList &onlyPaths);
// Appended to a sync or a dry run instead of "--only" pairs: pull and resolve as usual, push
// nothing. An addition of the bundled tool; a tool without it refuses the run.
QStringList pullOnly();
QStringList discard(const QString &path);

} // namespace orvu::tool
