#include "core/account/auth_output.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace orvu::auth_output {

namespace {

// Only spaces and tabs: other white space inside a line is the line's own business.
QString trimSpacesAndTabs(QStringView piece) {
    qsizetype begin = 0;
    qsizetype end = piece.size();
    auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(piece[begin]))
        ++begin;
    while (end > begin && blank(piece[end - 1]))
        --end;
    return piece.sliced(begin, end - begin).toString();
}

// Every JSON object among the lines, in order; other lines are skipped.
template <typename Visitor> void forEachObject(const QString &output, Visitor &&visit) {
    for (const QString &line : lines(output)) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            continue;
        if (visit(document.object()))
            return;
    }
}

} // namespace

QStringList lines(const QString &output) {
    QStringList result;
    for (QStringView piece : QStringView(output).split(u'\n')) {
        // A carriage return directly before the line feed belongs to the line break.
        if (piece.endsWith(u'\r'))
            piece.chop(1);
        QString trimmed = trimSpacesAndTabs(piece);
        if (!trimmed.isEmpty())
            result.append(std::move(trimmed));
    }
    return result;
}

std::optional<AuthLine> findAuthLine(const QString &output) {
    std::optional<AuthLine> found;
    forEachObject(output, [&](const QJsonObject &object) {
        if (object.value(QStringLiteral("type")).toString() != QStringLiteral("auth"))
            return false;
        const QJsonValue state = object.value(QStringLiteral("authState"));
        const QJsonValue email = object.value(QStringLiteral("email"));
        if (!state.isString() || !email.isString())
            return false;
        AuthLine line;
        line.signedIn = state.toString() == QStringLiteral("signedIn");
        line.email = email.toString();
        const QJsonValue username = object.value(QStringLiteral("username"));
        if (username.isString() && !username.toString().isEmpty())
            line.username = username.toString();
        found = line;
        return true;
    });
    return found;
}

std::optional<QString> errorMessage(const CLIAuthResult &result) {
    std::optional<QString> message;
    forEachObject(result.standardOutput, [&](const QJsonObject &object) {
        if (object.value(QStringLiteral("type")).toString() != QStringLiteral("error"))
            return false;
        const QJsonValue error = object.value(QStringLiteral("error"));
        if (!error.isString() || error.toString().isEmpty())
            return false;
        message = error.toString();
        return true;
    });
    if (message)
        return message;
    const QString standardError = result.standardError.trimmed();
    if (!standardError.isEmpty())
        return standardError;
    return std::nullopt;
}

AuthError failureOf(const CLIAuthResult &result) {
    return AuthError::cliFailed(errorMessage(result).value_or(
        QStringLiteral("orvu CLI exited with code ") + QString::number(result.exitCode)));
}

} // namespace orvu::auth_output
