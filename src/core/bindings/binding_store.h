#pragma once

#include "core/bindings/repo_binding.h"

#include <QList>
#include <QString>

#include <optional>

namespace orvu {

class FolderConfigReading;
class SettingsStore;

// The persisted binding list. Keeps no copy in memory and has no lock: callers read the whole
// list, change it and save it back, all on the main thread, so no two rewrites interleave.
// Both services must outlive the store.
class BindingStore {
public:
    static inline const QString kBindingsKey = QStringLiteral("repoBindings");
    static inline const QString kMigratedKey = QStringLiteral("repoBindings.migrated");
    static inline const QString kUnreadableKey = QStringLiteral("repoBindings.unreadable");

    BindingStore(SettingsStore &defaults, const FolderConfigReading &configReader);

    // An absent or undecodable list reads as empty.
    QList<RepoBinding> load() const;
    // Replaces the stored list. A stored value that does not decode is first copied aside
    // once, so the bindings it held can still be recovered by hand.
    void save(const QList<RepoBinding> &bindings);
    // load(), plus the one-time takeover of the legacy single-folder setting.
    QList<RepoBinding> loadMigratingLegacy(const std::optional<QString> &folderPath,
                                           const std::optional<QByteArray> &bookmark);

private:
    SettingsStore *m_defaults;
    const FolderConfigReading *m_configReader;
};

} // namespace orvu
