#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <map>
#include <optional>

namespace orvu::local {

// The hash of a file that exists but whose content nobody needed to compare.
inline const QByteArray kUnhashed = QByteArrayLiteral("unhashed");

struct LocalFile {
    qint64 size = 0;
    qint64 mtimeNs = 0;
    quint64 inode = 0;
    QByteArray sha256; // lower-case hex
};
using LocalFiles = std::map<QString, LocalFile>;

// What the folder and the server agreed on after the last sync, per path.
struct SyncedEntry {
    QByteArray sha256;
    qint64 size = 0;
    qint64 version = 0;
};
using SyncedState = std::map<QString, SyncedEntry>;

struct FolderConfig {
    QString repoId;
    QString slug;
    QString server;
};

// A bound folder: its `.orvu/config`, its synced state and its hash cache, and the scan of its
// ordinary files (hidden paths, symbolic links and names that are not UTF-8 are left out).
class Folder {
public:
    explicit Folder(QString root);

    // The nearest directory at or above `path` holding `.orvu/config`.
    static std::optional<QString> findRoot(const QString &path);

    QString root() const { return m_root; }
    QString absolute(const QString &relative) const { return m_root + QLatin1Char('/') + relative; }

    std::optional<FolderConfig> readConfig() const;
    bool writeConfig(const FolderConfig &config) const;

    SyncedState loadState() const;
    bool saveState(const SyncedState &state) const;

    // Every ordinary file with its content hash. Unchanged files (same size, modification
    // time and inode as cached) are not read; the cache is rewritten only when it changed.
    // Files for which `needsHash` says no (nothing to compare them with) are not read at all
    // and carry kUnhashed, so a first push can start without reading the whole folder.
    LocalFiles scan(const std::function<bool(const QString &)> &needsHash) const;
    // The current stat of one file, without its hash; nothing when it is not a regular file.
    std::optional<LocalFile> statFile(const QString &relative) const;
    // The hash of one file through the cache.
    std::optional<LocalFile> hashOne(const QString &relative) const;

private:
    QString m_root;
};

std::optional<QByteArray> hashFileContent(const QString &path);

} // namespace orvu::local
