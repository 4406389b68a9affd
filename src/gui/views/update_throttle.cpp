#include "gui/views/update_throttle.h"

namespace orvu {

UpdateThrottle::UpdateThrottle(std::function<void()> update, QObject *parent)
    : QObject(parent), m_update(std::move(update)) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(kIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &UpdateThrottle::timeout);
}

void UpdateThrottle::request() {
    if (m_timer.isActive()) {
        m_pending = true;
        return;
    }
    m_update();
    m_timer.start();
}

void UpdateThrottle::timeout() {
    if (!m_pending)
        return;
    m_pending = false;
    m_update();
    m_timer.start();
}

} // namespace orvu
