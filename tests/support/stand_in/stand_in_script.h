#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The script shared by the stand-in tool and its test-side helper: what each invocation of the
// tool prints and how it exits, and the record of the invocations so far. Both live as files in
// one directory, guarded by a lock file, because several runs of the tool may overlap.
namespace orvu::test {

// One write to standard output or standard error, after an optional pause.
struct Write {
    enum class Channel { Out, Err };
    Channel channel = Channel::Out;
    QByteArray bytes;
    int delayMs = 0;
    // Written this many times; with more than one copy every "{n}" in `bytes` becomes the
    // copy's number, counting from 1.
    qint64 copies = 1;

    friend bool operator==(const Write &, const Write &) = default;
};

// What one invocation does: its writes in order, then it exits with `exitCode`, or, when
// `hang` is set, waits until it is killed.
struct Response {
    QList<Write> writes;
    int exitCode = 0;
    bool hang = false;

    // Raw bytes, so partial lines and invalid UTF-8 can be scripted.
    Response &out(const QByteArray &bytes, int delayMs = 0);
    Response &err(const QByteArray &bytes, int delayMs = 0);
    // Each line as UTF-8 followed by a newline, one write per line.
    Response &lines(const QStringList &lines, int delayMs = 0);
    // `copies` lines written as fast as possible; "{n}" in `line` numbers them.
    Response &generated(const QByteArray &line, qint64 copies);
    Response &generatedErr(const QByteArray &line, qint64 copies);
    Response &exit(int code);
    Response &hangs();
    // Pauses before the exit.
    Response &pause(int delayMs);

    friend bool operator==(const Response &, const Response &) = default;
};

struct Invocation {
    // The full argument vector, without the program.
    QStringList arguments;
    QString workingDirectory;
    // Of the tool's own process, so a test can tell whether it is still running.
    qint64 processId = 0;

    // The arguments after an optional leading "--server URL" pair.
    QStringList subcommandArguments() const;
    QString subcommand() const;
};

namespace script {

inline const QString kScriptFile = QStringLiteral("stand_in_script.json");
inline const QString kLogFile = QStringLiteral("stand_in_invocations.jsonl");
inline const QString kLockFile = QStringLiteral("stand_in.lock");
// Names the script directory when the tool is not started through a link inside it.
inline const char kDirectoryVariable[] = "ORVU_STAND_IN_DIR";
// The exit code of an invocation nothing was scripted for.
inline constexpr int kExitUnscripted = 99;

// A key is the subcommand followed by further arguments that must all be present, separated by
// spaces: "status" or "status --remote".
struct Rule {
    QStringList key;
    bool once = false;
    Response response;
};

QJsonObject toJson(const Response &response);
Response responseFromJson(const QJsonObject &object);

QList<Rule> readRules(const QString &directory);
bool writeRules(const QString &directory, const QList<Rule> &rules);

// The index of the rule that answers `invocation`: the most specific matching key wins; among
// equally specific rules, the first one-shot rule, else the standing one.
std::optional<qsizetype> match(const QList<Rule> &rules, const Invocation &invocation);

bool appendInvocation(const QString &directory, const Invocation &invocation);
QList<Invocation> readInvocations(const QString &directory);

} // namespace script
} // namespace orvu::test
