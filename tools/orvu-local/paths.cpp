#include "paths.h"

#include "folder_io.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvu::local {

std::optional<QString> normaliseRelative(const QString &path) {
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QChar(0)) ||
        path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r')))
        return std::nullopt;
    QStringList parts;
    for (const QString &part : path.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QStringLiteral("."))
            continue;
        if (part == QStringLiteral(".."))
            return std::nullopt;
        parts.append(part);
    }
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join(QLatin1Char('/'));
}

bool isCanonicalRelative(QStringView path) {
    if (path.isEmpty())
        return false;
    qsizetype partStart = 0;
    for (qsizetype i = 0; i <= path.size(); ++i) {
        const QChar c = i < path.size() ? path[i] : QLatin1Char('/');
        if (c == QChar(0) || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            return false;
        if (c != QLatin1Char('/'))
            continue;
        const QStringView part = path.sliced(partStart, i - partStart);
        if (part.isEmpty() || part == u"." || part == u"..")
            return false;
        partStart = i + 1;
    }
    return true;
}

bool isHiddenPath(const QString &relative) {
    for (const QStringView part : QStringView(relative).split(QLatin1Char('/')))
        if (part.startsWith(QLatin1Char('.')))
            return true;
    return false;
}

bool isPrivatePath(const QString &relative) {
    for (const QStringView part : QStringView(relative).split(QLatin1Char('/')))
        if (part.startsWith(QLatin1Char('_')))
            return true;
    return false;
}

bool isSafeInside(const QString &root, const QString &relative, bool createParents) {
    const QStringList parts = relative.split(QLatin1Char('/'));
    QString current = root;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        current += QLatin1Char('/') + parts[i];
        const bool last = i == parts.size() - 1;
        struct stat info {};
        if (::lstat(QFile::encodeName(current).constData(), &info) != 0) {
            if (last)
                return true;
            if (!createParents)
                return true; // nothing below a missing directory can lead elsewhere
            if (!QDir().mkdir(current))
                return false;
            continue;
        }
        if (S_ISLNK(info.st_mode))
            return false;
        if (!last && !S_ISDIR(info.st_mode))
            return false;
    }
    return true;
}

void removeEmptyParents(const QString &root, const QString &relative) {
    QString parent = relative.section(QLatin1Char('/'), 0, -2);
    while (!parent.isEmpty()) {
        const auto [above, name] = splitParent(parent);
        const Fd dir = openDirectoryInside(root, above, false);
        if (!dir.valid() ||
            ::unlinkat(dir.get(), QFile::encodeName(name).constData(), AT_REMOVEDIR) != 0)
            return;
        parent = above;
    }
}

} // namespace orvu::local
