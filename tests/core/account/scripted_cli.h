#pragma once

#include "core/account/cli_auth_running.h"

#include <QList>
#include <QObject>
#include <QPair>

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTimer>

#include <chrono>
#include <memory>

namespace orvu::test {

// Opened once by the test; runs told to hang wait for it.
class Gate : public QObject {
    Q_OBJECT
public:
    void open() {
        m_open = true;
        emit opened();
    }
    bool isOpen() const { return m_open; }
signals:
    void opened();

private:
    bool m_open = false;
};

// Tool access that answers from a script, chosen by how the argument vector begins, and
// records every vector. Each run finishes on a later turn of the event loop, as a real one does.
class ScriptedCLI final : public CLIAuthRunning {
public:
    struct Reply {
        RunOutcome outcome = CLIAuthResult{};
        bool hang = false;
    };

    void on(const QStringList &prefix, Reply reply) { m_script.append({prefix, reply}); }
    void on(const QStringList &prefix, const QString &out, int exitCode = 0,
            const QString &err = {}) {
        on(prefix, Reply{CLIAuthResult{out, err, exitCode}});
    }
    void failLaunch(const QStringList &prefix) {
        on(prefix, Reply{LaunchError{QStringLiteral("No such file or directory")}});
    }
    void hang(const QStringList &prefix) { on(prefix, Reply{CLIAuthResult{}, true}); }

    const QList<QStringList> &calls() const { return m_calls; }
    int finishedRuns() const { return *m_finished; }
    Gate &gate() { return *m_gate; }

    QCoro::Task<RunOutcome> run(QStringList arguments) override {
        m_calls.append(arguments);
        Reply reply;
        for (const auto &[prefix, scripted] : m_script) {
            if (arguments.mid(0, prefix.size()) == prefix) {
                reply = scripted;
                break;
            }
        }
        auto gate = m_gate;
        auto finished = m_finished;
        QCoro::Task<> pause = QCoro::sleepFor(std::chrono::milliseconds(1));
        co_await pause;
        if (reply.hang && !gate->isOpen()) {
            auto opened = qCoro(gate.get(), &Gate::opened);
            co_await opened;
        }
        ++*finished;
        co_return reply.outcome;
    }

private:
    QList<QPair<QStringList, Reply>> m_script;
    QList<QStringList> m_calls;
    std::shared_ptr<Gate> m_gate = std::make_shared<Gate>();
    std::shared_ptr<int> m_finished = std::make_shared<int>(0);
};

} // namespace orvu::test
