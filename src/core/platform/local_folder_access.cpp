#include "core/platform/local_folder_access.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>

namespace orvu {

namespace {

bool isUsableAbsolutePath(const QString &path) {
    return !path.isEmpty() && QDir::isAbsolutePath(path) && !path.contains(QChar(u'\0'));
}

} // namespace

std::optional<QByteArray> LocalFolderAccess::makeBookmark(const QString &folderPath) const {
    if (!isUsableAbsolutePath(folderPath))
        return std::nullopt;
    return folderPath.toUtf8();
}

std::optional<FolderAccess::Resolved>
LocalFolderAccess::resolveBookmark(const QByteArray &bookmark) const {
    // Bytes that are not UTF-8 were never written by makeBookmark(); refusing them keeps a
    // damaged bookmark from resolving to some other folder.
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString path = decoder.decode(bookmark);
    if (decoder.hasError() || !isUsableAbsolutePath(path))
        return std::nullopt;
    return Resolved{path, false};
}

bool LocalFolderAccess::startAccessing(const QString &folderPath) {
    return QFileInfo(folderPath).isDir();
}

void LocalFolderAccess::stopAccessing(const QString &) {}

} // namespace orvu
