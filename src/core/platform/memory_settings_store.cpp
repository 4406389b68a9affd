#include "core/platform/memory_settings_store.h"

namespace orvu {

std::optional<QByteArray> MemorySettingsStore::data(const QString &key) const {
    const QVariant value = m_values.value(kKeyPrefix + key);
    if (value.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return value.toByteArray();
}

void MemorySettingsStore::setData(const QString &key, const QByteArray &value) {
    m_values.insert(kKeyPrefix + key, value);
}

bool MemorySettingsStore::boolValue(const QString &key) const {
    const QVariant value = m_values.value(kKeyPrefix + key);
    return value.typeId() == QMetaType::Bool && value.toBool();
}

void MemorySettingsStore::setBool(const QString &key, bool value) {
    m_values.insert(kKeyPrefix + key, value);
}

std::optional<QString> MemorySettingsStore::string(const QString &key) const {
    const QVariant value = m_values.value(kKeyPrefix + key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

void MemorySettingsStore::setString(const QString &key, const QString &value) {
    m_values.insert(kKeyPrefix + key, value);
}

void MemorySettingsStore::remove(const QString &key) {
    m_values.remove(kKeyPrefix + key);
}

QVariant MemorySettingsStore::value(const QString &key) const {
    return m_values.value(kKeyPrefix + key);
}

void MemorySettingsStore::setValue(const QString &key, const QVariant &value) {
    m_values.insert(kKeyPrefix + key, value);
}

QString MemorySettingsStore::location() const {
    return QStringLiteral("the app's memory");
}

} // namespace orvu
