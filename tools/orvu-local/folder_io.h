#pragma once

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

#include <optional>
#include <utility>

namespace orvu::local {

// An owned file descriptor, closed when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd();
    Fd(Fd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd &operator=(Fd &&other) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// "a/b/c" as ("a/b", "c"); a name without a slash has an empty parent.
std::pair<QString, QString> splitParent(const QString &relative);

// Opens root/relativeDir one component at a time relative to its parent, never following a
// symbolic link below the root, so a folder swapped for a link can never lead a read or a
// write elsewhere; no component is ever longer than a name, so deep paths work too. With
// `create`, missing directories are made. On failure errno tells why.
Fd openDirectoryInside(const QString &root, const QString &relativeDir, bool create);

// Opens a regular file for reading: never through a link at the last component (unless
// `followLink`), never blocking on a FIFO, and refusing anything that is not a regular file
// once open (errno EINVAL).
Fd openRegularAt(int dirFd, const QByteArray &name, bool followLink = false);
Fd openRegular(const QString &path, bool followLink);
// The file root/relative, opened as above through openDirectoryInside.
Fd openRegularInside(const QString &root, const QString &relative);

// Opens regular files of one folder for reading like openRegularInside, keeping the last
// directory open: a sync reads files in path order, so most share the one before's.
class DirectoryCache {
public:
    explicit DirectoryCache(QString root) : m_root(std::move(root)) {}
    Fd openRegular(const QString &relative);

private:
    QString m_root;
    QString m_directory;
    Fd m_fd;
};

std::optional<QByteArray> readAll(int fd);

enum class ReadStatus { Ok, Missing, Failed };
struct FileContent {
    ReadStatus status = ReadStatus::Failed;
    QByteArray data;
};
// A whole regular file; Missing only when nothing is there.
FileContent readRegularFile(const QString &path);
FileContent readRegularFileAt(int dirFd, const QByteArray &name);

// A hidden temporary file in dirFd for content that replaces a file there once complete.
struct TemporaryFile {
    Fd fd;
    QByteArray name;
};
std::optional<TemporaryFile> createTemporaryAt(int dirFd, mode_t mode);

// Writes `name` in dirFd through a temporary file and a rename.
bool writeFileAtomicallyAt(int dirFd, const QByteArray &name, const QByteArray &data,
                           mode_t mode = 0644);

// A rename that fails with EEXIST instead of replacing what is there.
bool renameNoReplace(int dirFd, const QByteArray &from, const QByteArray &to);

bool sameFile(const struct stat &info, qint64 size, qint64 mtimeNs, quint64 inode);
qint64 mtimeOf(const struct stat &info);

} // namespace orvu::local
