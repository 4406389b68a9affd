#include "core/repos/stub_repo_cli.h"

#include <algorithm>

namespace orvu {

QCoro::Task<std::optional<QList<RepoInfo>>> StubRepoCLI::listRepos() {
    co_return repos;
}

QCoro::Task<RepoCLIOutcome> StubRepoCLI::initFolder(QString, QString slug,
                                                    std::optional<QString> displayName, bool) {
    const bool known = std::any_of(repos.cbegin(), repos.cend(),
                                   [&](const RepoInfo &repo) { return repo.slug == slug; });
    if (!known) {
        const QString name = displayName.value_or(slug);
        repos.append(
            RepoInfo{QStringLiteral("created-") + slug, slug, name, QStringLiteral("public")});
    }
    co_return RepoCLIOutcome::ok();
}

} // namespace orvu
