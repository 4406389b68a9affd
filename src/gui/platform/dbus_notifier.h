#pragma once

#include "gui/platform/notifier.h"

#include <QObject>
#include <QSet>

#include <functional>

namespace orvu {

// org.freedesktop.Notifications over the session bus. The call is sent without asking first
// whether a service is registered, because the bus starts a notification daemon on demand;
// only a call that fails hands the notification to `fallback`. Each notification carries the
// app's icon and a default action (a click on it) that calls `activated`.
class DBusNotifier final : public QObject, public Notifier {
    Q_OBJECT
public:
    using Fallback = std::function<void(const UserNotification &)>;

    static inline const QString kAppName = QStringLiteral("Orvu");
    static inline const QString kDesktopEntry = QStringLiteral("io.orvu.tray");

    DBusNotifier(Fallback fallback, std::function<void()> activated, QObject *parent = nullptr);
    void post(const UserNotification &notification) override;

private slots:
    void actionInvoked(uint id, const QString &action);
    void notificationClosed(uint id);

private:
    Fallback m_fallback;
    std::function<void()> m_activated;
    // The server's ids of our notifications, so that another app's clicks are not ours.
    QSet<uint> m_posted;
};

} // namespace orvu
