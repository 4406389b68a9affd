#pragma once

#include "folder_io.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace orvu::local {

// How long a lock stays valid without being renewed: ORVU_LOCAL_LEASE_MS, else a minute.
qint64 leaseTimeMs();

// A lock file in a store that several computers may share (a local disk, NFS, SMB, sshfs).
// Nothing but the file itself is relied on: byte-range and flock locks do not reach other
// computers on most of those. The holder renews the file's time from a small thread while it
// works; a lock not renewed for a lease is stale whoever holds it, so a computer that died or
// went to sleep mid-sync never blocks the others for good. The file holds a token unique to
// this holder, which is checked before every commit: a holder that slept past its lease finds
// the lock taken over and gives up.
class LeaseLock {
public:
    // `renew` touches the open lock file; it is replaceable so a failing renewal can be tried.
    using Renew = std::function<bool(int fd)>;
    explicit LeaseLock(QString path, qint64 leaseMs = leaseTimeMs(), Renew renew = {});
    ~LeaseLock();
    LeaseLock(const LeaseLock &) = delete;
    LeaseLock &operator=(const LeaseLock &) = delete;

    enum class Outcome { Acquired, Busy, Failed };
    // Waits up to `waitMs`. A stale lock is taken over: one not renewed for a lease, one left by
    // a dead run on this computer, or one left without an owner by a run that died making it.
    Outcome acquire(int waitMs);
    // The lock file still holds our token and we renewed it recently enough that nobody can
    // have taken it over for staleness.
    bool isHeld() const;
    // The host name of the holder that kept acquire() waiting; empty when unknown.
    QString holder() const { return m_holder; }
    // Stops renewing and removes the file, only while it is still ours.
    void release();

private:
    void renewLoop();

    QString m_path;
    qint64 m_leaseMs;
    Renew m_renew;
    QByteArray m_token;
    Fd m_fd;
    QString m_holder;
    std::thread m_renewer;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::atomic<qint64> m_renewedAt{0}; // boot-time milliseconds of the last renewal
};

} // namespace orvu::local
