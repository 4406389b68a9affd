#include "core/account/auth_state.h"

namespace orvu {

std::optional<QString> AuthState::pendingEmail() const {
    if (const auto *awaiting = std::get_if<Awaiting>(&m_value))
        return awaiting->email;
    return std::nullopt;
}

std::optional<User> AuthState::user() const {
    if (const auto *user = std::get_if<User>(&m_value))
        return *user;
    return std::nullopt;
}

} // namespace orvu
