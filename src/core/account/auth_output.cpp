#include "core/account/auth_output.h"

#include "core/cli/tool_commands.h"
#include "core/cli/tool_output.h"

#include <QJsonObject>

namespace orvu::auth_output {

std::optional<AuthLine> findAuthLine(const QString &output) {
    for (const QJsonObject &object : tool_output::jsonObjectLines(output)) {
        if (object.value(QStringLiteral("type")).toString() != QStringLiteral("auth"))
            continue;
        const QJsonValue state = object.value(QStringLiteral("authState"));
        const QJsonValue email = object.value(QStringLiteral("email"));
        if (!state.isString() || !email.isString())
            continue;
        AuthLine line;
        line.signedIn = state.toString() == QStringLiteral("signedIn");
        line.email = email.toString();
        const QJsonValue username = object.value(QStringLiteral("username"));
        if (username.isString() && !username.toString().isEmpty())
            line.username = username.toString();
        return line;
    }
    return std::nullopt;
}

AuthError failureOf(const CLIAuthResult &result) {
    if (result.exitCode == tool::kExitCrashed)
        return AuthError::cliFailed(tool::kCrashedMessage);
    return AuthError::cliFailed(tool_output::errorText(result).value_or(
        QStringLiteral("orvu CLI exited with code ") + QString::number(result.exitCode)));
}

} // namespace orvu::auth_output
