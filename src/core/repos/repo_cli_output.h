#pragma once

#include "core/repos/repo_info.h"

#include <QList>
#include <QString>

#include <optional>

namespace orvu {

// The repos of the first line of type "repos" that holds an array of objects; nullopt when no
// line does. Elements without a string "id" and "slug" are skipped.
std::optional<QList<RepoInfo>> decodeReposLine(const QString &standardOutput);

} // namespace orvu
