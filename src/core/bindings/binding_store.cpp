#include "core/bindings/binding_store.h"

#include "core/bindings/folder_config_reading.h"
#include "core/platform/settings_store.h"

#include <QDir>
#include <QFileInfo>

namespace orvu {

BindingStore::BindingStore(SettingsStore &defaults, const FolderConfigReading &configReader)
    : m_defaults(&defaults), m_configReader(&configReader) {}

QList<RepoBinding> BindingStore::load() const {
    const auto bytes = m_defaults->data(kBindingsKey);
    if (!bytes)
        return {};
    return decodeBindings(*bytes).value_or(QList<RepoBinding>{});
}

void BindingStore::save(const QList<RepoBinding> &bindings) {
    // Reading an undecodable list as empty must not turn into losing it on the next save.
    if (const auto previous = m_defaults->data(kBindingsKey);
        previous && !decodeBindings(*previous) && !m_defaults->data(kUnreadableKey)) {
        m_defaults->setData(kUnreadableKey, *previous);
    }
    m_defaults->setData(kBindingsKey, encodeBindings(bindings));
}

QList<RepoBinding> BindingStore::loadMigratingLegacy(const std::optional<QString> &folderPath,
                                                     const std::optional<QByteArray> &bookmark) {
    QList<RepoBinding> bindings = load();
    if (m_defaults->boolValue(kMigratedKey))
        return bindings;
    // Set before any check: the takeover is attempted once, whatever comes of it.
    m_defaults->setBool(kMigratedKey, true);
    if (!bindings.isEmpty() || !folderPath || folderPath->isEmpty())
        return bindings;

    RepoBinding binding;
    binding.folderPath = *folderPath;
    binding.bookmark = bookmark;
    if (const auto config = m_configReader->readConfig(*folderPath)) {
        binding.repoId = config->repoId;
        binding.slug = config->slug;
        // The real name arrives with the next name refresh.
        binding.displayName = config->slug;
        binding.needsRelink = false;
    } else {
        // A trailing slash still names the folder itself.
        binding.displayName = QFileInfo(QDir::cleanPath(*folderPath)).fileName();
        binding.needsRelink = true;
    }
    const QList<RepoBinding> migrated{binding};
    save(migrated);
    return migrated;
}

} // namespace orvu
