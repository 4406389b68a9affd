#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

namespace orvu::test {

// Whether this process has a live child (a tool run still going).
inline bool hasChildProcesses() {
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile children(QStringLiteral("/proc/self/task/%1/children").arg(task));
        if (children.open(QIODevice::ReadOnly) && !children.readAll().trimmed().isEmpty())
            return true;
    }
    return false;
}

// Lets every tool run that is still going finish and be noticed, so that no run outlives the
// test that started it (its coroutine would otherwise stay suspended for good).
inline void waitForToolRunsToEnd(int timeoutMs = 15000) {
    QDeadlineTimer deadline(timeoutMs);
    while (hasChildProcesses() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QDeadlineTimer settle(200);
    while (!settle.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

} // namespace orvu::test
