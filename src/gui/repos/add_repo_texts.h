#pragma once

#include <QString>

// The add-repo panel's texts that depend on what the user typed or chose.
namespace orvu::add_repo_text {

// A folder path as the folder row shows it: inside the home folder, the home folder reads "~".
// Only whole path components count: "/home/annie" is not inside "/home/ann".
QString displayPath(const QString &path, const QString &homePath);

// The address a new repo would get: "URL: /r/" and the slug of the name ("…" while the name
// gives none), then "  (final slug set by the server)".
QString urlPreview(const QString &newRepoName);

QString folderQuestion(const QString &targetName);
QString chooserTitle(const QString &targetName);
QString rebindMessage(const QString &currentLink, const QString &targetName);

} // namespace orvu::add_repo_text
