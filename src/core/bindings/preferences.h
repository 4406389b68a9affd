#pragma once

#include <QString>

#include <optional>

namespace orvu {

class FolderAccess;
class SettingsStore;

// Owner of the legacy single-folder setting. Both services must outlive it.
class Preferences {
public:
    static inline const QString kFolderBookmarkKey = QStringLiteral("folderBookmark");

    Preferences(SettingsStore &defaults, FolderAccess &folderAccess);

    // The process-wide instance over the user's own settings file, made on first use.
    static Preferences &shared();

    SettingsStore &defaults() const { return *m_defaults; }

    // The path of the legacy folder, resolved from its bookmark; a stale bookmark is replaced
    // by a fresh one when one can be made. Access to the folder is not started here.
    std::optional<QString> legacyFolderURL() const;

private:
    SettingsStore *m_defaults;
    FolderAccess *m_folderAccess;
};

} // namespace orvu
