#include "core/account/auth_error.h"

namespace orvu {

QString AuthError::description() const {
    switch (m_kind) {
    case Kind::CliFailed:
        return m_message;
    case Kind::UnexpectedResponse:
        return QStringLiteral("Unexpected response from the orvu CLI");
    }
    return m_message;
}

QString describe(const SignInFailure &failure) {
    if (const auto *error = std::get_if<AuthError>(&failure))
        return error->description();
    return std::get<LaunchError>(failure).description;
}

} // namespace orvu
