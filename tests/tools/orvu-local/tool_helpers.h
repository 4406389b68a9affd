#pragma once

#include "support/sandbox/orvu_local_sandbox.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QStringList>

namespace orvu::test {

using namespace Qt::StringLiterals;

inline const QString kJson = u"--json"_s;

inline QList<QJsonObject> allOfType(const OrvuLocalSandbox::Result &result, const QString &type) {
    QList<QJsonObject> found;
    for (const QJsonObject &line : result.lines())
        if (line.value(u"type"_s).toString() == type)
            found.append(line);
    return found;
}

inline QJsonObject firstOfType(const OrvuLocalSandbox::Result &result, const QString &type) {
    return allOfType(result, type).value(0);
}

inline bool writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
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
        const QString relative = QDir(root).relativeFilePath(it.next());
        if (!relative.startsWith(u'.') && !relative.contains(u"/."_s))
            files.insert(relative, readFile(it.filePath()));
    }
    return files;
}

// The server's side of a repo, read from the store's documented layout: the manifest's
// lines "sha \t size \t version \t private \t path" and content-addressed objects.
inline QString storeRoot() {
    return qEnvironmentVariable("XDG_DATA_HOME") + u"/orvu-local/orvu.io"_s;
}

inline QString objectPath(const QByteArray &sha) {
    return storeRoot() + u"/objects/"_s + QString::fromLatin1(sha.left(2) + '/' + sha);
}

inline QString repoIdOf(const QString &folder) {
    return QJsonDocument::fromJson(readFile(folder + u"/.orvu/config"_s))[u"repoId"_s].toString();
}

inline QMap<QString, QByteArray> serverFiles(const QString &repoId) {
    QMap<QString, QByteArray> files;
    const QList<QByteArray> lines = readFile(storeRoot() + u"/manifests/"_s + repoId).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines[i]);
        if (line.count(u'\t') >= 4) // the path is the last field and may itself hold tabs
            files.insert(line.section(u'\t', 4), readFile(objectPath(lines[i].left(64))));
    }
    return files;
}

inline QStringList syncArgs(const QString &folder, const QStringList &only = {},
                            bool dryRun = false) {
    QStringList arguments{u"sync"_s, folder, kJson};
    arguments << (dryRun ? QStringList{u"--dry-run"_s}
                         : QStringList{u"--resolve"_s, u"keep-both"_s});
    for (const QString &path : only)
        arguments << u"--only"_s << path;
    return arguments;
}

// Starts the built tool on the default server without waiting: `delayMs` slows every
// transfer, `unprivileged` runs it as nobody through setpriv (root reads everything).
inline void startTool(QProcess &process, const OrvuLocalSandbox &sandbox,
                      const QStringList &arguments, int delayMs = 0, bool unprivileged = false) {
    QStringList all{sandbox.toolDirectory() + u"/orvu"_s, u"--server"_s, u"https://orvu.io"_s};
    if (unprivileged)
        all = QStringList{u"--reuid=nobody"_s, u"--regid=nogroup"_s, u"--clear-groups"_s} + all;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (delayMs > 0)
        environment.insert(u"ORVU_LOCAL_TRANSFER_DELAY_MS"_s, QString::number(delayMs));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(sandbox.root());
    const QString program = unprivileged ? u"setpriv"_s : all.takeFirst();
    process.start(program, all + arguments);
}

// Waits for a started run; a run that hangs is killed and reports exit code -1.
inline OrvuLocalSandbox::Result finish(QProcess &process, int timeoutMs = 30000) {
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished)
        process.kill(), process.waitForFinished();
    OrvuLocalSandbox::Result result{-1, process.readAllStandardOutput(),
                                    process.readAllStandardError()};
    if (finished && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

} // namespace orvu::test
