#include "gui/account/sign_in_status.h"

#include "gui/views/view_style.h"

namespace orvu {

namespace {

const QString kSignedIn = QStringLiteral("Signed in!");

} // namespace

SignInStatus startedStatus(SignInStep step) {
    return {step == SignInStep::SendLink ? QStringLiteral("Sending...")
                                         : QStringLiteral("Verifying..."),
            StatusTone::Unchanged};
}

SignInStatus sendLinkStatus(const std::variant<bool, SignInFailure> &answer) {
    if (const auto *failure = std::get_if<SignInFailure>(&answer))
        return {QStringLiteral("Failed to send: ") + describe(*failure), StatusTone::Failure};
    return {std::get<bool>(answer) ? kSignedIn : QStringLiteral("Check your email!"),
            StatusTone::Success};
}

SignInStatus verifyStatus(const std::optional<SignInFailure> &failure) {
    if (failure)
        return {QStringLiteral("Verification failed: ") + describe(*failure), StatusTone::Failure};
    return {kSignedIn, StatusTone::Success};
}

QColor statusColor(StatusTone tone, const QColor &current, const QPalette &palette) {
    switch (tone) {
    case StatusTone::Unchanged:
        return current;
    case StatusTone::Success:
        return style::tint(rules::Tint::green, palette);
    case StatusTone::Failure:
        return style::tint(rules::Tint::red, palette);
    }
    return current;
}

} // namespace orvu
