#include "core/repos/repo_cli_output.h"

#include "core/cli/tool_output.h"

#include <QJsonArray>

#include <algorithm>

namespace orvu {

namespace {

QString stringOr(const QJsonObject &object, const QString &key, const QString &fallback) {
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : fallback;
}

} // namespace

std::optional<QList<RepoInfo>> decodeReposLine(const QString &standardOutput) {
    for (const QJsonObject &line : tool_output::jsonObjectLines(standardOutput)) {
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

} // namespace orvu
