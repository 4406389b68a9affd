#pragma once

#include "core/repos/repo_cli_outcome.h"
#include "core/repos/repo_info.h"

#include <QList>
#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

namespace orvu {

// The repo commands of the tool. Neither call throws; both may run at once. Implementations
// must not touch themselves after their first suspension: callers may let go of them while a
// call is still running, as long as they hold the shared pointer they got them through.
class RepoCLIRunning {
public:
    virtual ~RepoCLIRunning() = default;

    // nullopt: no list was obtained.
    virtual QCoro::Task<std::optional<QList<RepoInfo>>> listRepos() = 0;
    virtual QCoro::Task<RepoCLIOutcome> initFolder(QString folderPath, QString slug,
                                                   std::optional<QString> displayName,
                                                   bool force) = 0;
};

} // namespace orvu
