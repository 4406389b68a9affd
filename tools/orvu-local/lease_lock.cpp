#include "lease_lock.h"

#include <QDateTime>
#include <QFile>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace orvu::local {

namespace {

const QByteArray kLockHeader = "orvu-lease 1";
// A run writes its lock file right after creating it: one that stays without an owner this
// long was left by a run that died in between.
constexpr qint64 kOwnerlessMs = 200;
constexpr unsigned long kPollMs = 50;

// Time since boot, counting suspended time too: a laptop that slept has not renewed anything.
qint64 bootMs() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct Owner {
    QByteArray token;
    QString host;
    QByteArray machine;
    QByteArray boot;
    qint64 pid = 0;
};

QByteArray describe(const QByteArray &token) {
    return kLockHeader + '\n' + token + '\n' + QSysInfo::machineHostName().toUtf8() + '\n' +
           QSysInfo::machineUniqueId() + '\n' + QSysInfo::bootUniqueId() + '\n' +
           QByteArray::number(qint64(::getpid())) + '\n';
}

std::optional<Owner> ownerOf(const QByteArray &content) {
    const QList<QByteArray> lines = content.split('\n');
    if (lines.size() != 7 || lines[0] != kLockHeader || lines[1].isEmpty() || !lines[6].isEmpty())
        return std::nullopt;
    bool ok = false;
    const qint64 pid = lines[5].toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return Owner{lines[1], QString::fromUtf8(lines[2]), lines[3], lines[4], pid};
}

bool isDeadRunHere(const Owner &owner) {
    return owner.machine == QSysInfo::machineUniqueId() && owner.boot == QSysInfo::bootUniqueId() &&
           owner.host == QSysInfo::machineHostName() && owner.pid > 0 &&
           ::kill(static_cast<pid_t>(owner.pid), 0) != 0 && errno == ESRCH;
}

struct Seen {
    QByteArray content;
    qint64 mtimeMs = 0;
};

std::optional<Seen> look(const QString &path) {
    const Fd fd = openRegular(path, false);
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0)
        return std::nullopt;
    const auto content = readAll(fd.get());
    if (!content)
        return std::nullopt;
    return Seen{*content, qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000};
}

// Removes the lock file only if it still holds `expected`. Moving it aside first makes the
// check and the removal one step: a lock made by someone else meanwhile is put back.
void removeIf(const QString &path, const QByteArray &expected, const QByteArray &token) {
    const QByteArray from = QFile::encodeName(path);
    const QByteArray aside = from + ".gone-" + token;
    if (::rename(from.constData(), aside.constData()) != 0)
        return;
    const FileContent moved = readRegularFile(QFile::decodeName(aside));
    if (moved.status != ReadStatus::Ok || moved.data != expected)
        (void)::link(aside.constData(), from.constData()); // fails if yet another one is there
    ::unlink(aside.constData());
}

} // namespace

qint64 leaseTimeMs() {
    bool ok = false;
    const qint64 configured = qEnvironmentVariable("ORVU_LOCAL_LEASE_MS").toLongLong(&ok);
    return ok && configured > 0 ? configured : 60000;
}

LeaseLock::LeaseLock(QString path, qint64 leaseMs, Renew renew)
    : m_path(std::move(path)), m_leaseMs(leaseMs), m_renew(std::move(renew)) {
    if (!m_renew)
        m_renew = [](int fd) { return ::futimens(fd, nullptr) == 0; };
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    m_token = QByteArray(reinterpret_cast<const char *>(words), sizeof(words)).toHex();
}

LeaseLock::~LeaseLock() {
    release();
}

LeaseLock::Outcome LeaseLock::acquire(int waitMs) {
    if (m_path.isEmpty())
        return Outcome::Failed;
    const QByteArray name = QFile::encodeName(m_path);
    const QByteArray content = describe(m_token);
    const qint64 started = bootMs();
    Seen seen;
    qint64 unchangedSince = started;
    for (;;) {
        const int fd =
            ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            m_fd = Fd(fd);
            if (::write(fd, content.constData(), size_t(content.size())) != content.size()) {
                ::unlink(name.constData());
                m_fd = Fd();
                return Outcome::Failed;
            }
            m_renewedAt = bootMs();
            m_stopping = false;
            m_renewer = std::thread([this] { renewLoop(); });
            return Outcome::Acquired;
        }
        if (errno != EEXIST)
            return Outcome::Failed;
        const auto now = look(m_path);
        if (!now) {
            if (errno == ENOENT)
                continue; // released meanwhile
            return Outcome::Failed;
        }
        if (now->content != seen.content || now->mtimeMs != seen.mtimeMs) {
            seen = *now;
            unchangedSince = bootMs();
        }
        const auto owner = ownerOf(seen.content);
        m_holder = owner ? owner->host : QString();
        const qint64 unchangedMs = bootMs() - unchangedSince;
        // Stale by the file's own time, or, should the clocks of the computers disagree, by
        // having watched it go unrenewed for a whole lease.
        const bool stale =
            !owner ? unchangedMs > kOwnerlessMs
                   : isDeadRunHere(*owner) ||
                         QDateTime::currentMSecsSinceEpoch() - seen.mtimeMs > m_leaseMs ||
                         unchangedMs > m_leaseMs;
        if (stale) {
            removeIf(m_path, seen.content, m_token);
            continue;
        }
        if (bootMs() - started >= waitMs)
            return Outcome::Busy;
        QThread::msleep(kPollMs);
    }
}

bool LeaseLock::isHeld() const {
    // Renewed within half a lease: nobody can have found it stale yet.
    if (!m_fd.valid() || bootMs() - m_renewedAt > m_leaseMs / 2)
        return false;
    const auto now = look(m_path);
    const auto owner = now ? ownerOf(now->content) : std::nullopt;
    return owner && owner->token == m_token;
}

void LeaseLock::release() {
    if (!m_fd.valid())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_renewer.joinable())
        m_renewer.join();
    removeIf(m_path, describe(m_token), m_token);
    m_fd = Fd();
}

void LeaseLock::renewLoop() {
    const auto interval = std::chrono::milliseconds(std::max<qint64>(m_leaseMs / 6, 10));
    std::unique_lock lock(m_mutex);
    while (!m_wake.wait_for(lock, interval, [this] { return m_stopping; }))
        if (m_renew(m_fd.get()))
            m_renewedAt = bootMs();
}

} // namespace orvu::local
