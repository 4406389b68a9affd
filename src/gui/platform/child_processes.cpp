#include "gui/platform/child_processes.h"

#include <QDir>
#include <QFile>

#include <signal.h>

namespace orvu {

void terminateChildProcesses() {
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile children(QStringLiteral("/proc/self/task/%1/children").arg(task));
        if (!children.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &pid : children.readAll().split(' ')) {
            bool ok = false;
            const int value = pid.trimmed().toInt(&ok);
            if (ok && value > 0)
                ::kill(value, SIGTERM);
        }
    }
}

} // namespace orvu
