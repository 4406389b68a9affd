#include "gui/repos/add_repo_texts.h"

#include "core/repos/add_repo_model.h"

#include <QDir>

namespace orvu::add_repo_text {

QString displayPath(const QString &path, const QString &homePath) {
    const QString home = QDir::cleanPath(homePath);
    if (homePath.isEmpty() || home == QStringLiteral("/"))
        return path;
    if (path == home)
        return QStringLiteral("~");
    if (path.startsWith(home) && path.at(home.size()) == u'/')
        return u'~' + path.mid(home.size());
    return path;
}

QString urlPreview(const QString &newRepoName) {
    const QString slug = AddRepoModel::slugify(newRepoName);
    return QStringLiteral("URL: /r/") + (slug.isEmpty() ? QStringLiteral("…") : slug) +
           QStringLiteral("  (final slug set by the server)");
}

QString folderQuestion(const QString &targetName) {
    return QStringLiteral("2. Where should '") + targetName + QStringLiteral("' live?");
}

QString chooserTitle(const QString &targetName) {
    return QStringLiteral("Choose a folder for '") + targetName + u'\'';
}

QString rebindMessage(const QString &currentLink, const QString &targetName) {
    return QStringLiteral("That folder is already linked to '") + currentLink +
           QStringLiteral("'. Linking it to '") + targetName +
           QStringLiteral("' replaces that. Your files on disk are untouched; the next sync "
                          "reconciles.");
}

} // namespace orvu::add_repo_text
