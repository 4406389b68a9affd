#include "core/platform/qsettings_store.h"

namespace orvu {

QSettingsStore::QSettingsStore()
    : m_settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orvu"),
                 QStringLiteral("OrvuTray")) {}

QSettingsStore::QSettingsStore(const QString &iniFilePath)
    : m_settings(iniFilePath, QSettings::IniFormat) {}

std::optional<QByteArray> QSettingsStore::data(const QString &key) const {
    const QVariant value = m_settings.value(kKeyPrefix + key);
    if (value.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return value.toByteArray();
}

void QSettingsStore::setData(const QString &key, const QByteArray &value) {
    write(key, value);
}

bool QSettingsStore::boolValue(const QString &key) const {
    // INI files keep no types: a Bool reads back as the string "true" or "false".
    const QVariant value = m_settings.value(kKeyPrefix + key);
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    return value.typeId() == QMetaType::QString && value.toString() == QLatin1String("true");
}

void QSettingsStore::setBool(const QString &key, bool value) {
    write(key, value);
}

std::optional<QString> QSettingsStore::string(const QString &key) const {
    const QVariant value = m_settings.value(kKeyPrefix + key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

void QSettingsStore::setString(const QString &key, const QString &value) {
    write(key, value);
}

void QSettingsStore::remove(const QString &key) {
    m_settings.remove(kKeyPrefix + key);
    m_settings.sync();
}

QVariant QSettingsStore::value(const QString &key) const {
    return m_settings.value(kKeyPrefix + key);
}

void QSettingsStore::setValue(const QString &key, const QVariant &value) {
    write(key, value);
}

QString QSettingsStore::location() const {
    return m_settings.fileName();
}

void QSettingsStore::write(const QString &key, const QVariant &value) {
    m_settings.setValue(kKeyPrefix + key, value);
    m_settings.sync();
}

} // namespace orvu
