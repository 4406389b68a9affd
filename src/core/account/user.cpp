#include "core/account/user.h"

namespace orvu {

User User::signInUser(const QString &email, const std::optional<QString> &username) {
    User user;
    user.email = email;
    user.username = username;
    return user;
}

} // namespace orvu
