// A scripted stand-in for the `orvu` tool. It answers each invocation as the test scripted it
// (see stand_in_tool.h) and records its argument vector and working directory.

#include "stand_in_script.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>

#include <chrono>
#include <thread>

#include <unistd.h>

using namespace orvu::test;

namespace {

bool writeAll(int fd, const char *data, qsizetype size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

void sleepFor(int ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool perform(const Write &write) {
    sleepFor(write.delayMs);
    const int fd = write.channel == Write::Channel::Out ? STDOUT_FILENO : STDERR_FILENO;
    if (write.copies <= 1)
        return writeAll(fd, write.bytes.constData(), write.bytes.size());

    // Generated output goes out in large blocks, so that the reader is what a benchmark times.
    const qsizetype marker = write.bytes.indexOf("{n}");
    const QByteArray head = marker < 0 ? write.bytes : write.bytes.left(marker);
    const QByteArray tail = marker < 0 ? QByteArray() : write.bytes.mid(marker + 3);
    QByteArray block;
    block.reserve(1 << 17);
    for (qint64 n = 1; n <= write.copies; ++n) {
        block.append(head);
        if (marker >= 0) {
            block.append(QByteArray::number(n));
            block.append(tail);
        }
        if (block.size() >= (1 << 16)) {
            if (!writeAll(fd, block.constData(), block.size()))
                return false;
            block.clear();
        }
    }
    return writeAll(fd, block.constData(), block.size());
}

QString scriptDirectory(const char *argv0) {
    // The helper starts the tool through a link in its own temporary directory, so tests that
    // run side by side each find their own script.
    const QString besideProgram = QFileInfo(QString::fromLocal8Bit(argv0)).absolutePath();
    if (QFileInfo::exists(QDir(besideProgram).filePath(script::kScriptFile)))
        return besideProgram;
    return qEnvironmentVariable(script::kDirectoryVariable);
}

} // namespace

int main(int argc, char **argv) {
    Invocation invocation;
    for (int i = 1; i < argc; ++i)
        invocation.arguments.append(QString::fromLocal8Bit(argv[i]));
    invocation.workingDirectory = QDir::currentPath();
    invocation.processId = ::getpid();

    const QString directory = scriptDirectory(argv[0]);
    if (directory.isEmpty()) {
        const char message[] = "stand-in orvu: no script directory\n";
        writeAll(STDERR_FILENO, message, sizeof message - 1);
        return script::kExitUnscripted;
    }

    std::optional<Response> response;
    {
        QLockFile lock(QDir(directory).filePath(script::kLockFile));
        lock.setStaleLockTime(0);
        if (!lock.lock())
            return script::kExitUnscripted;
        script::appendInvocation(directory, invocation);
        QList<script::Rule> rules = script::readRules(directory);
        if (const auto index = script::match(rules, invocation)) {
            response = rules.at(*index).response;
            if (rules.at(*index).once) {
                rules.removeAt(*index);
                script::writeRules(directory, rules);
            }
        }
    }

    if (!response) {
        const QByteArray message = "stand-in orvu: nothing scripted for: " +
                                   invocation.arguments.join(QLatin1Char(' ')).toLocal8Bit() + '\n';
        writeAll(STDERR_FILENO, message.constData(), message.size());
        return script::kExitUnscripted;
    }

    for (const Write &write : std::as_const(response->writes)) {
        if (!perform(write))
            return 1;
    }
    while (response->hang)
        std::this_thread::sleep_for(std::chrono::hours(1));
    return response->exitCode;
}
