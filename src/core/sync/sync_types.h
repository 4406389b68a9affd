#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>
#include <variant>

// Plain values that a sync engine publishes and that are decoded from the tool's output.
// All counts are signed 64-bit; every type is copied on assignment.
namespace orvu {

// The state of one engine. Only `error` carries a payload: the message shown to the user.
// Two states are equal when their kinds are, and two errors only when their messages are too.
struct SyncState {
    enum Kind { idle, syncing, pulling, notAuthenticated, noFolder, networkError, error };

    Kind kind = idle;
    QString message; // meaningful for `error` only

    SyncState() = default;
    SyncState(Kind k) : kind(k) {} // NOLINT: lets a plain kind stand for its state
    static SyncState failure(QString message) {
        SyncState state(error);
        state.message = std::move(message);
        return state;
    }

    bool isError() const { return kind == error; }

    friend bool operator==(const SyncState &a, const SyncState &b) {
        return a.kind == b.kind && (a.kind != error || a.message == b.message);
    }
};

// One file moved by a run.
struct SyncFileChange {
    enum class Action { pushed, pulled, deleted };

    QUuid id; // fresh for every decoded entry
    QString path;
    Action action = Action::pushed;

    static QString rawValue(Action action);
    friend bool operator==(const SyncFileChange &, const SyncFileChange &) = default;
};

// The outcome of one sync run.
struct SyncResult {
    qint64 pushed = 0;
    qint64 pulled = 0;
    qint64 deleted = 0;
    qint64 unchanged = 0; // no output feeds it: always 0
    std::optional<QString> error;
    QList<SyncFileChange> fileChanges;

    static SyncResult failure(QString message) {
        SyncResult result;
        result.error = std::move(message);
        return result;
    }
    friend bool operator==(const SyncResult &, const SyncResult &) = default;
};

// One local change not yet synced. Its identity is its path.
struct PendingChange {
    enum class ChangeType { added, modified, deleted };

    QString path; // exactly as the tool printed it
    ChangeType changeType = ChangeType::modified;

    const QString &id() const { return path; }
    static QString rawValue(ChangeType type);
    friend bool operator==(const PendingChange &, const PendingChange &) = default;
};

// Live progress of the running sync, for the current phase.
struct SyncProgress {
    enum class Phase { pushing, pulling };

    qint64 totalFiles = 0; // as the tool reported it when this progress was made
    qint64 completedFiles = 0;
    std::optional<QString> currentFile; // absent once the run has completed
    Phase phase = Phase::pushing;

    friend bool operator==(const SyncProgress &, const SyncProgress &) = default;
};

// Per-file state during a run; a path without an entry has not been touched by it.
enum class FileTransferStatus { waiting, transferring, done };

// A conflict copy: the tool kept the other version of `original` as `renamedTo`.
struct ConflictRename {
    QUuid id; // fresh for every decoded entry
    QString original;
    QString renamedTo;

    friend bool operator==(const ConflictRename &, const ConflictRename &) = default;
};

// One server-side change. Its identity is its path.
struct RemoteChange {
    // `remove` has the raw value "delete", a reserved word in C++.
    enum class ChangeType { pull, remove, conflict };

    QString path;
    ChangeType changeType = ChangeType::pull;

    const QString &id() const { return path; }
    static QString rawValue(ChangeType type);
    friend bool operator==(const RemoteChange &, const RemoteChange &) = default;
};

// What waits on the server.
struct RemoteStatusInfo {
    qint64 toPull = 0;
    qint64 toDelete = 0;
    qint64 conflicts = 0;
    QList<RemoteChange> changes; // in output order

    friend bool operator==(const RemoteStatusInfo &, const RemoteStatusInfo &) = default;
};

// The plan of a dry-run sync.
struct SyncPreview {
    qint64 toPush = 0;
    qint64 toPull = 0;
    qint64 toDeleteServer = 0;
    qint64 toDeleteLocal = 0;
    qint64 conflicts = 0;
    QStringList conflictFiles; // in output order

    friend bool operator==(const SyncPreview &, const SyncPreview &) = default;
};

// The decoded events of a streamed sync run. std::monostate stands for a line that is
// ignored (unknown type, not an object, or lacking what the event needs).
struct PushEvent {
    QString file;
    qint64 current = 0;
    qint64 total = 0;
    friend bool operator==(const PushEvent &, const PushEvent &) = default;
};
struct PullEvent {
    QString file;
    qint64 current = 0;
    qint64 total = 0;
    friend bool operator==(const PullEvent &, const PullEvent &) = default;
};
struct ConflictEvent {
    ConflictRename rename;
};
struct CompleteEvent {
    SyncResult result;
};
struct UpToDateEvent {};
struct ErrorEvent {
    QString message;
};

using SyncEvent = std::variant<std::monostate, PushEvent, PullEvent, ConflictEvent, CompleteEvent,
                               UpToDateEvent, ErrorEvent>;

// Output of a full status refresh.
struct FullStatus {
    QList<PendingChange> pendingChanges; // in output order
    std::optional<RemoteStatusInfo> remote;
};

} // namespace orvu
