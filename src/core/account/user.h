#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

#include <optional>

namespace orvu {

// The signed-in user. The app only ever builds one from an e-mail address and an optional
// username (signInUser); the other fields belong to the server's full user record.
struct User {
    QString id;
    QString email;
    std::optional<QString> username;
    std::optional<QString> displayName;
    std::optional<QString> bio;
    QStringList links;
    std::optional<QString> avatarFileId;
    QString createdAt;
    QString updatedAt;

    // Empty id and timestamps, no display name, bio or avatar, no links.
    static User signInUser(const QString &email, const std::optional<QString> &username);

    friend bool operator==(const User &, const User &) = default;
};

} // namespace orvu

Q_DECLARE_METATYPE(orvu::User)
