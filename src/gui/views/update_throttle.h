#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace orvu {

// Runs an update at once when none ran in the last interval, else once at the end of it, so a
// stream of requests becomes at most one update per interval and the last request is never
// lost. The timer runs only while requests keep coming.
class UpdateThrottle : public QObject {
    Q_OBJECT
public:
    // About 30 updates a second.
    static constexpr int kIntervalMs = 33;

    UpdateThrottle(std::function<void()> update, QObject *parent);

    void request();

private:
    void timeout();

    std::function<void()> m_update;
    QTimer m_timer;
    bool m_pending = false;
};

} // namespace orvu
