#pragma once

#include "core/platform/settings_store.h"

#include <QSettings>

namespace orvu {

// Preferences in $XDG_CONFIG_HOME/Orvu/OrvuTray.conf (INI). Each write is flushed at once, so
// a crash never loses a change that was reported as made.
class QSettingsStore final : public SettingsStore {
public:
    QSettingsStore();
    // For tests: an INI file of their own.
    explicit QSettingsStore(const QString &iniFilePath);

    std::optional<QByteArray> data(const QString &key) const override;
    void setData(const QString &key, const QByteArray &value) override;
    bool boolValue(const QString &key) const override;
    void setBool(const QString &key, bool value) override;
    std::optional<QString> string(const QString &key) const override;
    void setString(const QString &key, const QString &value) override;
    void remove(const QString &key) override;
    QVariant value(const QString &key) const override;
    void setValue(const QString &key, const QVariant &value) override;
    QString location() const override;

private:
    void write(const QString &key, const QVariant &value);

    mutable QSettings m_settings;
};

} // namespace orvu
