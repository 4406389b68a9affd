#pragma once

#include "core/platform/folder_access.h"

#include <QHash>
#include <QSet>
#include <QStringList>

namespace orvu {

// Bookmarks and grants held in memory, so tests can make resolution fail, report stale
// bookmarks, refuse access and count what was started and stopped.
class MemoryFolderAccess final : public FolderAccess {
public:
    std::optional<QByteArray> makeBookmark(const QString &folderPath) const override;
    std::optional<Resolved> resolveBookmark(const QByteArray &bookmark) const override;
    bool startAccessing(const QString &folderPath) override;
    void stopAccessing(const QString &folderPath) override;

    // Bookmarks made here are "bm:" + path; unknown bytes fail to resolve unless added.
    static QByteArray bookmarkFor(const QString &folderPath);
    void addBookmark(const QByteArray &bookmark, const QString &path, bool stale = false);
    void setMakeBookmarkFails(bool fails) { m_makeFails = fails; }
    void refuseAccess(const QString &folderPath) { m_refused.insert(folderPath); }
    void setStale(const QString &folderPath, bool stale);

    QStringList started() const { return m_started; }
    QStringList stopped() const { return m_stopped; }
    // Paths started and not yet stopped, with multiplicity.
    QStringList held() const;

private:
    QHash<QByteArray, Resolved> m_extra;
    QSet<QString> m_refused;
    QSet<QString> m_stale;
    bool m_makeFails = false;
    QStringList m_started;
    QStringList m_stopped;
};

} // namespace orvu
