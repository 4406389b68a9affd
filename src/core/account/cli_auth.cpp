#include "core/account/cli_auth.h"

namespace orvu {

CLIAuth::CLIAuth(std::optional<QString> serverURL, CLIRunner runner)
    : m_serverURL(std::move(serverURL)), m_runner(std::move(runner)) {}

QCoro::Task<RunOutcome> CLIAuth::run(QStringList arguments) {
    // The run may outlive this object (a sign-out's logout is never awaited), so the frame keeps
    // its own copies. The runner itself waits on the child without blocking this thread.
    const CLIRunner runner = m_runner;
    const std::optional<QString> serverURL = m_serverURL;
    QCoro::Task<RunOutcome> run = runner.run(std::move(arguments), serverURL);
    RunOutcome outcome = co_await run;
    co_return outcome;
}

} // namespace orvu
