#pragma once

#include "core/account/user.h"

#include <QMetaType>
#include <QString>

#include <optional>
#include <variant>

namespace orvu {

// Who is signed in, as far as the app knows. Equal when the case and its payload are equal.
class AuthState {
public:
    enum class Kind { SignedOut, AwaitingVerification, SignedIn };

    AuthState() = default; // signed out

    static AuthState signedOut() { return {}; }
    static AuthState awaitingVerification(QString email) {
        return AuthState(Awaiting{std::move(email)});
    }
    static AuthState signedIn(User user) { return AuthState(std::move(user)); }

    Kind kind() const { return static_cast<Kind>(m_value.index()); }
    // The address a magic link was sent to; set only while awaiting verification.
    std::optional<QString> pendingEmail() const;
    // Set only when signed in.
    std::optional<User> user() const;

    friend bool operator==(const AuthState &, const AuthState &) = default;

private:
    struct Awaiting {
        QString email;
        friend bool operator==(const Awaiting &, const Awaiting &) = default;
    };
    using Value = std::variant<std::monostate, Awaiting, User>;
    explicit AuthState(Value value) : m_value(std::move(value)) {}

    Value m_value;
};

} // namespace orvu

Q_DECLARE_METATYPE(orvu::AuthState)
