#pragma once

#include "core/repos/repo_cli_running.h"

#include <QCoro/QCoroFuture>
#include <QFuture>
#include <QPromise>

#include <memory>

namespace orvu::test {

// Repo commands with scripted answers that record every call. A listing can be held back until
// the test releases it, to stage interleavings.
class ScriptedRepoCLI final : public RepoCLIRunning {
public:
    struct InitCall {
        QString folderPath;
        QString slug;
        std::optional<QString> displayName;
        bool force = false;
        friend bool operator==(const InitCall &, const InitCall &) = default;
    };

    // Answers of successive listings; the last one repeats.
    QList<std::optional<QList<RepoInfo>>> listings{QList<RepoInfo>{}};
    RepoCLIOutcome initOutcome = RepoCLIOutcome::ok();
    QList<InitCall> initCalls;
    int listCalls = 0;

    // The next listing waits until release() is called.
    void holdNextListing() {
        m_gate = std::make_shared<QPromise<void>>();
        m_gate->start();
    }
    void release() {
        if (auto gate = std::exchange(m_gate, nullptr))
            gate->finish();
    }

    QCoro::Task<std::optional<QList<RepoInfo>>> listRepos() override {
        const auto answer = listings.size() > 1 ? listings.takeFirst() : listings.value(0);
        ++listCalls;
        if (auto gate = m_gate) {
            QFuture<void> opened = gate->future();
            co_await opened;
        }
        co_return answer;
    }

    QCoro::Task<RepoCLIOutcome> initFolder(QString folderPath, QString slug,
                                           std::optional<QString> displayName,
                                           bool force) override {
        initCalls.append(InitCall{folderPath, slug, displayName, force});
        co_return initOutcome;
    }

private:
    std::shared_ptr<QPromise<void>> m_gate;
};

} // namespace orvu::test
