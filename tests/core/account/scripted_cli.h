#pragma once

#include "core/account/cli_auth_running.h"

#include <QList>
#include <QPair>

#include <QCoro/QCoroTimer>

#include <chrono>
#include <memory>

namespace orvu::test {

// Tool access that answers from a script, chosen by how the argument vector begins, and
// records every vector. Each run finishes on a later turn of the event loop, as a real one does.
class ScriptedCLI final : public CLIAuthRunning {
public:
    struct Reply {
        RunOutcome outcome = CLIAuthResult{};
    };

    void on(const QStringList &prefix, Reply reply) { m_script.append({prefix, reply}); }

    const QList<QStringList> &calls() const { return m_calls; }
    int finishedRuns() const { return *m_finished; }

    QCoro::Task<RunOutcome> run(QStringList arguments) override {
        m_calls.append(arguments);
        Reply reply;
        for (const auto &[prefix, scripted] : m_script) {
            if (arguments.mid(0, prefix.size()) == prefix) {
                reply = scripted;
                break;
            }
        }
        // The count outlives this object, so a run may finish after the test dropped it.
        auto finished = m_finished;
        QCoro::Task<> pause = QCoro::sleepFor(std::chrono::milliseconds(1));
        co_await pause;
        ++*finished;
        co_return reply.outcome;
    }

private:
    QList<QPair<QStringList, Reply>> m_script;
    QList<QStringList> m_calls;
    std::shared_ptr<int> m_finished = std::make_shared<int>(0);
};

} // namespace orvu::test
