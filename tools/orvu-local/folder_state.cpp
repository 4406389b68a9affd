#include "folder_state.h"

#include "folder_io.h"

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

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace orvu::local {

namespace {

const QByteArray kStateHeader = "orvu-state 1";
const QByteArray kCacheHeader = "orvu-hash-cache 1";
constexpr size_t kReadChunk = 1 << 20;

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

const QString kMetaDirectory = QStringLiteral(".orvu");

// A file of the folder's own `.orvu`, never through a link.
FileContent readMeta(const QString &root, const char *name) {
    const Fd dir = openDirectoryInside(root, kMetaDirectory, false);
    if (!dir.valid())
        return {errno == ENOENT ? ReadStatus::Missing : ReadStatus::Failed, {}};
    return readRegularFileAt(dir.get(), name);
}

bool writeMeta(const QString &root, const char *name, const QByteArray &data) {
    const Fd dir = openDirectoryInside(root, kMetaDirectory, true);
    return dir.valid() && writeFileAtomicallyAt(dir.get(), name, data);
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
    FolderScan *scan;

    void unreadable(const QString &relative) {
        warn(QStringLiteral("Cannot read %1; it is left as it is here and on the server")
                 .arg(relative.isEmpty() ? QStringLiteral(".") : relative));
        scan->unreadable.append(relative);
    }

    // Takes ownership of `fd`, a directory opened without following a link.
    bool walk(int fd, const QString &prefix) {
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            unreadable(prefix);
            return false;
        }
        for (;;) {
            errno = 0;
            const dirent *entry = ::readdir(dir);
            if (!entry) {
                if (errno != 0)
                    unreadable(prefix);
                break;
            }
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
                scan->files.emplace(relative, LocalFile{0, 0, 0, kUnhashed});
                continue;
            }
            if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_REG && entry->d_type != DT_DIR)
                continue; // symbolic links, sockets and devices are neither followed nor synced
            struct stat info {};
            if (::fstatat(::dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)
                    unreadable(relative);
                continue;
            }
            if (S_ISDIR(info.st_mode)) {
                const int child =
                    ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child >= 0)
                    walk(child, relative);
                else if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
                    unreadable(relative); // gone or swapped for something else is no folder
            } else if (S_ISREG(info.st_mode)) {
                scan->files.emplace(relative,
                                    LocalFile{static_cast<qint64>(info.st_size), mtimeOf(info),
                                              static_cast<quint64>(info.st_ino),
                                              needsHash(relative) ? QByteArray() : kUnhashed});
            }
        }
        ::closedir(dir);
        return true;
    }
};

} // namespace

bool isUnder(const QString &path, const QStringList &prefixes) {
    for (const QString &prefix : prefixes)
        if (prefix.isEmpty() || path == prefix ||
            (path.startsWith(prefix) && path.at(prefix.size()) == QLatin1Char('/')))
            return true;
    return false;
}

std::optional<QByteArray> hashFileContent(const Fd &fd) {
    if (!fd.valid())
        return std::nullopt;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // One buffer per thread, left uninitialised: clearing 1 MiB for every small file cost
    // more than hashing it.
    thread_local const std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.get(), kReadChunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        hash.addData(QByteArrayView(buffer.get(), n));
    }
    return hash.result().toHex();
}

Folder::Folder(QString root) : m_root(QDir::cleanPath(std::move(root))) {}

std::optional<QString> Folder::findRoot(const QString &path) {
    QString current = QDir::cleanPath(path);
    for (;;) {
        // A folder reached through a link is never a bound folder: that would let a path
        // inside one folder act on another one elsewhere.
        struct stat info {};
        const bool link =
            ::lstat(QFile::encodeName(current).constData(), &info) == 0 && S_ISLNK(info.st_mode);
        const Fd meta = link ? Fd() : openDirectoryInside(current, kMetaDirectory, false);
        if (meta.valid() && openRegularAt(meta.get(), "config").valid())
            return current;
        const QString parent = QFileInfo(current).path();
        if (parent == current || current.isEmpty())
            return std::nullopt;
        current = parent;
    }
}

std::optional<FolderConfig> Folder::readConfig() const {
    const QJsonDocument document = QJsonDocument::fromJson(readMeta(m_root, "config").data);
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
    const QJsonObject o{{QStringLiteral("repoId"), config.repoId},
                        {QStringLiteral("slug"), config.slug},
                        {QStringLiteral("server"), config.server}};
    return writeMeta(m_root, "config", QJsonDocument(o).toJson(QJsonDocument::Indented));
}

std::optional<SyncedState> Folder::loadState() const {
    SyncedState state;
    const FileContent content = readMeta(m_root, "state");
    if (content.status == ReadStatus::Missing)
        return state;
    if (content.status != ReadStatus::Ok || !content.data.startsWith(kStateHeader + '\n'))
        return std::nullopt;
    forEachLine(content.data, [&](QByteArrayView line) {
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
    return writeMeta(m_root, "state", data);
}

std::optional<FolderScan>
Folder::scan(const std::function<bool(const QString &)> &needsHash) const {
    FolderScan result;
    LocalFiles &files = result.files;
    const int rootFd =
        ::open(QFile::encodeName(m_root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0 || !Walker{needsHash, &result}.walk(rootFd, QString()))
        return std::nullopt;

    // inode \t size \t mtime \t sha \t path
    const QByteArray cacheData = readMeta(m_root, "hash-cache").data;
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

    struct Pending {
        const QString *path;
        LocalFile *file;
        bool unreadable = false;
    };
    std::vector<Pending> pending;
    for (auto &[path, file] : files)
        if (file.sha256.isEmpty())
            pending.push_back({&path, &file});
    // In runs of neighbouring files, so that each run keeps its current folder open.
    std::vector<std::pair<size_t, size_t>> runs;
    const size_t runLength = std::max<size_t>(16, pending.size() / 64);
    for (size_t start = 0; start < pending.size(); start += runLength)
        runs.emplace_back(start, std::min(pending.size(), start + runLength));
    QtConcurrent::blockingMap(runs, [&](const std::pair<size_t, size_t> &run) {
        DirectoryCache directories(m_root);
        for (size_t i = run.first; i < run.second; ++i) {
            Pending &item = pending[i];
            if (auto sha = hashFileContent(directories.openRegular(*item.path)))
                item.file->sha256 = *sha;
            else
                item.unreadable = errno != ENOENT;
        }
    });
    for (const Pending &item : pending)
        if (item.unreadable) {
            warn(QStringLiteral("Cannot read %1; it is left as it is here and on the server")
                     .arg(*item.path));
            result.unreadable.append(*item.path);
        }
    // A file that vanished while hashing is not part of this scan; one that could not be read
    // is listed as unreadable instead.
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
        writeMeta(m_root, "hash-cache", data); // a lost cache only costs time
    }
    return result;
}

std::optional<LocalFile> Folder::hashOne(const QString &relative) const {
    const Fd fd = openRegularInside(m_root, relative);
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0)
        return std::nullopt;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const auto data = orvu::local::readAll(fd.get());
    if (!data)
        return std::nullopt;
    hash.addData(*data);
    return LocalFile{static_cast<qint64>(info.st_size), mtimeOf(info),
                     static_cast<quint64>(info.st_ino), hash.result().toHex()};
}

} // namespace orvu::local
