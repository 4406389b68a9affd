#pragma once

#include <QString>

namespace orvu {

// One user notification. `identifier` is ours alone ("sync-<UUID>"), so that every notification
// stays separate; the desktop's notification service never sees it.
struct UserNotification {
    QString identifier;
    QString title;
    QString body;
};

// Posts notifications to the user without waiting for the desktop.
class Notifier {
public:
    virtual ~Notifier() = default;
    virtual void post(const UserNotification &notification) = 0;
};

} // namespace orvu
