#include "core/repos/repo_cli_output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <algorithm>

namespace orvu {

namespace {

QStringView trimSpacesAndTabs(QStringView text) {
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (!text.isEmpty() && blank(text.front()))
        text = text.mid(1);
    while (!text.isEmpty() && blank(text.back()))
        text.chop(1);
    return text;
}

QString stringOr(const QJsonObject &object, const QString &key, const QString &fallback) {
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : fallback;
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

std::optional<QList<RepoInfo>> decodeReposLine(const QString &standardOutput) {
    for (const QJsonObject &line : jsonObjectLines(standardOutput)) {
        if (line.value(QStringLiteral("type")).toString() != QLatin1String("repos"))
            continue;
        const QJsonValue reposValue = line.value(QStringLiteral("repos"));
        if (!reposValue.isArray())
            continue;
        const QJsonArray array = reposValue.toArray();
        const bool allObjects = std::all_of(array.begin(), array.end(),
                                            [](const QJsonValue &v) { return v.isObject(); });
        if (!allObjects)
            continue;

        QList<RepoInfo> repos;
        for (const QJsonValue &element : array) {
            const QJsonObject object = element.toObject();
            const QJsonValue id = object.value(QStringLiteral("id"));
            const QJsonValue slug = object.value(QStringLiteral("slug"));
            if (!id.isString() || !slug.isString())
                continue;
            repos.append(RepoInfo{
                id.toString(),
                slug.toString(),
                stringOr(object, QStringLiteral("name"), slug.toString()),
                stringOr(object, QStringLiteral("visibility"), QStringLiteral("public")),
            });
        }
        return repos;
    }
    return std::nullopt;
}

std::optional<QString> firstErrorMessage(const QString &standardOutput) {
    for (const QJsonObject &line : jsonObjectLines(standardOutput)) {
        if (line.value(QStringLiteral("type")).toString() != QLatin1String("error"))
            continue;
        const QJsonValue error = line.value(QStringLiteral("error"));
        if (error.isString() && !error.toString().isEmpty())
            return error.toString();
    }
    return std::nullopt;
}

} // namespace orvu
