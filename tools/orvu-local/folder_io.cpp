#include "folder_io.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace orvu::local {

Fd::~Fd() {
    if (m_fd >= 0)
        ::close(m_fd);
}

Fd &Fd::operator=(Fd &&other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

std::pair<QString, QString> splitParent(const QString &relative) {
    const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return {QString(), relative};
    return {relative.left(slash), relative.mid(slash + 1)};
}

Fd openDirectoryInside(const QString &root, const QString &relativeDir, bool create) {
    Fd current(::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current.valid() || relativeDir.isEmpty())
        return current;
    for (const QString &part : relativeDir.split(QLatin1Char('/'))) {
        const QByteArray name = QFile::encodeName(part);
        constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = ::openat(current.get(), name.constData(), flags);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(current.get(), name.constData(), 0755) != 0 && errno != EEXIST)
                return Fd();
            next = ::openat(current.get(), name.constData(), flags);
        }
        if (next < 0)
            return Fd();
        current = Fd(next);
    }
    return current;
}

Fd openRegularAt(int dirFd, const QByteArray &name, bool followLink) {
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    Fd fd(::openat(dirFd, name.constData(), flags));
    if (!fd.valid())
        return fd;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return Fd();
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return Fd();
    }
    return fd;
}

Fd openRegular(const QString &path, bool followLink) {
    return openRegularAt(AT_FDCWD, QFile::encodeName(path), followLink);
}

Fd openRegularInside(const QString &root, const QString &relative) {
    const auto [parent, leaf] = splitParent(relative);
    const Fd dir = openDirectoryInside(root, parent, false);
    if (!dir.valid())
        return Fd();
    return openRegularAt(dir.get(), QFile::encodeName(leaf));
}

Fd DirectoryCache::openRegular(const QString &relative) {
    const auto [parent, leaf] = splitParent(relative);
    if (!m_fd.valid() || parent != m_directory) {
        m_fd = openDirectoryInside(m_root, parent, false);
        m_directory = parent;
    }
    if (!m_fd.valid())
        return Fd();
    return openRegularAt(m_fd.get(), QFile::encodeName(leaf));
}

std::optional<QByteArray> readAll(int fd) {
    // Read straight into the result, grown as the file turns out longer than its stat said.
    struct stat info {};
    const qsizetype expected =
        ::fstat(fd, &info) == 0 && info.st_size > 0 ? static_cast<qsizetype>(info.st_size) : 0;
    QByteArray data(expected + (1 << 16), Qt::Uninitialized);
    qsizetype length = 0;
    for (;;) {
        if (length == data.size())
            data.resize(data.size() * 2);
        const ssize_t n =
            ::read(fd, data.data() + length, static_cast<size_t>(data.size() - length));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        length += n;
    }
    data.truncate(length);
    return data;
}

namespace {

// The whole content of a file just opened; errno still tells why an open failed.
FileContent contentOf(const Fd &fd) {
    if (!fd.valid())
        return {errno == ENOENT ? ReadStatus::Missing : ReadStatus::Failed, {}};
    auto data = readAll(fd.get());
    if (!data)
        return {ReadStatus::Failed, {}};
    return {ReadStatus::Ok, *data};
}

} // namespace

FileContent readRegularFileAt(int dirFd, const QByteArray &name) {
    return contentOf(openRegularAt(dirFd, name));
}

FileContent readRegularFile(const QString &path) {
    // Store files are followed through links (an operator may place them so); what matters is
    // that only a regular file is ever read.
    return contentOf(openRegular(path, true));
}

std::optional<TemporaryFile> createTemporaryAt(int dirFd, mode_t mode) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name =
            ".orvu-part-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        const int fd = ::openat(dirFd, name.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0)
            return TemporaryFile{Fd(fd), name};
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

bool writeFileAtomicallyAt(int dirFd, const QByteArray &name, const QByteArray &data, mode_t mode) {
    auto temporary = createTemporaryAt(dirFd, mode);
    if (!temporary)
        return false;
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(temporary->fd.get(), data.constData() + written,
                                  static_cast<size_t>(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::unlinkat(dirFd, temporary->name.constData(), 0);
            return false;
        }
        written += n;
    }
    if (::renameat(dirFd, temporary->name.constData(), dirFd, name.constData()) != 0) {
        ::unlinkat(dirFd, temporary->name.constData(), 0);
        return false;
    }
    return true;
}

bool renameNoReplace(int dirFd, const QByteArray &from, const QByteArray &to) {
    if (::renameat2(dirFd, from.constData(), dirFd, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without RENAME_NOREPLACE: a hard link never replaces either.
    if (::linkat(dirFd, from.constData(), dirFd, to.constData(), 0) != 0)
        return false;
    ::unlinkat(dirFd, from.constData(), 0);
    return true;
}

qint64 mtimeOf(const struct stat &info) {
    return static_cast<qint64>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

bool sameFile(const struct stat &info, qint64 size, qint64 mtimeNs, quint64 inode) {
    return S_ISREG(info.st_mode) && static_cast<qint64>(info.st_size) == size &&
           mtimeOf(info) == mtimeNs && static_cast<quint64>(info.st_ino) == inode;
}

} // namespace orvu::local
