#include "core/platform/memory_folder_access.h"

namespace orvu {

namespace {
const QByteArray kPrefix = QByteArrayLiteral("bm:");
}

QByteArray MemoryFolderAccess::bookmarkFor(const QString &folderPath) {
    return kPrefix + folderPath.toUtf8();
}

std::optional<QByteArray> MemoryFolderAccess::makeBookmark(const QString &folderPath) const {
    if (m_makeFails)
        return std::nullopt;
    return bookmarkFor(folderPath);
}

std::optional<FolderAccess::Resolved>
MemoryFolderAccess::resolveBookmark(const QByteArray &bookmark) const {
    if (const auto it = m_extra.constFind(bookmark); it != m_extra.cend())
        return *it;
    if (!bookmark.startsWith(kPrefix))
        return std::nullopt;
    const QString path = QString::fromUtf8(bookmark.mid(kPrefix.size()));
    return Resolved{path, m_stale.contains(path)};
}

bool MemoryFolderAccess::startAccessing(const QString &folderPath) {
    if (m_refused.contains(folderPath))
        return false;
    m_started.append(folderPath);
    return true;
}

void MemoryFolderAccess::stopAccessing(const QString &folderPath) {
    m_stopped.append(folderPath);
}

void MemoryFolderAccess::addBookmark(const QByteArray &bookmark, const QString &path, bool stale) {
    m_extra.insert(bookmark, Resolved{path, stale});
}

void MemoryFolderAccess::setStale(const QString &folderPath, bool stale) {
    if (stale)
        m_stale.insert(folderPath);
    else
        m_stale.remove(folderPath);
}

QStringList MemoryFolderAccess::held() const {
    QStringList held = m_started;
    for (const QString &path : m_stopped)
        held.removeOne(path);
    return held;
}

} // namespace orvu
