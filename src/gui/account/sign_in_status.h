#pragma once

#include "core/account/auth_error.h"

#include <QColor>
#include <QPalette>
#include <QString>

#include <optional>
#include <variant>

namespace orvu {

// How the status line is coloured. A step that has only started keeps the colour of the last
// outcome, so a retry after a failure still reads red until its own answer arrives.
enum class StatusTone { Unchanged, Success, Failure };

struct SignInStatus {
    QString text;
    StatusTone tone = StatusTone::Unchanged;
    friend bool operator==(const SignInStatus &, const SignInStatus &) = default;
};

enum class SignInStep { SendLink, Verify };

// The line shown while a step runs.
SignInStatus startedStatus(SignInStep step);
// After a magic-link request: true when the tool signed the user in at once.
SignInStatus sendLinkStatus(const std::variant<bool, SignInFailure> &answer);
// After a verification; no failure means signed in.
SignInStatus verifyStatus(const std::optional<SignInFailure> &failure);

// The status line's colour after `tone`, given the colour it has now. Green and red are chosen
// to stay legible on the palette's window colour, light or dark.
QColor statusColor(StatusTone tone, const QColor &current, const QPalette &palette);

} // namespace orvu
