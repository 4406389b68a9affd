#include "folder_state.h"

#include "json_output.h"
#include "paths.h"
#include "store.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QtConcurrent/QtConcurrentMap>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

namespace orvu::local {

namespace {

const QByteArray kStateHeader = "orvu-state 1";
const QByteArray kCacheHeader = "orvu-hash-cache 1";
constexpr size_t kReadChunk = 1 << 20;

qint64 mtimeOf(const struct stat &info) {
    return static_cast<qint64>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// Splits "f1\tf2\t...\tpath" into `count` leading fields and the rest; false when short.
bool splitFields(QByteArrayView line, int count, QByteArrayView *fields, QByteArrayView *rest) {
    qsizetype start = 0;
    for (int i = 0; i < count; ++i) {
        const qsizetype tab = line.indexOf('\t', start);
        if (tab < 0)
            return false;
        fields[i] = line.sliced(start, tab - start);
        start = tab + 1;
    }
    *rest = line.sliced(start);
    return true;
}

template <typename Visit> void forEachLine(const QByteArray &data, Visit visit) {
    qsizetype start = data.indexOf('\n'); // the first line is the header
    if (start < 0)
        return;
    ++start;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        if (end < 0)
            end = data.size();
        visit(QByteArrayView(data.constData() + start, end - start));
        start = end + 1;
    }
}

QByteArray readAll(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Names are nearly always ASCII, which needs no decoder to be known valid.
std::optional<QString> decodeName(const char *name) {
    const size_t length = std::strlen(name);
    bool ascii = true;
    for (size_t i = 0; i < length && ascii; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        ascii = c >= 0x20 && c < 0x80;
    }
    if (ascii)
        return QString::fromLatin1(name, static_cast<qsizetype>(length));
    const QByteArrayView raw(name, static_cast<qsizetype>(length));
    if (raw.contains('\n') || raw.contains('\r'))
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(raw);
    if (decoder.hasError())
        return std::nullopt;
    return decoded;
}

struct Walker {
    const std::function<bool(const QString &)> &needsHash;
    LocalFiles *files;

    void walk(const QByteArray &directory, const QString &prefix) {
        DIR *dir = ::opendir(directory.constData());
        if (!dir)
            return;
        const int dirFd = ::dirfd(dir);
        while (const dirent *entry = ::readdir(dir)) {
            const char *name = entry->d_name;
            if (name[0] == '.')
                continue; // hidden, and "." and ".."
            const auto decoded = decodeName(name);
            if (!decoded) {
                warn(QStringLiteral("Skipping a file name that is not valid UTF-8 text in %1")
                         .arg(prefix.isEmpty() ? QStringLiteral(".") : prefix));
                continue;
            }
            const QString relative =
                prefix.isEmpty() ? *decoded : prefix + QLatin1Char('/') + *decoded;
            // A regular file with nothing to compare it with needs no stat: it is sent as it
            // is read then, and stat calls are most of the time before a first push starts.
            if (entry->d_type == DT_REG && !needsHash(relative)) {
                files->emplace(relative, LocalFile{0, 0, 0, kUnhashed});
                continue;
            }
            if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_REG && entry->d_type != DT_DIR)
                continue; // symbolic links, sockets and devices are neither followed nor synced
            struct stat info {};
            if (::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(info.st_mode)) {
                walk(directory + '/' + name, relative);
            } else if (S_ISREG(info.st_mode)) {
                files->emplace(relative, LocalFile{static_cast<qint64>(info.st_size), mtimeOf(info),
                                                   static_cast<quint64>(info.st_ino),
                                                   needsHash(relative) ? QByteArray() : kUnhashed});
            }
        }
        ::closedir(dir);
    }
};

} // namespace

std::optional<QByteArray> hashFileContent(const QString &path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // One buffer per thread, left uninitialised: clearing 1 MiB for every small file cost
    // more than hashing it.
    thread_local const std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.get(), kReadChunk);
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        hash.addData(QByteArrayView(buffer.get(), n));
    }
    ::close(fd);
    return hash.result().toHex();
}

Folder::Folder(QString root) : m_root(QDir::cleanPath(std::move(root))) {}

std::optional<QString> Folder::findRoot(const QString &path) {
    QString current = QDir::cleanPath(path);
    for (;;) {
        if (QFileInfo(current + QStringLiteral("/.orvu/config")).isFile())
            return current;
        const QString parent = QFileInfo(current).path();
        if (parent == current || current.isEmpty())
            return std::nullopt;
        current = parent;
    }
}

std::optional<FolderConfig> Folder::readConfig() const {
    const QJsonDocument document =
        QJsonDocument::fromJson(readAll(m_root + QStringLiteral("/.orvu/config")));
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject o = document.object();
    FolderConfig config{o.value(QStringLiteral("repoId")).toString(),
                        o.value(QStringLiteral("slug")).toString(),
                        o.value(QStringLiteral("server")).toString()};
    if (config.repoId.isEmpty())
        return std::nullopt;
    return config;
}

bool Folder::writeConfig(const FolderConfig &config) const {
    if (!QDir().mkpath(m_root + QStringLiteral("/.orvu")))
        return false;
    const QJsonObject o{{QStringLiteral("repoId"), config.repoId},
                        {QStringLiteral("slug"), config.slug},
                        {QStringLiteral("server"), config.server}};
    return writeFileAtomically(m_root + QStringLiteral("/.orvu/config"),
                               QJsonDocument(o).toJson(QJsonDocument::Indented));
}

SyncedState Folder::loadState() const {
    SyncedState state;
    const QByteArray data = readAll(m_root + QStringLiteral("/.orvu/state"));
    forEachLine(data, [&](QByteArrayView line) {
        QByteArrayView f[3];
        QByteArrayView path;
        if (!splitFields(line, 3, f, &path))
            return;
        state.emplace_hint(state.end(), QString::fromUtf8(path),
                           SyncedEntry{f[0].toByteArray(), f[1].toLongLong(), f[2].toLongLong()});
    });
    return state;
}

bool Folder::saveState(const SyncedState &state) const {
    QByteArray data = kStateHeader + '\n';
    data.reserve(static_cast<qsizetype>(state.size()) * 110);
    for (const auto &[path, entry] : state)
        data += entry.sha256 + '\t' + QByteArray::number(entry.size) + '\t' +
                QByteArray::number(entry.version) + '\t' + path.toUtf8() + '\n';
    return QDir().mkpath(m_root + QStringLiteral("/.orvu")) &&
           writeFileAtomically(m_root + QStringLiteral("/.orvu/state"), data);
}

LocalFiles Folder::scan(const std::function<bool(const QString &)> &needsHash) const {
    LocalFiles files;
    Walker{needsHash, &files}.walk(QFile::encodeName(m_root), QString());

    // inode \t size \t mtime \t sha \t path
    const QString cachePath = m_root + QStringLiteral("/.orvu/hash-cache");
    const QByteArray cacheData = readAll(cachePath);
    qsizetype cachedCount = 0;
    qsizetype usedCount = 0;
    forEachLine(cacheData, [&](QByteArrayView line) {
        QByteArrayView f[4];
        QByteArrayView path;
        if (!splitFields(line, 4, f, &path))
            return;
        ++cachedCount;
        const auto it = files.find(QString::fromUtf8(path));
        if (it == files.end() || !it->second.sha256.isEmpty())
            return;
        LocalFile &file = it->second;
        if (file.inode == f[0].toULongLong() && file.size == f[1].toLongLong() &&
            file.mtimeNs == f[2].toLongLong()) {
            file.sha256 = f[3].toByteArray();
            ++usedCount;
        }
    });

    std::vector<std::pair<const QString *, LocalFile *>> pending;
    for (auto &[path, file] : files)
        if (file.sha256.isEmpty())
            pending.emplace_back(&path, &file);
    QtConcurrent::blockingMap(pending, [this](std::pair<const QString *, LocalFile *> &item) {
        if (auto sha = hashFileContent(absolute(*item.first)))
            item.second->sha256 = *sha;
    });
    // A file that vanished or could not be read while hashing is not part of this scan.
    for (auto it = files.begin(); it != files.end();)
        it = it->second.sha256.isEmpty() ? files.erase(it) : std::next(it);

    if (!pending.empty() || cachedCount != usedCount) {
        QByteArray data = kCacheHeader + '\n';
        data.reserve(static_cast<qsizetype>(files.size()) * 130);
        for (const auto &[path, file] : files)
            if (file.sha256 != kUnhashed)
                data += QByteArray::number(file.inode) + '\t' + QByteArray::number(file.size) +
                        '\t' + QByteArray::number(file.mtimeNs) + '\t' + file.sha256 + '\t' +
                        path.toUtf8() + '\n';
        if (QDir().mkpath(m_root + QStringLiteral("/.orvu")))
            writeFileAtomically(cachePath, data); // a lost cache only costs time
    }
    return files;
}

std::optional<LocalFile> Folder::statFile(const QString &relative) const {
    if (!isSafeInside(m_root, relative, false))
        return std::nullopt;
    struct stat info {};
    if (::lstat(QFile::encodeName(absolute(relative)).constData(), &info) != 0 ||
        !S_ISREG(info.st_mode))
        return std::nullopt;
    return LocalFile{
        static_cast<qint64>(info.st_size), mtimeOf(info), static_cast<quint64>(info.st_ino), {}};
}

std::optional<LocalFile> Folder::hashOne(const QString &relative) const {
    auto file = statFile(relative);
    if (!file)
        return std::nullopt;
    auto sha = hashFileContent(absolute(relative));
    if (!sha)
        return std::nullopt;
    file->sha256 = *sha;
    return file;
}

} // namespace orvu::local
