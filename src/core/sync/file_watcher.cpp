#include "core/sync/file_watcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QPointer>
#include <QSet>
#include <QSocketNotifier>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
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

// The inotify instance, shared with arming walks that run on a pool thread: its descriptor is
// closed when the last of them lets go, so a walk never adds watches to a reused number.
struct Instance {
    int fd = -1;
    std::atomic<bool> cancelled{false};
    ~Instance() {
        if (fd >= 0)
            ::close(fd);
    }
};

// Each watched directory is stored as its name below its parent's watch, so renaming a
// directory is one update however many watches lie below it.
struct Node {
    int parent; // -1 for the root
    std::string name;
};

// A directory to watch together with everything below it.
struct ArmRequest {
    std::string path;
    int parent;
    std::string name;
    bool report; // report every entry met: the directory is new to us
};

struct ArmResult {
    std::unordered_map<int, Node> nodes;
    std::vector<std::string> reported;
    bool missed = false;
};

// Runs on a pool thread. The watch of a directory is added before it is listed, so a file
// made in between is either listed or reported by the watch.
ArmResult walk(const std::shared_ptr<Instance> &instance, std::optional<dev_t> leafDevice,
               std::vector<ArmRequest> requests) {
    ArmResult result;
    // Depth first with an explicit stack: a deep tree must not exhaust a pool thread's stack.
    std::vector<ArmRequest> stack(std::make_move_iterator(requests.rbegin()),
                                  std::make_move_iterator(requests.rend()));
    while (!stack.empty() && !instance->cancelled.load(std::memory_order_relaxed)) {
        ArmRequest request = std::move(stack.back());
        stack.pop_back();
        const int wd = inotify_add_watch(instance->fd, request.path.c_str(), kWatchMask);
        if (wd < 0) {
            // A subdirectory that vanished (or was swapped for a link) since it was listed
            // needs no watch: its removal reaches us through its parent.
            if (!(request.parent != -1 && (errno == ENOENT || errno == ENOTDIR)))
                result.missed = true;
            continue;
        }
        result.nodes.insert_or_assign(wd, Node{request.parent, request.name});
        const int dirFd =
            ::open(request.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dirFd < 0)
            continue;
        struct stat st {};
        // A leaf needs no listing unless its files are to be reported. Another device below
        // the root (a mount point) may be a file system whose link counts mean nothing.
        if (!request.report && leafDevice && ::fstat(dirFd, &st) == 0 && st.st_dev == *leafDevice &&
            st.st_nlink == 2) {
            ::close(dirFd);
            continue;
        }
        DIR *dir = ::fdopendir(dirFd);
        if (!dir) {
            ::close(dirFd);
            continue;
        }
        // Read whole and closed before descending: a deep tree never holds one open
        // descriptor per level.
        std::string entryPath = request.path;
        entryPath += '/';
        const std::size_t base = entryPath.size();
        const std::size_t firstChild = stack.size();
        while (const dirent *entry = ::readdir(dir)) {
            if (isDot(entry->d_name))
                continue;
            bool isDirectory = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat entryStat {};
                isDirectory =
                    ::fstatat(::dirfd(dir), entry->d_name, &entryStat, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(entryStat.st_mode);
            }
            entryPath.resize(base);
            entryPath += entry->d_name;
            if (request.report)
                result.reported.push_back(entryPath);
            if (isDirectory)
                stack.push_back(ArmRequest{entryPath, wd, entry->d_name, request.report});
        }
        ::closedir(dir);
        std::reverse(stack.begin() + qsizetype(firstChild), stack.end());
    }
    return result;
}

// Merging a walk's result is done in slices of this many entries, one per turn of the event
// loop, so that a tree of any size never holds up the main thread for long.
constexpr std::size_t kMergeSlice = 4096;

} // namespace

class FileWatcher::Private {
public:
    struct PendingMove {
        uint32_t cookie;
        int wd; // the moved directory's own watch, or -1 when it had none
    };

    // An event as read, kept until no walk is under way: a walk may add the watch it names.
    struct RawEvent {
        int wd;
        uint32_t mask;
        uint32_t cookie;
        std::string name;
    };

    explicit Private(FileWatcher *q) : q(q) {}

    FileWatcher *q;
    std::shared_ptr<Instance> instance;
    int fd = -1;
    bool started = false;
    bool running = false;
    bool armed = false;
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

    // Arming: at most one walk at a time; what is asked meanwhile waits for the next one.
    bool walking = false;
    std::vector<ArmRequest> queuedArms;
    bool resyncQueued = false;
    bool resyncing = false;
    std::deque<RawEvent> deferred;
    std::vector<PendingMove> moves;
    // The result being merged, and how far.
    std::optional<ArmResult> merging;
    std::size_t mergedReports = 0;
    std::unordered_set<int> seen;

    void start();
    void close();

    std::optional<std::string> pathOf(int wd) const;
    int findChild(int parent, const std::string &name) const;
    void requestArm(std::string path, int parent, std::string name, bool report);
    void startWalk();
    void mergeSlice();
    void finishWalk();
    void removeSubtree(int wd);

    void readEvents();
    void processEvents();
    void handle(const RawEvent &event);

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
        armed = true; // there is nothing to walk
        return;
    }
    instance = std::make_shared<Instance>();
    instance->fd = fd;
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, q);
    QObject::connect(notifier, &QSocketNotifier::activated, q, [this] { readEvents(); });

    const std::string root = rootPath.empty() ? std::string("/") : rootPath;
    struct stat rootStat {};
    if (countsSubdirectoryLinks(root.c_str()) && ::stat(root.c_str(), &rootStat) == 0)
        leafDevice = rootStat.st_dev;
    // A root that cannot be watched, even one that has vanished, is reported as missed events,
    // so that its owner is not left unaware.
    requestArm(root, -1, rootPath, false);
    startWalk();
}

void FileWatcher::Private::close() {
    if (timer)
        timer->stop();
    if (notifier)
        notifier->setEnabled(false);
    if (instance) {
        // A walk under way stops early and closes the descriptor when it ends. Closing an
        // instance that holds thousands of watches takes the kernel a while, and so does
        // freeing their names: both are done on a pool thread.
        instance->cancelled = true;
        QThreadPool::globalInstance()->start(
            [held = std::move(instance),
             names = std::make_shared<std::unordered_map<int, Node>>(std::move(nodes))]() mutable {
                names.reset();
                held.reset();
            });
    }
    fd = -1;
    nodes.clear();
    batch.clear();
    inBatch.clear();
    missed = false;
    queuedArms.clear();
    deferred.clear();
    moves.clear();
    merging.reset();
    seen.clear();
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

void FileWatcher::Private::requestArm(std::string path, int parent, std::string name, bool report) {
    queuedArms.push_back(ArmRequest{std::move(path), parent, std::move(name), report});
}

void FileWatcher::Private::startWalk() {
    if (walking || fd < 0 || (queuedArms.empty() && !resyncQueued))
        return;
    walking = true;
    resyncing = std::exchange(resyncQueued, false);
    std::vector<ArmRequest> requests = std::exchange(queuedArms, {});
    if (resyncing) {
        // After an overflow any directory created, moved in or renamed meanwhile may be
        // unknown to us; adding a watch to a watched directory returns its existing
        // descriptor, so walking the tree again repairs names and fills the gaps, and whatever
        // is not met has left the tree.
        const std::string root = rootPath.empty() ? std::string("/") : rootPath;
        requests.insert(requests.begin(), ArmRequest{root, -1, rootPath, false});
    }
    auto *watcher = new QFutureWatcher<ArmResult>(q);
    QObject::connect(watcher, &QFutureWatcher<ArmResult>::finished, q, [this, watcher] {
        watcher->deleteLater();
        if (!running || watcher->isCanceled())
            return;
        merging = watcher->future().takeResult();
        mergedReports = 0;
        if (nodes.empty() && !resyncing)
            std::swap(nodes, merging->nodes); // the first walk: nothing to merge with
        mergeSlice();
    });
    watcher->setFuture(QtConcurrent::run(walk, instance, leafDevice, std::move(requests)));
}

void FileWatcher::Private::mergeSlice() {
    if (!merging)
        return;
    std::size_t budget = kMergeSlice;
    for (auto it = merging->nodes.begin(); it != merging->nodes.end() && budget > 0; --budget) {
        if (resyncing)
            seen.insert(it->first);
        nodes.insert_or_assign(it->first, std::move(it->second));
        it = merging->nodes.erase(it);
    }
    for (; mergedReports < merging->reported.size() && budget > 0; ++mergedReports, --budget)
        record(merging->reported[mergedReports]);
    if (!merging->nodes.empty() || mergedReports < merging->reported.size()) {
        QMetaObject::invokeMethod(
            q, [this] { mergeSlice(); }, Qt::QueuedConnection);
        return;
    }
    finishWalk();
}

void FileWatcher::Private::finishWalk() {
    const bool wasMissed = merging->missed;
    merging.reset();
    if (wasMissed)
        flagMissed();
    if (resyncing) {
        std::vector<int> stale;
        for (const auto &entry : nodes) {
            if (!seen.contains(entry.first))
                stale.push_back(entry.first);
        }
        for (const int wd : stale) {
            inotify_rm_watch(fd, wd);
            nodes.erase(wd);
        }
        seen.clear();
        resyncing = false;
    }
    walking = false;
    if (!armed) {
        armed = true;
        emit q->armed();
    }
    if (running)
        processEvents();
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

void FileWatcher::Private::readEvents() {
    alignas(inotify_event) char buffer[64 * 1024];
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
            deferred.push_back(RawEvent{event->wd, event->mask, event->cookie,
                                        event->len ? std::string(event->name) : std::string()});
        }
    }
    if (overflowed) {
        flagMissed();
        resyncQueued = true;
    }
    processEvents();
}

void FileWatcher::Private::processEvents() {
    // While a walk is under way its watches are not known yet: events wait for it.
    if (walking) {
        return;
    }
    while (!deferred.empty()) {
        handle(deferred.front());
        deferred.pop_front();
    }
    // A directory moved away with no arrival inside the tree has left it; its watches would
    // otherwise go on reporting under paths that no longer exist.
    for (const PendingMove &move : std::exchange(moves, {})) {
        if (move.wd >= 0)
            removeSubtree(move.wd);
    }
    startWalk();
}

void FileWatcher::Private::handle(const RawEvent &event) {
    if (event.mask & IN_IGNORED) {
        nodes.erase(event.wd);
        return;
    }
    const std::optional<std::string> dirPath = pathOf(event.wd);
    if (!dirPath)
        return;
    if (event.name.empty()) {
        // Self events of subdirectories repeat what their parent reports; only the root has
        // no parent to tell about it.
        const auto root = nodes.find(event.wd);
        if (root->second.parent == -1 && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)))
            record(dirPath->empty() ? std::string("/") : *dirPath);
        return;
    }
    if (!(event.mask & kReportedMask))
        return;

    const std::string &name = event.name;
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
        requestArm(path, event.wd, name, true);
    } else if (event.mask & IN_CREATE) {
        // Files may be written into a new directory before its watch exists; the listing
        // reports them.
        requestArm(path, event.wd, name, true);
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

bool FileWatcher::isArmed() const {
    return d->armed;
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
