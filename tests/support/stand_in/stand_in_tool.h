#pragma once

#include "core/cli/cli_runner.h"
#include "support/stand_in/stand_in_script.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <functional>

// A scripted stand-in for the `orvu` tool, for tests of everything that runs the tool.
//
//     orvu::test::StandInTool tool;
//     tool.respond("status", Response().lines({R"({"type":"status","changes":[]})"}));
//     tool.respondOnce("status --remote", Response().lines({...}).exit(0));
//     tool.respond("sync", Response().lines({l1, l2, l3}, 50).exit(3));  // 50 ms before each
//     tool.respond("logout", Response().hangs());                        // until killed
//     CLIRunner runner(tool.location());
//     ...
//     tool.invocations();  // every run so far: arguments and working directory
//
// Keys are the subcommand (the first argument after an optional "--server URL" pair) followed by
// further arguments that must all be present. The most specific matching key answers; for one
// key, one-shot responses (respondOnce) are consumed in order before the standing one (respond).
// An invocation that nothing answers writes a message to standard error and exits with
// script::kExitUnscripted. Responses may be changed at any time, also between runs of one test.
//
// Each StandInTool has a temporary directory of its own, holding a link named `orvu` to the
// built tool plus the script and the invocation log, so several may be used side by side.
namespace orvu::test {

class StandInTool {
public:
    StandInTool();

    bool isValid() const;
    // The resource directory holds the tool; no candidate path is consulted.
    ToolLocation location() const;
    QString directory() const;
    QString executablePath() const;
    // The built tool itself, for tests that place it elsewhere (it then finds its script through
    // the ORVU_STAND_IN_DIR environment variable naming directory()).
    static QString builtExecutable();

    // Answers every matching invocation from now on, replacing the standing response of `key`.
    void respond(const QString &key, const Response &response);
    // Answers the next matching invocation only; several are consumed in the order given.
    void respondOnce(const QString &key, const Response &response);
    // Forgets every response (not the recorded invocations).
    void clearResponses();

    QList<Invocation> invocations() const;
    // Those whose subcommand and further arguments match `key` as a response key would.
    QList<Invocation> invocations(const QString &key) const;
    void clearInvocations();

    // Runs the event loop until at least `count` invocations were recorded or the time is up.
    bool waitForInvocations(qsizetype count, int timeoutMs = 5000) const;

private:
    void update(const std::function<void(QList<script::Rule> &)> &change);

    QTemporaryDir m_directory;
};

} // namespace orvu::test
