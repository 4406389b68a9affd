#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>

namespace orvu::local {

struct ManifestEntry;

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

// One look at a folder: its ordinary files, and what could not be read (files, and folders
// whose whole content is unknown). Unreadable paths are neither changed nor deletions.
struct FolderScan {
    LocalFiles files;
    QStringList unreadable;
};
// True when `path` is one of `prefixes` or lies under one of them.
bool isUnder(const QString &path, const QStringList &prefixes);

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

    // Nothing when a state exists but cannot be read; an empty state when there is none.
    std::optional<SyncedState> loadState() const;
    bool saveState(const SyncedState &state) const;

    // Every ordinary file with its content hash. Unchanged files (same size, modification
    // time and inode as cached) are not read; what was learnt is added to the cache.
    // Files with nothing to compare them with (neither in `state` nor in `manifest`) are not
    // read at all and carry kUnhashed, so a first push can start without reading the whole
    // folder. Nothing when the folder itself cannot be read.
    std::optional<FolderScan> scan(const SyncedState &state,
                                   const std::map<QString, ManifestEntry> &manifest) const;
    // loadState() and scan() together, the state read while the folder is walked. The scan is
    // nothing also when the state cannot be read.
    std::pair<std::optional<SyncedState>, std::optional<FolderScan>>
    loadStateAndScan(const std::map<QString, ManifestEntry> &manifest) const;
    // The current stat and hash of one regular file (never through a link).
    std::optional<LocalFile> hashOne(const QString &relative) const;

private:
    std::optional<FolderScan> scan(const std::function<const SyncedState *()> &stateWhenWalked,
                                   bool statFiles,
                                   const std::map<QString, ManifestEntry> &manifest) const;

    QString m_root;
};

class Fd;
// The hash of an open file; errno tells why when nothing (also when `fd` is not valid).
std::optional<QByteArray> hashFileContent(const Fd &fd);

} // namespace orvu::local
