#pragma once

#include <QObject>

#include <chrono>
#include <functional>

class QTimer;

namespace orvu {

// Runs an action once, `delay` after the last of a burst of requests. It lives on the thread
// that made it and runs its actions there; debounce() may be called from any thread. An
// action that has started is not interrupted; one still waiting is replaced by the next call.
// Destroying the debouncer drops the waiting action.
class Debouncer : public QObject {
    Q_OBJECT
public:
    explicit Debouncer(std::chrono::milliseconds delay, QObject *parent = nullptr);
    ~Debouncer() override;

    void debounce(std::function<void()> action);

private:
    void schedule(std::function<void()> action);

    QTimer *m_timer;
    std::function<void()> m_action;
};

} // namespace orvu
