#include "core/repos/repo_cli.h"

#include "core/cli/tool_commands.h"
#include "core/cli/tool_output.h"
#include "core/repos/repo_cli_output.h"

namespace orvu {

namespace {

QCoro::Task<std::optional<QList<RepoInfo>>> listReposWith(CLIRunner runner,
                                                          std::optional<QString> serverURL) {
    QCoro::Task<RunOutcome> running = runner.run(tool::repos(), serverURL);
    const RunOutcome outcome = co_await running;
    const auto *result = std::get_if<CLIAuthResult>(&outcome);
    if (!result || result->exitCode != tool::kExitSuccess)
        co_return std::nullopt;
    co_return decodeReposLine(result->standardOutput);
}

QCoro::Task<RepoCLIOutcome> initFolderWith(CLIRunner runner, std::optional<QString> serverURL,
                                           QStringList arguments) {
    QCoro::Task<RunOutcome> running = runner.run(arguments, serverURL);
    const RunOutcome outcome = co_await running;
    const auto *result = std::get_if<CLIAuthResult>(&outcome);
    if (!result)
        co_return RepoCLIOutcome::failed(QStringLiteral("Could not run the orvu CLI"));
    if (result->exitCode == tool::kExitSuccess)
        co_return RepoCLIOutcome::ok();
    if (result->exitCode == tool::kExitAuthRequired)
        co_return RepoCLIOutcome::authRequired();
    if (result->exitCode == tool::kExitCrashed)
        co_return RepoCLIOutcome::failed(tool::kCrashedMessage);
    const QString message = tool_output::errorText(*result).value_or(
        QStringLiteral("init failed (exit %1)").arg(QString::number(result->exitCode)));
    co_return RepoCLIOutcome::failed(message);
}

} // namespace

RepoCLI::RepoCLI(std::optional<QString> serverURL, CLIRunner runner)
    : m_serverURL(std::move(serverURL)), m_runner(std::move(runner)) {}

// The work lives in free coroutines over copies, so a caller may drop this object mid-run.
QCoro::Task<std::optional<QList<RepoInfo>>> RepoCLI::listRepos() {
    return listReposWith(m_runner, m_serverURL);
}

QCoro::Task<RepoCLIOutcome> RepoCLI::initFolder(QString folderPath, QString slug,
                                                std::optional<QString> displayName, bool force) {
    return initFolderWith(m_runner, m_serverURL,
                          tool::init(folderPath, slug, displayName.value_or(QString()), force));
}

} // namespace orvu
