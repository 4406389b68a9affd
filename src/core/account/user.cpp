#include "core/account/user.h"

#include <QJsonArray>
#include <QJsonValue>

namespace orvu {

namespace {

bool readRequired(const QJsonObject &object, const QString &key, QString &out) {
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

// Absent and null both mean "not given"; anything else must be a string.
bool readOptional(const QJsonObject &object, const QString &key, std::optional<QString> &out) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull()) {
        out.reset();
        return true;
    }
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

void writeOptional(QJsonObject &object, const QString &key, const std::optional<QString> &value) {
    if (value)
        object.insert(key, *value);
}

} // namespace

User User::signInUser(const QString &email, const std::optional<QString> &username) {
    User user;
    user.email = email;
    user.username = username;
    return user;
}

std::optional<User> User::fromJson(const QJsonObject &object) {
    User user;
    if (!readRequired(object, QStringLiteral("id"), user.id) ||
        !readRequired(object, QStringLiteral("email"), user.email) ||
        !readRequired(object, QStringLiteral("created_at"), user.createdAt) ||
        !readRequired(object, QStringLiteral("updated_at"), user.updatedAt) ||
        !readOptional(object, QStringLiteral("username"), user.username) ||
        !readOptional(object, QStringLiteral("display_name"), user.displayName) ||
        !readOptional(object, QStringLiteral("bio"), user.bio) ||
        !readOptional(object, QStringLiteral("avatar_file_id"), user.avatarFileId))
        return std::nullopt;

    const QJsonValue links = object.value(QStringLiteral("links"));
    if (!links.isUndefined() && !links.isNull()) {
        if (!links.isArray())
            return std::nullopt;
        for (const QJsonValue &link : links.toArray()) {
            if (!link.isString())
                return std::nullopt;
            user.links.append(link.toString());
        }
    }
    return user;
}

QJsonObject User::toJson() const {
    QJsonObject object;
    object.insert(QStringLiteral("id"), id);
    object.insert(QStringLiteral("email"), email);
    writeOptional(object, QStringLiteral("username"), username);
    writeOptional(object, QStringLiteral("display_name"), displayName);
    writeOptional(object, QStringLiteral("bio"), bio);
    object.insert(QStringLiteral("links"), QJsonArray::fromStringList(links));
    writeOptional(object, QStringLiteral("avatar_file_id"), avatarFileId);
    object.insert(QStringLiteral("created_at"), createdAt);
    object.insert(QStringLiteral("updated_at"), updatedAt);
    return object;
}

} // namespace orvu
