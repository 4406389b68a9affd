#pragma once

#include "core/cli/cli_runner.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>

// Stand-ins for the `orvu` tool: shell scripts in a temporary directory of their own, so
// several may be used side by side. Each run first logs its process id, working directory and
// arguments.
namespace orvu::test {

// A tool whose script the test writes itself, for runs where the bytes, the timing or the way
// the child ends matter.
class ScriptTool {
public:
    explicit ScriptTool(const QByteArray &body = {}) { setBody(body); }

    ToolLocation location() const { return ToolLocation{m_directory.path(), {}}; }
    QString executablePath() const { return m_directory.filePath(QStringLiteral("orvu")); }

    // Replaces the script at once: a run still reading the old one keeps it.
    void setBody(const QByteArray &body) const {
        const QString next = executablePath() + QStringLiteral(".next");
        QFile file(next);
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.write("#!/bin/sh\nr=$(printf '%s\\037' $$ \"$PWD\" \"$@\")\n"
                   "printf '%s\\n' \"$r\" >>\"$0.log\"\nulimit -c 0\n" +
                   body + '\n');
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
        file.close();
        std::rename(QFile::encodeName(next).constData(),
                    QFile::encodeName(executablePath()).constData());
    }
    // Process id, working directory, then the arguments, of every run so far.
    QList<QStringList> runs() const {
        QFile log(executablePath() + QStringLiteral(".log"));
        QList<QStringList> runs;
        if (log.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : log.readAll().split('\n')) {
                if (line.endsWith('\037'))
                    runs.append(QString::fromUtf8(line.chopped(1)).split(u'\037'));
            }
        }
        return runs;
    }
    QStringList lastRun() const { return runs().value(runs().size() - 1); }

protected:
    QTemporaryDir m_directory;
};

// What one run prints on standard output, each write after its pause, and its exit code.
struct Response {
    QByteArray script;
    int exitCode = 0;

    // Each line followed by a newline, `delayMs` before each.
    Response &lines(const QStringList &lines, int delayMs = 0) {
        for (const QString &line : lines)
            write(line.toUtf8() + '\n', delayMs);
        return *this;
    }
    // `copies` lines as fast as possible; "{n}" in `line` numbers them from 1.
    Response &generated(QByteArray line, qint64 copies) {
        line.chop(line.endsWith('\n') ? 1 : 0);
        line.replace('\\', "\\\\").replace('&', "\\&").replace('/', "\\/").replace("{n}", "&");
        script +=
            "seq " + QByteArray::number(copies) + " | sed " + quoted("s/.*/" + line + '/') + '\n';
        return *this;
    }
    Response &exit(int code) {
        exitCode = code;
        return *this;
    }
    Response &pause(int delayMs) { return write({}, delayMs); }

    static QByteArray quoted(QByteArray text) { return '\'' + text.replace('\'', "'\\''") + '\''; }

private:
    Response &write(const QByteArray &bytes, int delayMs) {
        if (delayMs > 0)
            script += "sleep " + QByteArray::number(delayMs / 1000.0) + '\n';
        if (!bytes.isEmpty())
            script += "printf %s " + quoted(bytes) + '\n';
        return *this;
    }
};

struct Invocation {
    QStringList arguments;
    QString workingDirectory;

    // The arguments after a leading "--server URL" pair.
    QStringList subcommandArguments() const {
        return arguments.value(0) == QLatin1String("--server") ? arguments.mid(2) : arguments;
    }
};

// A tool that answers from responses keyed by the subcommand (after an optional "--server URL"
// pair) and further arguments that must all be present: "status" or "status --remote".
// The most specific matching key answers; for one key, one-shot responses go first, in order.
// A run that nothing answers exits with 99.
class StandInTool : public ScriptTool {
public:
    StandInTool() { rewrite(); }

    // Answers every matching run from now on, replacing the standing response of `key`.
    void respond(const QString &key, const Response &response) {
        m_rules.removeIf([&](const Rule &rule) { return !rule.once && rule.key == tokens(key); });
        m_rules.append(Rule{tokens(key), false, m_nextId++, response});
        rewrite();
    }
    // Answers the next matching run only.
    void respondOnce(const QString &key, const Response &response) {
        m_rules.append(Rule{tokens(key), true, m_nextId++, response});
        rewrite();
    }

    // The runs so far that `key` matches as a response key would; every run without one.
    QList<Invocation> invocations(const QString &key = {}) const {
        QList<Invocation> matching;
        for (const QStringList &run : runs()) {
            const Invocation invocation{run.mid(2), run.value(1)};
            const QStringList arguments = invocation.subcommandArguments();
            const QStringList wanted = tokens(key);
            if (wanted.isEmpty() ||
                (wanted.first() == arguments.value(0) &&
                 std::all_of(wanted.begin() + 1, wanted.end(), [&](const QString &token) {
                     return arguments.mid(1).contains(token);
                 })))
                matching.append(invocation);
        }
        return matching;
    }
    void clearInvocations() { QFile::remove(executablePath() + QStringLiteral(".log")); }
    // Runs the event loop until at least `count` runs were logged or the time is up.
    bool waitForInvocations(qsizetype count, int timeoutMs = 5000) const {
        QDeadlineTimer deadline(timeoutMs);
        while (runs().size() < count && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
        return runs().size() >= count;
    }

private:
    struct Rule {
        QStringList key;
        bool once;
        int id;
        Response response;
    };
    static QStringList tokens(const QString &key) { return key.split(u' ', Qt::SkipEmptyParts); }

    void rewrite() {
        std::stable_sort(m_rules.begin(), m_rules.end(), [](const Rule &a, const Rule &b) {
            return a.key.size() != b.key.size() ? a.key.size() > b.key.size() : a.once > b.once;
        });
        QByteArray body = "has() { t=$1; shift; for a; do [ \"$a\" = \"$t\" ] && return 0; done; "
                          "return 1; }\n[ \"$1\" = --server ] && shift 2\n";
        for (const Rule &rule : std::as_const(m_rules)) {
            body += "if [ \"$1\" = " + Response::quoted(rule.key.value(0).toUtf8()) + " ]";
            for (const QString &token : rule.key.mid(1))
                body += " && has " + Response::quoted(token.toUtf8()) + " \"$@\"";
            if (rule.once) // mkdir succeeds for one run only
                body += " && mkdir \"$0.once" + QByteArray::number(rule.id) + "\" 2>/dev/null";
            body += "; then\n" + rule.response.script + "exit " +
                    QByteArray::number(rule.response.exitCode) + "\nfi\n";
        }
        setBody(body + "echo 'stand-in orvu: nothing scripted for this run' >&2\nexit 99");
    }

    QList<Rule> m_rules;
    int m_nextId = 0;
};

} // namespace orvu::test
