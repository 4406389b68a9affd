#include "gui/account/sign_in_status.h"

namespace orvu {

namespace {

const QString kSignedIn = QStringLiteral("Signed in!");

bool isDark(const QPalette &palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

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
        return isDark(palette) ? QColor(0x30, 0xd1, 0x58) : QColor(0x1e, 0x8e, 0x3e);
    case StatusTone::Failure:
        return isDark(palette) ? QColor(0xff, 0x45, 0x3a) : QColor(0xd9, 0x30, 0x25);
    }
    return current;
}

} // namespace orvu
