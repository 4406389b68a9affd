#include "core/bindings/preferences.h"

#include "core/platform/local_folder_access.h"
#include "core/platform/qsettings_store.h"

namespace orvu {

Preferences::Preferences(SettingsStore &defaults, FolderAccess &folderAccess)
    : m_defaults(&defaults), m_folderAccess(&folderAccess) {}

Preferences &Preferences::shared() {
    static QSettingsStore store;
    static LocalFolderAccess access;
    static Preferences preferences(store, access);
    return preferences;
}

std::optional<QString> Preferences::legacyFolderURL() const {
    const auto bookmark = m_defaults->data(kFolderBookmarkKey);
    if (!bookmark)
        return std::nullopt;
    const auto resolved = m_folderAccess->resolveBookmark(*bookmark);
    if (!resolved)
        return std::nullopt;
    if (resolved->stale) {
        if (const auto fresh = m_folderAccess->makeBookmark(resolved->path))
            m_defaults->setData(kFolderBookmarkKey, *fresh);
    }
    return resolved->path;
}

} // namespace orvu
