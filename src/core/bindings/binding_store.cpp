#include "core/bindings/binding_store.h"

#include "core/bindings/folder_config_reading.h"
#include "core/platform/settings_store.h"

#include <QDir>
#include <QFileInfo>

namespace orvu {

BindingStore::BindingStore(SettingsStore &defaults, const FolderConfigReading &configReader)
    : m_defaults(&defaults), m_configReader(&configReader) {}

namespace {

// The stored list as bytes: data as it should be, or text from a hand-edited file.
std::optional<QByteArray> storedBytes(const QVariant &value) {
    if (value.typeId() == QMetaType::QByteArray)
        return value.toByteArray();
    if (value.typeId() == QMetaType::QString)
        return value.toString().toUtf8();
    return std::nullopt;
}

DecodedBindings decodeStored(const QVariant &value) {
    if (!value.isValid())
        return {};
    const std::optional<QByteArray> bytes = storedBytes(value);
    return bytes ? decodeBindings(*bytes) : DecodedBindings{{}, 0, true};
}

} // namespace

QList<RepoBinding> BindingStore::load() const {
    return decodeStored(m_defaults->value(kBindingsKey)).bindings;
}

void BindingStore::keepAside() {
    const QVariant stored = m_defaults->value(kBindingsKey);
    const DecodedBindings decoded = decodeStored(stored);
    if (!stored.isValid() || (stored.typeId() == QMetaType::QByteArray && !decoded.damaged))
        return;
    for (int copy = 1;; ++copy) {
        const QString key =
            copy == 1 ? kUnreadableKey : kUnreadableKey + QLatin1Char('.') + QString::number(copy);
        const QVariant kept = m_defaults->value(key);
        if (kept == stored)
            return;
        if (kept.isValid())
            continue;
        m_defaults->setValue(key, stored);
        if (decoded.damaged)
            m_defaults->setValue(kUntoldKey,
                                 QStringList{key, QString::number(decoded.unreadableEntries)});
        return;
    }
}

std::optional<UnreadableBindings> BindingStore::takeUnreadableNotice() {
    keepAside();
    const QStringList untold = m_defaults->value(kUntoldKey).toStringList();
    if (untold.size() != 2)
        return std::nullopt;
    m_defaults->remove(kUntoldKey);
    return UnreadableBindings{untold[1].toLongLong(), SettingsStore::kKeyPrefix + untold[0],
                              m_defaults->location()};
}

void BindingStore::save(const QList<RepoBinding> &bindings) {
    // The same list in other bytes (other spacing, key order or escapes) stays as it is.
    const QVariant stored = m_defaults->value(kBindingsKey);
    if (!stored.isValid() && bindings.isEmpty())
        return;
    if (stored.typeId() == QMetaType::QByteArray) {
        const DecodedBindings decoded = decodeStored(stored);
        if (!decoded.damaged && decoded.bindings == bindings)
            return;
    }
    // What is replaced must not be lost when it could not be read.
    keepAside();
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
