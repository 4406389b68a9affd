#pragma once

#include "core/bindings/repo_binding.h"

#include <QList>
#include <QString>

#include <optional>

namespace orvu {

class FolderConfigReading;
class SettingsStore;

// A stored binding list that could not be read in full, kept aside unchanged.
struct UnreadableBindings {
    // Entries that could not be read; 0 when the value was not even a list.
    qsizetype entries = 0;
    // The key of the copy, with the app's prefix, and where the settings are kept.
    QString copyKey;
    QString location;

    friend bool operator==(const UnreadableBindings &, const UnreadableBindings &) = default;
};

// The persisted binding list. Keeps no copy in memory and has no lock: callers read the whole
// list, change it and save it back, all on the main thread, so no two rewrites interleave.
// Both services must outlive the store.
class BindingStore {
public:
    static inline const QString kBindingsKey = QStringLiteral("repoBindings");
    static inline const QString kMigratedKey = QStringLiteral("repoBindings.migrated");
    // The first copy of a damaged list; later, different ones get ".2", ".3" and so on.
    static inline const QString kUnreadableKey = QStringLiteral("repoBindings.unreadable");
    // The key of a copy the user has not been told of, and its count of unreadable entries.
    static inline const QString kUntoldKey = QStringLiteral("repoBindings.unreadableUntold");

    BindingStore(SettingsStore &defaults, const FolderConfigReading &configReader);

    // Every entry that can be read, in stored order; nothing is written.
    QList<RepoBinding> load() const;
    // Replaces the stored list, unless it holds exactly this already. A stored value that could
    // not be read in full, or is not stored as data, is first kept aside.
    void save(const QList<RepoBinding> &bindings);
    // load(), plus the one-time takeover of the legacy single-folder setting.
    QList<RepoBinding> loadMigratingLegacy(const std::optional<QString> &folderPath,
                                           const std::optional<QByteArray> &bookmark);
    // Keeps a stored list that could not be read in full aside, as save() would, and returns
    // what the user has not been told yet of such copies (once; the newest copy).
    std::optional<UnreadableBindings> takeUnreadableNotice();

private:
    // Copies the stored value aside, once per distinct value, when it could not be read in full
    // or is not stored as data. A copy of a damaged one is remembered until told.
    void keepAside();

    SettingsStore *m_defaults;
    const FolderConfigReading *m_configReader;
};

} // namespace orvu
