#include "support/stand_in/stand_in_tool.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QThread>

namespace orvu::test {

namespace {

QStringList keyTokens(const QString &key) {
    return key.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace

StandInTool::StandInTool() {
    if (m_directory.isValid())
        QFile::link(builtExecutable(), executablePath());
    script::writeRules(directory(), {});
}

bool StandInTool::isValid() const {
    return m_directory.isValid() && QFile::exists(executablePath());
}

ToolLocation StandInTool::location() const {
    return ToolLocation{directory(), {}};
}

QString StandInTool::directory() const {
    return m_directory.path();
}

QString StandInTool::executablePath() const {
    return QDir(directory()).filePath(QStringLiteral("orvu"));
}

QString StandInTool::builtExecutable() {
    return QStringLiteral(ORVU_STAND_IN_EXECUTABLE);
}

void StandInTool::update(const std::function<void(QList<script::Rule> &)> &change) {
    QLockFile lock(QDir(directory()).filePath(script::kLockFile));
    lock.lock();
    QList<script::Rule> rules = script::readRules(directory());
    change(rules);
    script::writeRules(directory(), rules);
}

void StandInTool::respond(const QString &key, const Response &response) {
    const QStringList tokens = keyTokens(key);
    update([&](QList<script::Rule> &rules) {
        rules.removeIf([&](const script::Rule &rule) { return !rule.once && rule.key == tokens; });
        rules.append(script::Rule{tokens, false, response});
    });
}

void StandInTool::respondOnce(const QString &key, const Response &response) {
    const QStringList tokens = keyTokens(key);
    update([&](QList<script::Rule> &rules) { rules.append(script::Rule{tokens, true, response}); });
}

void StandInTool::clearResponses() {
    update([](QList<script::Rule> &rules) { rules.clear(); });
}

QList<Invocation> StandInTool::invocations() const {
    QLockFile lock(QDir(directory()).filePath(script::kLockFile));
    lock.lock();
    return script::readInvocations(directory());
}

QList<Invocation> StandInTool::invocations(const QString &key) const {
    const QList<script::Rule> probe{script::Rule{keyTokens(key), false, {}}};
    QList<Invocation> matching;
    for (const Invocation &invocation : invocations()) {
        if (script::match(probe, invocation))
            matching.append(invocation);
    }
    return matching;
}

void StandInTool::clearInvocations() {
    QLockFile lock(QDir(directory()).filePath(script::kLockFile));
    lock.lock();
    QFile::remove(QDir(directory()).filePath(script::kLogFile));
}

bool StandInTool::waitForInvocations(qsizetype count, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs);
    while (invocations().size() < count) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

} // namespace orvu::test
