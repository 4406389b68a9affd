#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

namespace orvu {

// The app's persisted preferences. Keys are given without the app's prefix; every
// implementation stores them as "io.orvu.tray." followed by the key.
class SettingsStore {
public:
    static inline const QString kKeyPrefix = QStringLiteral("io.orvu.tray.");

    virtual ~SettingsStore() = default;

    virtual std::optional<QByteArray> data(const QString &key) const = 0;
    virtual void setData(const QString &key, const QByteArray &value) = 0;

    // false when the key is missing or holds something else.
    virtual bool boolValue(const QString &key) const = 0;
    virtual void setBool(const QString &key, bool value) = 0;

    virtual std::optional<QString> string(const QString &key) const = 0;
    virtual void setString(const QString &key, const QString &value) = 0;

    virtual void remove(const QString &key) = 0;

    // The stored value whatever its kind (invalid when there is none), and a value written as
    // it is: for keeping a damaged value aside unchanged.
    virtual QVariant value(const QString &key) const = 0;
    virtual void setValue(const QString &key, const QVariant &value) = 0;
    // Where the values are kept, in words a user can follow (a file's path).
    virtual QString location() const = 0;
};

} // namespace orvu
