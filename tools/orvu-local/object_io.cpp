#include "object_io.h"

#include "hashing.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace orvu::local {

namespace {

constexpr qint64 kChunk = 1 << 20;

// One buffer per thread, left uninitialised: clearing it for every small file cost more
// than copying the file.
char *chunkBuffer() {
    thread_local const std::unique_ptr<char[]> buffer(new char[kChunk]);
    return buffer.get();
}

bool writeAll(int fd, const char *data, qint64 length) {
    for (qint64 done = 0; done < length;) {
        const ssize_t n = ::write(fd, data + done, static_cast<size_t>(length - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Reads until `length` bytes are there or the file ends; the count, or -1.
qint64 readFully(int fd, char *buffer, qint64 length) {
    qint64 filled = 0;
    while (filled < length) {
        const ssize_t n = ::read(fd, buffer + filled, static_cast<size_t>(length - filled));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        filled += n;
    }
    return filled;
}

int hexValue(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

} // namespace

int ObjectFiles::root() {
    if (!m_root.valid())
        m_root = Fd(
            ::open(QFile::encodeName(m_rootPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return m_root.get();
}

int ObjectFiles::directory(const QByteArray &sha256, bool create) {
    const int high = sha256.size() == 64 ? hexValue(sha256[0]) : -1;
    const int low = sha256.size() == 64 ? hexValue(sha256[1]) : -1;
    if (high < 0 || low < 0) {
        errno = ENOENT;
        return -1;
    }
    const std::lock_guard lock(m_mutex);
    Fd &directory = m_directories[static_cast<size_t>(high * 16 + low)];
    if (directory.valid())
        return directory.get();
    const int parent = root();
    if (parent < 0)
        return -1;
    const QByteArray name = sha256.left(2);
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    int fd = ::openat(parent, name.constData(), flags);
    if (fd < 0 && errno == ENOENT && create) {
        if (::mkdirat(parent, name.constData(), 0755) != 0 && errno != EEXIST)
            return -1;
        fd = ::openat(parent, name.constData(), flags);
    }
    directory = Fd(fd);
    return fd;
}

std::optional<StoredObject> ObjectFiles::commit(const QByteArray &sha256, qint64 size,
                                                QByteArrayView data, TemporaryFile *written) {
    const int directoryFd = directory(sha256, true);
    if (directoryFd < 0)
        return std::nullopt;
    struct stat info {};
    const bool present = ::fstatat(directoryFd, sha256.constData(), &info, 0) == 0;
    const int parent = written ? root() : directoryFd;
    std::optional<TemporaryFile> made;
    if (!present && !written) {
        made = createTemporaryAt(directoryFd, 0644);
        if (!made || !writeAll(made->fd.get(), data.data(), data.size())) {
            if (made)
                ::unlinkat(directoryFd, made->name.constData(), 0);
            return std::nullopt;
        }
        written = &*made;
    }
    if (present) {
        // Content-addressed: the same bytes are there already.
        if (written)
            ::unlinkat(parent, written->name.constData(), 0);
        return StoredObject{sha256, size};
    }
    // Readable by all whatever the umask, as every object of the store.
    ::fchmod(written->fd.get(), 0644);
    written->fd = Fd();
    if (::renameat(parent, written->name.constData(), directoryFd, sha256.constData()) != 0) {
        ::unlinkat(parent, written->name.constData(), 0);
        return std::nullopt;
    }
    return StoredObject{sha256, size};
}

std::optional<StoredObject> ObjectFiles::store(int fd) {
    char *buffer = chunkBuffer();
    struct stat info {};
    const qint64 expected = ::fstat(fd, &info) == 0 ? static_cast<qint64>(info.st_size) : -1;
    // A file that fits in one chunk (as most do) is read whole before anything is written,
    // so content the store already holds costs no write; one read when its size is known.
    const qint64 first = expected >= 0 && expected < kChunk ? readFully(fd, buffer, expected) : 0;
    if (first < 0)
        return std::nullopt;
    const qint64 rest = first == expected ? 0 : readFully(fd, buffer + first, kChunk - first);
    if (rest < 0)
        return std::nullopt;
    qint64 size = first + rest;
    Sha256 hash;
    hash.add(QByteArrayView(buffer, size));
    if (size < kChunk) {
        const auto sha = hash.hex();
        return sha ? commit(*sha, size, QByteArrayView(buffer, size), nullptr) : std::nullopt;
    }
    // Larger: streamed through a temporary file, named once its hash is known.
    const int parent = root();
    auto temporary = parent >= 0 ? createTemporaryAt(parent, 0644) : std::nullopt;
    if (!temporary)
        return std::nullopt;
    auto fail = [&]() -> std::optional<StoredObject> {
        ::unlinkat(parent, temporary->name.constData(), 0);
        return std::nullopt;
    };
    for (qint64 n = size;;) {
        if (!writeAll(temporary->fd.get(), buffer, n))
            return fail();
        n = readFully(fd, buffer, kChunk);
        if (n < 0)
            return fail();
        if (n == 0)
            break;
        hash.add(QByteArrayView(buffer, n));
        size += n;
    }
    const auto sha = hash.hex();
    if (!sha)
        return fail();
    return commit(*sha, size, {}, &*temporary);
}

std::optional<StoredObject> ObjectFiles::store(QByteArrayView data) {
    const auto sha = sha256Hex(data);
    return sha ? commit(*sha, data.size(), data, nullptr) : std::nullopt;
}

Store::CopyOutcome ObjectFiles::copy(const QByteArray &sha256, qint64 size, int outFd) {
    const int directoryFd = directory(sha256, false);
    // Store files are followed through links (an operator may place them so); only a regular
    // file is ever read.
    const Fd source =
        directoryFd < 0 ? Fd() : openRegularAt(directoryFd, sha256, /*followLink=*/true);
    if (!source.valid())
        return errno == ENOENT ? Store::CopyOutcome::Missing : Store::CopyOutcome::Corrupt;
    struct stat info {};
    if (::fstat(source.get(), &info) != 0 || static_cast<qint64>(info.st_size) != size)
        return Store::CopyOutcome::Corrupt;
    char *buffer = chunkBuffer();
    Sha256 hash;
    for (qint64 copied = 0; copied < size;) {
        const qint64 n = readFully(source.get(), buffer, std::min(kChunk, size - copied));
        if (n <= 0)
            return Store::CopyOutcome::Corrupt; // shorter than its size
        hash.add(QByteArrayView(buffer, n));
        if (!writeAll(outFd, buffer, n))
            return Store::CopyOutcome::WriteFailed;
        copied += n;
    }
    return hash.hex() == sha256 ? Store::CopyOutcome::Copied : Store::CopyOutcome::Corrupt;
}

} // namespace orvu::local
