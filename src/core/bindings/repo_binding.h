#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace orvu {

// One local folder tied to one repo on the server.
struct RepoBinding {
    QString repoId; // empty for a binding migrated from a folder without a readable config
    QString slug;
    QString displayName;
    QString folderPath; // absolute
    std::optional<QByteArray> bookmark;
    bool needsRelink = false;

    // A binding without a repo id is still told apart by its folder.
    QString id() const { return repoId.isEmpty() ? folderPath : repoId; }

    QJsonObject toJson() const;
    // Every required key must be present with its JSON type; "bookmark" may be absent or null.
    static std::optional<RepoBinding> fromJson(const QJsonObject &object);

    friend bool operator==(const RepoBinding &, const RepoBinding &) = default;
};

// The stored form of a whole list: a compact JSON array in UTF-8.
QByteArray encodeBindings(const QList<RepoBinding> &bindings);
// A stored list read entry by entry: what could be read, and how much could not.
struct DecodedBindings {
    QList<RepoBinding> bindings;
    // Entries that are there but could not be read (a missing key, a wrong type, cut short).
    qsizetype unreadableEntries = 0;
    // Anything at all was not read: also a value that is no list, or junk after it.
    bool damaged = false;
};

// Each element of the array on its own, so that one bad entry costs only itself; a list cut
// short still yields the entries before the cut.
DecodedBindings decodeBindings(const QByteArray &bytes);

} // namespace orvu
