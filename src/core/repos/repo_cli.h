#pragma once

#include "core/cli/cli_runner.h"
#include "core/repos/repo_cli_running.h"

namespace orvu {

// The repo commands over the real tool. Runs never block the calling thread.
class RepoCLI final : public RepoCLIRunning {
public:
    explicit RepoCLI(std::optional<QString> serverURL, CLIRunner runner = CLIRunner());

    QCoro::Task<std::optional<QList<RepoInfo>>> listRepos() override;
    QCoro::Task<RepoCLIOutcome> initFolder(QString folderPath, QString slug,
                                           std::optional<QString> displayName, bool force) override;

private:
    std::optional<QString> m_serverURL;
    CLIRunner m_runner;
};

} // namespace orvu
