#pragma once

#include "support/sandbox/orvu_local_sandbox.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QStringList>

namespace orvu::test {

inline const QString kJson = QStringLiteral("--json");

inline QJsonObject firstOfType(const OrvuLocalSandbox::Result &result, const QString &type) {
    for (const QJsonObject &line : result.lines())
        if (line.value(QStringLiteral("type")).toString() == type)
            return line;
    return {};
}

inline QList<QJsonObject> allOfType(const OrvuLocalSandbox::Result &result, const QString &type) {
    QList<QJsonObject> found;
    for (const QJsonObject &line : result.lines())
        if (line.value(QStringLiteral("type")).toString() == type)
            found.append(line);
    return found;
}

inline bool writeFile(const QString &path, const QByteArray &content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

inline QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every ordinary (not hidden) file of a folder, relative path to content.
inline QMap<QString, QByteArray> folderFiles(const QString &root) {
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        bool hidden = false;
        for (const QString &part : relative.split(QLatin1Char('/')))
            hidden = hidden || part.startsWith(QLatin1Char('.'));
        if (!hidden)
            files.insert(relative, readFile(path));
    }
    return files;
}

// The server's side of a repo, read from the store's documented layout: the manifest's
// lines "sha \t size \t version \t private \t path" and content-addressed objects.
inline QString storeRoot() {
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/orvu-local/orvu.io");
}

inline QString repoIdOf(const QString &folder) {
    return QJsonDocument::fromJson(readFile(folder + QStringLiteral("/.orvu/config")))
        .object()
        .value(QStringLiteral("repoId"))
        .toString();
}

inline QMap<QString, QByteArray> serverFiles(const QString &repoId) {
    QMap<QString, QByteArray> files;
    const QByteArray manifest = readFile(storeRoot() + QStringLiteral("/manifests/") + repoId);
    const QList<QByteArray> lines = manifest.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].split('\t');
        if (fields.size() < 5)
            continue;
        const QByteArray sha = fields[0];
        // The path is the last field and may itself hold tabs.
        files.insert(QString::fromUtf8(lines[i]).section(QLatin1Char('\t'), 4),
                     readFile(storeRoot() + QStringLiteral("/objects/") +
                              QString::fromLatin1(sha.left(2)) + QLatin1Char('/') +
                              QString::fromLatin1(sha)));
    }
    return files;
}

inline QStringList syncArgs(const QString &folder, const QStringList &only = {}) {
    QStringList arguments{QStringLiteral("sync"), folder, kJson, QStringLiteral("--resolve"),
                          QStringLiteral("keep-both")};
    for (const QString &path : only)
        arguments << QStringLiteral("--only") << path;
    return arguments;
}

inline QStringList dryRunArgs(const QString &folder, const QStringList &only = {}) {
    QStringList arguments{QStringLiteral("sync"), folder, kJson, QStringLiteral("--dry-run")};
    for (const QString &path : only)
        arguments << QStringLiteral("--only") << path;
    return arguments;
}

} // namespace orvu::test
