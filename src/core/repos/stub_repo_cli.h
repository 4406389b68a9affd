#pragma once

#include "core/repos/repo_cli_running.h"

namespace orvu {

// Repo commands kept in memory: previews and tests bind folders without a server.
class StubRepoCLI final : public RepoCLIRunning {
public:
    explicit StubRepoCLI(QList<RepoInfo> repos = {}) : repos(std::move(repos)) {}

    QCoro::Task<std::optional<QList<RepoInfo>>> listRepos() override;
    // Adds a repo for an unknown slug ("created-" + slug); always succeeds.
    QCoro::Task<RepoCLIOutcome> initFolder(QString folderPath, QString slug,
                                           std::optional<QString> displayName, bool force) override;

    QList<RepoInfo> repos;
};

} // namespace orvu
