#pragma once

#include "core/cli/cli_runner.h"

#include <QString>

#include <variant>

namespace orvu {

// Why the tool refused a sign-in step.
class AuthError {
public:
    enum class Kind { CliFailed, UnexpectedResponse };

    static AuthError cliFailed(QString message) { return AuthError(Kind::CliFailed, message); }
    static AuthError unexpectedResponse() { return AuthError(Kind::UnexpectedResponse, {}); }

    Kind kind() const { return m_kind; }
    // The user-facing text.
    QString description() const;

    friend bool operator==(const AuthError &, const AuthError &) = default;

private:
    AuthError(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}

    Kind m_kind;
    QString m_message;
};

// What a sign-in step can fail with: the tool's refusal, or the tool not starting at all.
using SignInFailure = std::variant<AuthError, LaunchError>;

// The text the sign-in window shows; for a launch error, the platform's own wording.
QString describe(const SignInFailure &failure);

} // namespace orvu
