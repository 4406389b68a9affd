#include "core/sync/file_watcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <optional>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace orvu {

namespace {

constexpr std::chrono::milliseconds kLatency{1000};

// Directory watches only: file events arrive through their parent's watch, which keeps the
// number of watches (a per-user kernel resource) at one per directory.
constexpr uint32_t kWatchMask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE |
                                IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

constexpr uint32_t kReportedMask =
    IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

// File systems on which a directory's link count is two plus its number of subdirectories.
// Elsewhere (btrfs, network and FUSE file systems) the count says nothing and is not used.
bool countsSubdirectoryLinks(const char *path) {
    struct statfs fs {};
    if (::statfs(path, &fs) != 0)
        return false;
    switch (fs.f_type) {
    case EXT4_SUPER_MAGIC: // ext2 and ext3 too
    case XFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
        return true;
    default:
        return false;
    }
}

bool isDot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

} // namespace

class FileWatcher::Private {
public:
    // Each watched directory is stored as its name below its parent's watch, so renaming a
    // directory is one update however many watches lie below it.
    struct Node {
        int parent; // -1 for the root
        std::string name;
    };

    struct PendingMove {
        uint32_t cookie;
        int wd; // the moved directory's own watch, or -1 when it had none
    };

    explicit Private(FileWatcher *q) : q(q) {}

    FileWatcher *q;
    int fd = -1;
    bool started = false;
    bool running = false;
    std::string rootPath; // absolute, without a trailing slash ("" for "/")
    // Set when directories on the root's device can be recognised as leaves by their link
    // count; most directories of a tree are leaves, and not listing them halves arming time.
    std::optional<dev_t> leafDevice;
    std::unordered_map<int, Node> nodes;
    QSocketNotifier *notifier = nullptr;
    QTimer *timer = nullptr;
    QStringList batch;
    QSet<QString> inBatch;
    bool missed = false;

    void start();
    void close();

    std::optional<std::string> pathOf(int wd) const;
    int findChild(int parent, const std::string &name) const;
    int addWatch(const std::string &path, int parent, std::string name);
    void arm(const std::string &dirPath, int wd, bool report, std::unordered_set<int> *seen);
    void armRoot(std::unordered_set<int> *seen);
    void removeSubtree(int wd);
    void resync();

    void readEvents();
    void handle(const inotify_event &event, std::vector<PendingMove> &moves);

    void record(const std::string &path);
    void flagMissed();
    void deliver();
};

void FileWatcher::Private::start() {
    const QString absolute = QDir::cleanPath(QFileInfo(q->m_path).absoluteFilePath());
    rootPath = QFile::encodeName(absolute).toStdString();
    if (rootPath == "/")
        rootPath.clear();

    timer = new QTimer(q);
    timer->setSingleShot(true);
    timer->setInterval(kLatency);
    QObject::connect(timer, &QTimer::timeout, q, [this] { deliver(); });

    fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        // Out of inotify instances: nothing below the folder will be noticed.
        flagMissed();
        return;
    }
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, q);
    QObject::connect(notifier, &QSocketNotifier::activated, q, [this] { readEvents(); });

    const std::string root = rootPath.empty() ? std::string("/") : rootPath;
    struct stat rootStat {};
    if (countsSubdirectoryLinks(root.c_str()) && ::stat(root.c_str(), &rootStat) == 0)
        leafDevice = rootStat.st_dev;
    armRoot(nullptr);
}

void FileWatcher::Private::close() {
    if (timer)
        timer->stop();
    if (notifier)
        notifier->setEnabled(false);
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    nodes.clear();
    batch.clear();
    inBatch.clear();
    missed = false;
}

std::optional<std::string> FileWatcher::Private::pathOf(int wd) const {
    std::vector<const Node *> chain;
    for (int current = wd; current != -1;) {
        const auto it = nodes.find(current);
        // A missing ancestor means the directory left the tree; a chain longer than the tree
        // would be a cycle, which must never hang the main thread.
        if (it == nodes.end() || chain.size() > nodes.size())
            return std::nullopt;
        chain.push_back(&it->second);
        current = it->second.parent;
    }
    std::string path = chain.back()->name;
    for (auto it = chain.rbegin() + 1; it != chain.rend(); ++it) {
        path += '/';
        path += (*it)->name;
    }
    return path;
}

int FileWatcher::Private::findChild(int parent, const std::string &name) const {
    for (const auto &[wd, node] : nodes) {
        if (node.parent == parent && node.name == name)
            return wd;
    }
    return -1;
}

int FileWatcher::Private::addWatch(const std::string &path, int parent, std::string name) {
    const int wd = inotify_add_watch(fd, path.c_str(), kWatchMask);
    if (wd < 0) {
        // A subdirectory that vanished (or was swapped for a link) since it was listed needs
        // no watch: its removal reaches us through its parent.
        if (!(parent != -1 && (errno == ENOENT || errno == ENOTDIR)))
            flagMissed();
        return -1;
    }
    nodes[wd] = Node{parent, std::move(name)};
    return wd;
}

void FileWatcher::Private::arm(const std::string &dirPath, int wd, bool report,
                               std::unordered_set<int> *seen) {
    if (seen)
        seen->insert(wd);
    const int dirFd = ::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return;
    struct stat st {};
    // A leaf needs no listing unless its files are to be reported. Another device below the
    // root (a mount point) may be a file system whose link counts mean nothing.
    if (!report && leafDevice && ::fstat(dirFd, &st) == 0 && st.st_dev == *leafDevice &&
        st.st_nlink == 2) {
        ::close(dirFd);
        return;
    }
    DIR *dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    // The listing is read whole and closed before descending, so a deep tree never holds one
    // open descriptor per level.
    std::vector<std::string> subdirectories;
    std::string entryPath = dirPath;
    const std::size_t base = entryPath.size() + 1;
    entryPath += '/';
    while (const dirent *entry = ::readdir(dir)) {
        if (isDot(entry->d_name))
            continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            isDirectory = ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISDIR(st.st_mode);
        }
        if (report) {
            entryPath.resize(base);
            entryPath += entry->d_name;
            record(entryPath);
        }
        if (isDirectory)
            subdirectories.emplace_back(entry->d_name);
    }
    ::closedir(dir);

    for (std::string &name : subdirectories) {
        entryPath.resize(base);
        entryPath += name;
        const int child = addWatch(entryPath, wd, std::move(name));
        if (child >= 0)
            arm(entryPath, child, report, seen);
    }
}

// A root that cannot be watched, even one that has vanished, is flagged as missed events by
// addWatch, so that its owner is not left unaware.
void FileWatcher::Private::armRoot(std::unordered_set<int> *seen) {
    const std::string root = rootPath.empty() ? std::string("/") : rootPath;
    const int rootWd = addWatch(root, -1, rootPath);
    if (rootWd >= 0)
        arm(root, rootWd, false, seen);
}

void FileWatcher::Private::removeSubtree(int wd) {
    std::vector<int> doomed;
    for (const auto &entry : nodes) {
        for (int current = entry.first, hops = 0; current != -1 && hops <= int(nodes.size());
             ++hops) {
            if (current == wd) {
                doomed.push_back(entry.first);
                break;
            }
            const auto it = nodes.find(current);
            if (it == nodes.end())
                break;
            current = it->second.parent;
        }
    }
    for (const int doomedWd : doomed) {
        inotify_rm_watch(fd, doomedWd);
        nodes.erase(doomedWd);
    }
}

void FileWatcher::Private::resync() {
    // After an overflow any directory created, moved in or renamed meanwhile may be unknown to
    // us; adding a watch to a watched directory returns its existing descriptor, so walking the
    // tree again repairs names and fills the gaps, and whatever was not met has left the tree.
    std::unordered_set<int> seen;
    armRoot(&seen);
    std::vector<int> stale;
    for (const auto &entry : nodes) {
        if (!seen.contains(entry.first))
            stale.push_back(entry.first);
    }
    for (const int wd : stale) {
        inotify_rm_watch(fd, wd);
        nodes.erase(wd);
    }
}

void FileWatcher::Private::readEvents() {
    alignas(inotify_event) char buffer[64 * 1024];
    std::vector<PendingMove> moves;
    bool overflowed = false;
    while (fd >= 0) {
        const ssize_t length = ::read(fd, buffer, sizeof buffer);
        if (length <= 0) {
            if (length < 0 && errno == EINTR)
                continue;
            break; // EAGAIN: drained
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
            offset += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                overflowed = true;
                continue;
            }
            handle(*event, moves);
        }
    }
    // A directory moved away with no arrival inside the tree has left it; its watches would
    // otherwise go on reporting under paths that no longer exist.
    for (const PendingMove &move : moves) {
        if (move.wd >= 0)
            removeSubtree(move.wd);
    }
    if (overflowed) {
        flagMissed();
        resync();
    }
}

void FileWatcher::Private::handle(const inotify_event &event, std::vector<PendingMove> &moves) {
    if (event.mask & IN_IGNORED) {
        nodes.erase(event.wd);
        return;
    }
    const std::optional<std::string> dirPath = pathOf(event.wd);
    if (!dirPath)
        return;
    if (event.len == 0 || event.name[0] == '\0') {
        // Self events of subdirectories repeat what their parent reports; only the root has
        // no parent to tell about it.
        const auto root = nodes.find(event.wd);
        if (root->second.parent == -1 && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)))
            record(dirPath->empty() ? std::string("/") : *dirPath);
        return;
    }
    if (!(event.mask & kReportedMask))
        return;

    const std::string name(event.name);
    const std::string path = *dirPath + '/' + name;
    record(path);
    if (!(event.mask & IN_ISDIR))
        return;

    if (event.mask & IN_MOVED_FROM) {
        moves.push_back(PendingMove{event.cookie, findChild(event.wd, name)});
    } else if (event.mask & IN_MOVED_TO) {
        const auto move = std::find_if(moves.begin(), moves.end(), [&](const PendingMove &m) {
            return m.cookie == event.cookie;
        });
        if (move != moves.end() && move->wd >= 0 && nodes.contains(move->wd)) {
            nodes[move->wd] = Node{event.wd, name};
            moves.erase(move);
            return;
        }
        if (move != moves.end())
            moves.erase(move);
        // Moved in from outside: files in it were never seen by any watch of ours.
        const int wd = addWatch(path, event.wd, name);
        if (wd >= 0)
            arm(path, wd, true, nullptr);
    } else if (event.mask & IN_CREATE) {
        // Files may be written into a new directory before its watch exists; the listing
        // reports them.
        const int wd = addWatch(path, event.wd, name);
        if (wd >= 0)
            arm(path, wd, true, nullptr);
    }
}

void FileWatcher::Private::record(const std::string &path) {
    const QString decoded = QFile::decodeName(QByteArray::fromRawData(path.data(), path.size()));
    if (inBatch.contains(decoded))
        return;
    inBatch.insert(decoded);
    batch.append(decoded);
    if (!timer->isActive())
        timer->start();
}

void FileWatcher::Private::flagMissed() {
    missed = true;
    if (!timer->isActive())
        timer->start();
}

void FileWatcher::Private::deliver() {
    // The callbacks may stop the watcher, dropping what kept it alive, or even destroy it.
    const std::shared_ptr<FileWatcher> keep = q->weak_from_this().lock();
    const QPointer<FileWatcher> alive(q);
    const QStringList paths = std::exchange(batch, {});
    inBatch.clear();
    const bool wasMissed = std::exchange(missed, false);
    if (!paths.isEmpty() && q->m_callback)
        q->m_callback(paths);
    if (!alive || !running)
        return;
    if (wasMissed && q->m_onMissedEvents)
        q->m_onMissedEvents();
}

FileWatcher::FileWatcher(QString path, Callback callback, MissedEventsCallback onMissedEvents)
    : m_path(std::move(path)), m_callback(std::move(callback)),
      m_onMissedEvents(std::move(onMissedEvents)), d(std::make_unique<Private>(this)) {}

FileWatcher::~FileWatcher() {
    d->close();
}

bool FileWatcher::isRunning() const {
    return d->running;
}

void FileWatcher::start() {
    if (d->started)
        return;
    d->started = true;
    d->running = true;
    // Empty when the watcher is not owned by a shared_ptr; its owner then keeps it alive.
    m_self = weak_from_this().lock();
    d->start();
}

void FileWatcher::stop() {
    if (!d->running)
        return;
    d->running = false;
    d->close();
    // Released last: this may be the final reference.
    const std::shared_ptr<FileWatcher> self = std::move(m_self);
}

} // namespace orvu
