#include "core/sync/debouncer.h"

#include <QThread>
#include <QTimer>

#include <utility>

namespace orvu {

Debouncer::Debouncer(std::chrono::milliseconds delay, QObject *parent)
    : QObject(parent), m_timer(new QTimer(this)) {
    m_timer->setSingleShot(true);
    // A coarse timer may fire a little early; the delay is a promise of quiet time.
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(delay);
    connect(m_timer, &QTimer::timeout, this, [this] {
        // Taken out first: the action may debounce again, or even destroy us.
        auto action = std::exchange(m_action, nullptr);
        if (action)
            action();
    });
}

Debouncer::~Debouncer() = default;

void Debouncer::debounce(std::function<void()> action) {
    if (QThread::currentThread() != thread()) {
        // Posted to our own thread so that m_action and the timer are only touched there; a
        // debouncer destroyed before the call arrives takes the posted call with it.
        QMetaObject::invokeMethod(
            this, [this, action = std::move(action)] { schedule(action); }, Qt::QueuedConnection);
        return;
    }
    schedule(std::move(action));
}

void Debouncer::schedule(std::function<void()> action) {
    m_action = std::move(action);
    m_timer->start();
}

} // namespace orvu
