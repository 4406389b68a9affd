#pragma once

#include "core/repos/repo_info.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace orvu {

// The JSON objects of the tool's standard output, one per line, in order; lines that are
// empty, not JSON or not objects are skipped.
QList<QJsonObject> jsonObjectLines(const QString &standardOutput);

// The repos of the first line of type "repos" that holds an array of objects; nullopt when no
// line does. Elements without a string "id" and "slug" are skipped.
std::optional<QList<RepoInfo>> decodeReposLine(const QString &standardOutput);

// The non-empty "error" of the first line of type "error".
std::optional<QString> firstErrorMessage(const QString &standardOutput);

} // namespace orvu
