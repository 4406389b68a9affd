#pragma once

#include "core/account/cli_auth_running.h"
#include "core/cli/cli_runner.h"

#include <optional>

namespace orvu {

// The sign-in commands' access to the real tool, always against one server.
class CLIAuth final : public CLIAuthRunning {
public:
    explicit CLIAuth(std::optional<QString> serverURL, CLIRunner runner = CLIRunner());

    QCoro::Task<RunOutcome> run(QStringList arguments) override;

private:
    std::optional<QString> m_serverURL;
    CLIRunner m_runner;
};

} // namespace orvu
