#include "core/account/legacy_token_file.h"

#include <QByteArray>
#include <QFile>
#include <QStringDecoder>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvu {

namespace {

// Closes the descriptor on every way out.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

std::optional<QString> readLegacyToken(const QString &path) {
    // O_NONBLOCK so that opening a FIFO without a writer returns at once; the type is then
    // checked on the opened descriptor, so the file cannot be swapped after the check.
    const QByteArray nativePath = QFile::encodeName(path);
    const FileDescriptor fd(
        ::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0)
        return std::nullopt;

    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > kLegacyTokenMaxBytes)
        return std::nullopt;

    // Read one byte past the limit, so a file that grew since fstat is still refused.
    QByteArray bytes(kLegacyTokenMaxBytes + 1, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::read(fd.get(), bytes.data() + filled, size_t(bytes.size() - filled));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            break;
        filled += got;
    }
    if (filled > kLegacyTokenMaxBytes)
        return std::nullopt;
    bytes.truncate(filled);

    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text.trimmed();
}

} // namespace orvu
