#pragma once

#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

namespace orvu::local {

// Runs `work(i, context)` for every i below `count` on worker threads (each with its own
// context from `makeContext()`), and hands the results to `done(i, result)` on the calling
// thread in the order of i as they become available, so that what a run prints and records
// stays in order while files are copied side by side. Once `stop()` holds no more work is
// started; `done` then sees only the work that ran, and this returns when it has.
template <typename Result, typename MakeContext, typename Work, typename Stop, typename Done>
void runAheadInOrder(qsizetype count, MakeContext makeContext, Work work, Stop stop, Done done) {
    if (count <= 0)
        return;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<Result>> results(static_cast<size_t>(count));
    qsizetype next = 0;
    int running = std::clamp(QThread::idealThreadCount(), 1, 4);
    const int workers = running;
    std::vector<QFuture<void>> futures;
    for (int w = 0; w < workers; ++w)
        futures.push_back(QtConcurrent::run([&] {
            auto context = makeContext();
            for (;;) {
                qsizetype i = 0;
                {
                    const std::lock_guard lock(mutex);
                    if (next >= count || stop())
                        break;
                    i = next++;
                }
                Result result = work(i, context);
                const std::lock_guard lock(mutex);
                results[static_cast<size_t>(i)].emplace(std::move(result));
                changed.notify_all();
            }
            const std::lock_guard lock(mutex);
            --running;
            changed.notify_all();
        }));
    for (qsizetype i = 0; i < count; ++i) {
        std::unique_lock lock(mutex);
        auto &slot = results[static_cast<size_t>(i)];
        changed.wait(lock, [&] { return slot.has_value() || running == 0; });
        if (!slot)
            continue; // never started
        Result result = std::move(*slot);
        slot.reset();
        lock.unlock();
        done(i, result);
    }
    for (QFuture<void> &future : futures)
        future.waitForFinished();
}

} // namespace orvu::local
