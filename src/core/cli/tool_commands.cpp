#include "core/cli/tool_commands.h"

namespace orvu::tool {

namespace {

const QString kJson = QStringLiteral("--json");

void appendOnly(QStringList &arguments, const QStringList &onlyPaths) {
    for (const QString &path : onlyPaths)
        arguments << QStringLiteral("--only") << path;
}

} // namespace

QStringList loginWithEmail(const QString &email) {
    return {QStringLiteral("login"), QStringLiteral("--email"), email, kJson};
}

QStringList loginWithVerification(const QString &tokenOrLink) {
    return {QStringLiteral("login"), QStringLiteral("--verify"), tokenOrLink, kJson};
}

QStringList loginWithToken(const QString &token) {
    return {QStringLiteral("login"), QStringLiteral("--token"), token, kJson};
}

QStringList whoami() {
    return {QStringLiteral("whoami"), kJson};
}

QStringList logout() {
    return {QStringLiteral("logout")};
}

QStringList repos() {
    return {QStringLiteral("repos"), kJson};
}

QStringList init(const QString &folderPath, const QString &slug, const QString &displayName,
                 bool force) {
    QStringList arguments{QStringLiteral("init"), folderPath, QStringLiteral("--repo"), slug,
                          kJson};
    if (!displayName.isEmpty())
        arguments << QStringLiteral("--name") << displayName;
    if (force)
        arguments << QStringLiteral("--force");
    return arguments;
}

QStringList status(const QString &folderPath) {
    return {QStringLiteral("status"), folderPath, kJson};
}

QStringList remoteStatus(const QString &folderPath) {
    return {QStringLiteral("status"), folderPath, QStringLiteral("--remote"), kJson};
}

QStringList sync(const QString &folderPath, const QStringList &onlyPaths) {
    QStringList arguments{QStringLiteral("sync"), folderPath, kJson, QStringLiteral("--resolve"),
                          QStringLiteral("keep-both")};
    appendOnly(arguments, onlyPaths);
    return arguments;
}

QStringList syncDryRun(const QString &folderPath, const QStringList &onlyPaths) {
    QStringList arguments{QStringLiteral("sync"), folderPath, kJson, QStringLiteral("--dry-run")};
    appendOnly(arguments, onlyPaths);
    return arguments;
}

QStringList pullOnly() {
    return {QStringLiteral("--pull-only")};
}

QStringList discard(const QString &path) {
    return {QStringLiteral("discard"), path, kJson};
}

} // namespace orvu::tool
