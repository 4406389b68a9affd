#pragma once

#include "core/account/auth_error.h"
#include "core/cli/cli_runner.h"

#include <QString>

#include <optional>

// Reading the sign-in commands' output: JSON objects one per line, the first matching line wins.
namespace orvu::auth_output {

// The tool's report of who is signed in.
struct AuthLine {
    bool signedIn = false;
    QString email;
    // Only a non-empty username counts.
    std::optional<QString> username;

    friend bool operator==(const AuthLine &, const AuthLine &) = default;
};

// The first line of type "auth" with a string "authState" and a string "email".
std::optional<AuthLine> findAuthLine(const QString &output);

// The error of a run that did not exit with 0.
AuthError failureOf(const CLIAuthResult &result);

} // namespace orvu::auth_output
