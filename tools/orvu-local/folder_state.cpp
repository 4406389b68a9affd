#include "folder_state.h"

#include "folder_io.h"
#include "hashing.h"

#include "json_output.h"
#include "paths.h"
#include "store.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QtConcurrent/QtConcurrentMap>
#include <QtConcurrent/QtConcurrentRun>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
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

// What a walk found, in ascending path order.
struct WalkResult {
    std::vector<std::pair<QString, LocalFile>> files;
    QStringList unreadable;
};

void noteUnreadable(WalkResult *result, const QString &relative) {
    warn(QStringLiteral("Cannot read %1; it is left as it is here and on the server")
             .arg(relative.isEmpty() ? QStringLiteral(".") : relative));
    result->unreadable.append(relative);
}

// The entries of one folder, listed and then sorted as the paths inside them sort.
class Listing {
public:
    struct Entry {
        qsizetype offset = 0; // of the NUL-terminated name in `names`
        qsizetype length = 0;
        bool isDirectory = false;
        bool ascii = true;
        qint64 size = 0;
        qint64 mtimeNs = 0;
        quint64 inode = 0;
    };

    // Takes ownership of `fd`, a directory opened without following a link.
    Listing(int fd, const QString &prefix, bool statFiles, WalkResult *out)
        : m_dir(::fdopendir(fd)), m_prefix(prefix), m_out(out) {
        if (!m_dir) {
            ::close(fd);
            unreadable(prefix);
            return;
        }
        list(statFiles);
    }
    ~Listing() {
        if (m_dir)
            ::closedir(m_dir);
    }
    Listing(const Listing &) = delete;
    Listing &operator=(const Listing &) = delete;

    bool valid() const { return m_dir != nullptr; }
    const std::vector<Entry> &entries() const { return m_entries; }
    const char *name(const Entry &entry) const { return m_names.data() + entry.offset; }
    QString path(const Entry &entry) const {
        QString path;
        path.reserve(m_prefix.size() + 1 + entry.length);
        if (!m_prefix.isEmpty())
            path.append(m_prefix).append(QLatin1Char('/'));
        const QByteArrayView raw(name(entry), entry.length);
        if (entry.ascii)
            path.append(QLatin1StringView(raw));
        else
            path.append(QString::fromUtf8(raw)); // checked while listing
        return path;
    }
    int fd() const { return ::dirfd(m_dir); }

    void unreadable(const QString &relative) { noteUnreadable(m_out, relative); }

    // Files go to the result, each folder to `visit` with its path, all in path order.
    template <typename Visit> void forEachInOrder(Visit visit) {
        for (const Entry &entry : m_entries) {
            if (entry.isDirectory)
                visit(entry, path(entry));
            else
                m_out->files.emplace_back(
                    path(entry), LocalFile{entry.size, entry.mtimeNs, entry.inode, QByteArray()});
        }
    }

private:
    void list(bool statFiles) {
        for (;;) {
            errno = 0;
            const dirent *entry = ::readdir(m_dir);
            if (!entry) {
                if (errno != 0)
                    unreadable(m_prefix);
                break;
            }
            const char *name = entry->d_name;
            if (name[0] == '.')
                continue; // hidden, and "." and ".."
            if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_REG && entry->d_type != DT_DIR)
                continue; // symbolic links, sockets and devices are neither followed nor synced
            Entry item;
            item.length = static_cast<qsizetype>(std::strlen(name));
            for (qsizetype i = 0; i < item.length && item.ascii; ++i) {
                const auto c = static_cast<unsigned char>(name[i]);
                item.ascii = c >= 0x20 && c < 0x80;
            }
            if (!item.ascii && !decodeName(name)) {
                warn(QStringLiteral("Skipping a file name that is not valid UTF-8 text in %1")
                         .arg(m_prefix.isEmpty() ? QStringLiteral(".") : m_prefix));
                continue;
            }
            item.isDirectory = entry->d_type == DT_DIR;
            // A regular file with nothing to compare it with needs no stat: it is sent as it
            // is read then, and stat calls are most of the time before a first push starts.
            if (entry->d_type == DT_UNKNOWN || (entry->d_type == DT_REG && statFiles)) {
                struct stat info {};
                if (::fstatat(::dirfd(m_dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                    if (errno != ENOENT) {
                        const QString relative = QString::fromUtf8(name);
                        unreadable(m_prefix.isEmpty() ? relative
                                                      : m_prefix + QLatin1Char('/') + relative);
                    }
                    continue;
                }
                if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode))
                    continue;
                item.isDirectory = S_ISDIR(info.st_mode);
                item.size = static_cast<qint64>(info.st_size);
                item.mtimeNs = mtimeOf(info);
                item.inode = static_cast<quint64>(info.st_ino);
            }
            item.offset = static_cast<qsizetype>(m_names.size());
            m_names.append(name, static_cast<size_t>(item.length) + 1);
            m_entries.push_back(item);
        }
        // A folder sorts as its name with "/" after it, as the paths inside it do; by bytes,
        // which is the paths' order unless characters beyond U+FFFF meet U+E000..U+FFFF
        // (then the map of files merely takes longer to fill).
        const auto unit = [this](const Entry &entry, qsizetype i) -> int {
            if (i < entry.length)
                return static_cast<unsigned char>(name(entry)[i]);
            return i == entry.length && entry.isDirectory ? '/' : -1;
        };
        std::sort(m_entries.begin(), m_entries.end(), [&](const Entry &a, const Entry &b) {
            const qsizetype common = std::min(a.length, b.length);
            const int order = std::memcmp(name(a), name(b), static_cast<size_t>(common));
            return order != 0 ? order < 0 : unit(a, common) < unit(b, common);
        });
    }

    DIR *m_dir;
    QString m_prefix;
    WalkResult *m_out;
    std::string m_names;
    std::vector<Entry> m_entries;
};

void walkTree(int fd, const QString &prefix, bool statFiles, WalkResult *out) {
    Listing listing(fd, prefix, statFiles, out);
    if (!listing.valid())
        return;
    listing.forEachInOrder([&](const Listing::Entry &entry, const QString &relative) {
        const int child = ::openat(listing.fd(), listing.name(entry),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0)
            walkTree(child, relative, statFiles, out);
        else if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
            listing.unreadable(relative); // gone or swapped for something else is no folder
    });
}

// Walks the folder, the top-level folders side by side; nothing when it cannot be listed.
std::optional<FolderScan> walkFolder(const QString &root, bool statFiles) {
    const int rootFd =
        ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return std::nullopt;
    WalkResult top;
    Listing listing(rootFd, QString(), statFiles, &top);
    if (!listing.valid())
        return std::nullopt;
    struct Subtree {
        const Listing::Entry *entry;
        QString path;
        size_t filesBefore; // top-level files that sort before it
        WalkResult result;
    };
    std::vector<Subtree> subtrees;
    listing.forEachInOrder([&](const Listing::Entry &entry, const QString &relative) {
        subtrees.push_back({&entry, relative, top.files.size(), {}});
    });
    QtConcurrent::blockingMap(subtrees, [&](Subtree &subtree) {
        const int child = ::openat(listing.fd(), listing.name(*subtree.entry),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0)
            walkTree(child, subtree.path, statFiles, &subtree.result);
        else if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
            noteUnreadable(&subtree.result, subtree.path);
    });
    // The top level's files and the subtrees, each in order, in the order of the listing.
    FolderScan scan;
    scan.unreadable = std::move(top.unreadable);
    size_t next = 0;
    const auto topFilesUpTo = [&](size_t end) {
        for (; next < end; ++next)
            scan.files.emplace_hint(scan.files.end(), std::move(top.files[next].first),
                                    top.files[next].second);
    };
    for (Subtree &subtree : subtrees) {
        topFilesUpTo(subtree.filesBefore);
        for (auto &[path, local] : subtree.result.files)
            scan.files.emplace_hint(scan.files.end(), std::move(path), local);
        scan.unreadable += subtree.result.unreadable;
    }
    topFilesUpTo(top.files.size());
    return scan;
}

// The hash cache: `hash-cache` holds "inode \t size \t mtime-ns \t sha256 \t path" lines sorted
// by path after a header; `hash-cache.log` holds lines of the same form added since it was
// last written whole, the later line of a path winning. What a scan learns is appended to the
// log, so that one touched file costs one line; the whole cache is written again only once
// enough of it is out of date. Every line is checked against the file's current stat before
// it is used, so a stale, torn or foreign line only ever costs a read of the file.
const char *const kCacheFile = "hash-cache";
const char *const kCacheLogFile = "hash-cache.log";

struct CachedLine {
    QByteArrayView path;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 mtimeNs = 0;
    QByteArrayView sha;
};

bool isLowerHex(QByteArrayView text) {
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

std::optional<qint64> parseNumber(QByteArrayView text) {
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok && value >= 0 ? std::optional(value) : std::nullopt;
}

struct HashCache {
    QByteArray base;
    QByteArray log;
    std::vector<CachedLine> baseLines; // sorted by path when written by us
    std::vector<CachedLine> logLines;
    qsizetype rejected = 0; // lines that were not usable at all
    bool baseReadable = false;

    // Only complete lines count: the last line of a log cut short by a crash is left out.
    void parse(const QByteArray &data, bool header, std::vector<CachedLine> *lines) {
        qsizetype start = header ? data.indexOf('\n') + 1 : 0;
        if (header && start == 0)
            return;
        while (start < data.size()) {
            const qsizetype end = data.indexOf('\n', start);
            if (end < 0)
                break;
            const QByteArrayView line(data.constData() + start, end - start);
            start = end + 1;
            QByteArrayView f[4];
            QByteArrayView path;
            const auto inode = splitFields(line, 4, f, &path) ? parseNumber(f[0]) : std::nullopt;
            const auto size = inode ? parseNumber(f[1]) : std::nullopt;
            const auto mtime = size ? parseNumber(f[2]) : std::nullopt;
            if (!mtime || f[3].size() != 64 || !isLowerHex(f[3]) || path.isEmpty()) {
                ++rejected;
                continue;
            }
            lines->push_back({path, static_cast<quint64>(*inode), *size, *mtime, f[3]});
        }
    }

    static HashCache read(const QString &root) {
        HashCache cache;
        FileContent base = readMeta(root, kCacheFile);
        cache.baseReadable =
            base.status == ReadStatus::Ok && base.data.startsWith(kCacheHeader + '\n');
        if (cache.baseReadable)
            cache.base = std::move(base.data);
        cache.log = readMeta(root, kCacheLogFile).data;
        cache.parse(cache.base, true, &cache.baseLines);
        cache.parse(cache.log, false, &cache.logLines);
        return cache;
    }
};

// -1, 0 or 1 as `path` sorts before, with or after the cached UTF-8 `raw`.
int comparePath(const QString &path, QByteArrayView raw) {
    bool ascii = true;
    for (const char c : raw)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii)
        return QStringView(path).compare(QLatin1StringView(raw));
    return QStringView(path).compare(QString::fromUtf8(raw));
}

bool matches(const LocalFile &file, const CachedLine &line) {
    return file.inode == line.inode && file.size == line.size && file.mtimeNs == line.mtimeNs;
}

QByteArray cacheLine(const QString &path, const LocalFile &file) {
    return QByteArray::number(file.inode) + '\t' + QByteArray::number(file.size) + '\t' +
           QByteArray::number(file.mtimeNs) + '\t' + file.sha256 + '\t' + path.toUtf8() + '\n';
}

// Appends whole lines to the log in one write, after a line break if a run that died left
// the last line unfinished.
void appendToLog(const QString &root, QByteArray lines) {
    const Fd dir = openDirectoryInside(root, kMetaDirectory, true);
    if (!dir.valid())
        return;
    const Fd log(::openat(dir.get(), kCacheLogFile,
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    struct stat info {};
    if (!log.valid() || ::fstat(log.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return;
    char last = '\n';
    if (info.st_size > 0 && ::pread(log.get(), &last, 1, info.st_size - 1) != 1)
        return;
    if (last != '\n')
        lines.prepend('\n');
    qsizetype written = 0;
    while (written < lines.size()) {
        const ssize_t n = ::write(log.get(), lines.constData() + written,
                                  static_cast<size_t>(lines.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // a lost line only costs a read of its file next time
        written += n;
    }
}

qint64 realtimeNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A file modified this shortly before its content was read may be written again within the
// same tick of the file system's clock without its stat changing; its hash is not kept.
constexpr qint64 kSettledNs = 2000000000;

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
    Sha256 hash;
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
        hash.add(QByteArrayView(buffer.get(), n));
    }
    return hash.hex();
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

std::optional<FolderScan> Folder::scan(const SyncedState &state,
                                       const std::map<QString, ManifestEntry> &manifest) const {
    return scan([&] { return &state; }, !state.empty() || !manifest.empty(), manifest);
}

std::pair<std::optional<SyncedState>, std::optional<FolderScan>>
Folder::loadStateAndScan(const std::map<QString, ManifestEntry> &manifest) const {
    // Whether the state lists anything is seen from its size; its lines are read meanwhile.
    struct stat info {};
    const Fd meta = openDirectoryInside(m_root, kMetaDirectory, false);
    const bool stateListsFiles = meta.valid() && ::fstatat(meta.get(), "state", &info, 0) == 0 &&
                                 info.st_size > static_cast<qint64>(kStateHeader.size()) + 1;
    QFuture<std::optional<SyncedState>> loading = QtConcurrent::run([this] { return loadState(); });
    std::optional<SyncedState> state;
    auto scanned = scan(
        [&]() -> const SyncedState * {
            state = loading.result();
            return state ? &*state : nullptr;
        },
        stateListsFiles || !manifest.empty(), manifest);
    if (!state)
        state = loading.result();
    return {std::move(state), state ? std::move(scanned) : std::nullopt};
}

std::optional<FolderScan> Folder::scan(const std::function<const SyncedState *()> &stateWhenWalked,
                                       bool statFiles,
                                       const std::map<QString, ManifestEntry> &manifest) const {
    const qint64 startedNs = realtimeNs();
    // The cache is read and parsed while the folder is walked.
    QFuture<HashCache> reading = QtConcurrent::run(&HashCache::read, m_root);
    auto walked = walkFolder(m_root, statFiles);
    const HashCache cache = reading.result();
    const SyncedState *known = stateWhenWalked();
    if (!walked || !known)
        return std::nullopt;
    const SyncedState &state = *known;
    FolderScan result = std::move(*walked);
    LocalFiles &files = result.files;

    // All three are sorted by path: one pass marks what has nothing to compare with.
    auto s = state.begin();
    auto m = manifest.begin();
    for (auto &[path, file] : files) {
        while (s != state.end() && s->first < path)
            ++s;
        while (m != manifest.end() && m->first < path)
            ++m;
        if ((s == state.end() || s->first != path) && (m == manifest.end() || m->first != path))
            file.sha256 = kUnhashed;
    }

    // The base is sorted as the files are: merged in one pass. The log, short, is looked up.
    qsizetype used = 0;
    auto f = files.begin();
    for (const CachedLine &line : cache.baseLines) {
        int order = 1;
        while (f != files.end() && (order = comparePath(f->first, line.path)) < 0)
            ++f;
        if (f == files.end())
            break;
        if (order == 0 && f->second.sha256.isEmpty() && matches(f->second, line)) {
            f->second.sha256 = line.sha.toByteArray();
            ++used;
        }
    }
    for (const CachedLine &line : cache.logLines) {
        const auto it = files.find(QString::fromUtf8(line.path));
        if (it != files.end() && it->second.sha256 != kUnhashed && matches(it->second, line)) {
            used += it->second.sha256.isEmpty() ? 1 : 0;
            it->second.sha256 = line.sha.toByteArray();
        }
    }

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
    QByteArray learnt;
    qsizetype learntCount = 0;
    for (const Pending &item : pending) {
        if (item.unreadable) {
            warn(QStringLiteral("Cannot read %1; it is left as it is here and on the server")
                     .arg(*item.path));
            result.unreadable.append(*item.path);
        } else if (!item.file->sha256.isEmpty() && item.file->mtimeNs <= startedNs - kSettledNs) {
            learnt += cacheLine(*item.path, *item.file);
            ++learntCount;
        }
    }
    // A file that vanished while hashing is not part of this scan; one that could not be read
    // is listed as unreadable instead.
    for (auto it = files.begin(); it != files.end();)
        it = it->second.sha256.isEmpty() ? files.erase(it) : std::next(it);

    // Written whole again once the lines out of date (files gone or changed, lines replaced
    // by later ones) and those about to be added are many next to the folder's files.
    const qsizetype lines = static_cast<qsizetype>(cache.baseLines.size() + cache.logLines.size());
    const qsizetype outdated = lines - used + cache.rejected + learntCount;
    if (!cache.baseReadable ? !files.empty() && (learntCount > 0 || used > 0)
                            : outdated > 1000 + static_cast<qsizetype>(files.size()) / 8) {
        QByteArray data = kCacheHeader + '\n';
        data.reserve(static_cast<qsizetype>(files.size()) * 130);
        for (const auto &[path, file] : files)
            if (file.sha256 != kUnhashed && file.mtimeNs <= startedNs - kSettledNs)
                data += cacheLine(path, file);
        // The log goes after the whole cache is in place; the other order could lose lines
        // that the old cache did not hold. A lost cache only costs time.
        if (writeMeta(m_root, kCacheFile, data)) {
            const Fd dir = openDirectoryInside(m_root, kMetaDirectory, false);
            if (dir.valid())
                ::unlinkat(dir.get(), kCacheLogFile, 0);
        }
    } else if (learntCount > 0) {
        appendToLog(m_root, std::move(learnt));
    }
    return result;
}

std::optional<LocalFile> Folder::hashOne(const QString &relative) const {
    const Fd fd = openRegularInside(m_root, relative);
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0)
        return std::nullopt;
    auto sha = hashFileContent(fd);
    if (!sha)
        return std::nullopt;
    return LocalFile{static_cast<qint64>(info.st_size), mtimeOf(info),
                     static_cast<quint64>(info.st_ino), std::move(*sha)};
}

} // namespace orvu::local
