#pragma once

#include "core/platform/settings_store.h"

#include <QHash>
#include <QVariant>

namespace orvu {

// Preferences held in memory, for tests and for callers that must not touch the user's file.
class MemorySettingsStore final : public SettingsStore {
public:
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

    // Every stored key with its prefix, so tests can check what a real store would hold.
    QStringList keys() const { return m_values.keys(); }

private:
    QHash<QString, QVariant> m_values;
};

} // namespace orvu
