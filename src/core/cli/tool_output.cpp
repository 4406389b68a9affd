#include "core/cli/tool_output.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace orvu::tool_output {

namespace {

// Any space character (a no-break space too) and tabs pad a line; other white space, a lone CR
// or a form feed, is the line's own business.
QStringView trimSpacesAndTabs(QStringView text) {
    const auto blank = [](QChar c) { return c == u'\t' || c.category() == QChar::Separator_Space; };
    while (!text.isEmpty() && blank(text.front()))
        text = text.mid(1);
    while (!text.isEmpty() && blank(text.back()))
        text.chop(1);
    return text;
}

} // namespace

QList<QJsonObject> jsonObjectLines(const QString &standardOutput) {
    QList<QJsonObject> objects;
    for (QStringView piece : QStringView(standardOutput).split(u'\n', Qt::SkipEmptyParts)) {
        if (piece.endsWith(u'\r'))
            piece.chop(1);
        piece = trimSpacesAndTabs(piece);
        if (piece.isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(piece.toUtf8(), &error);
        if (error.error == QJsonParseError::NoError && document.isObject())
            objects.append(document.object());
    }
    return objects;
}

std::optional<QString> errorText(const CLIAuthResult &result) {
    for (const QJsonObject &line : jsonObjectLines(result.standardOutput)) {
        if (line.value(QStringLiteral("type")).toString() != QLatin1String("error"))
            continue;
        const QJsonValue error = line.value(QStringLiteral("error"));
        if (error.isString() && !error.toString().isEmpty())
            return error.toString();
    }
    const QString standardError = result.standardError.trimmed();
    if (!standardError.isEmpty())
        return standardError;
    return std::nullopt;
}

} // namespace orvu::tool_output
