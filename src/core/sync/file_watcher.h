#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace orvu {

// Watches one folder tree and hands batches of changed file paths (absolute) to a callback on
// the main thread, about one second after the first change of a batch. A second callback
// tells the owner that events may have been missed (the kernel's queue overflowed, or a
// directory could not be watched), so it can rescan instead.
//
// Made with std::make_shared. A started watcher keeps itself alive until stop(), even when
// its owner lets go of it; stop() is idempotent and no callback runs after it.
class FileWatcher : public QObject, public std::enable_shared_from_this<FileWatcher> {
    Q_OBJECT
public:
    using Callback = std::function<void(const QStringList &paths)>;
    using MissedEventsCallback = std::function<void()>;

    FileWatcher(QString path, Callback callback, MissedEventsCallback onMissedEvents = {});
    ~FileWatcher() override;

    const QString &path() const { return m_path; }
    bool isRunning() const;
    // The first walk of the tree has ended: every directory that existed then is watched.
    // Until then, changes in directories not yet reached may go unreported.
    bool isArmed() const;

    // Called on the main thread, at most once per watcher.
    void start();
    // start() returns at once; the tree is walked and its directories watched on a pool
    // thread. Events that arrive meanwhile are held and reported once the walk has ended.
    void stop();

signals:
    // isArmed() turned true.
    void armed();

private:
    class Private;

    QString m_path;
    Callback m_callback;
    MissedEventsCallback m_onMissedEvents;
    std::unique_ptr<Private> d;
    std::shared_ptr<FileWatcher> m_self; // set while running
};

} // namespace orvu
