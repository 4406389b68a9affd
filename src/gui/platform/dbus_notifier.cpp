#include "gui/platform/dbus_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace orvu {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kDefaultAction = QStringLiteral("default");

} // namespace

DBusNotifier::DBusNotifier(Fallback fallback, std::function<void()> activated, QObject *parent)
    : QObject(parent), m_fallback(std::move(fallback)), m_activated(std::move(activated)) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), this,
                SLOT(actionInvoked(uint, QString)));
    bus.connect(kService, kPath, kService, QStringLiteral("NotificationClosed"), this,
                SLOT(notificationClosed(uint)));
}

void DBusNotifier::notificationClosed(uint id) {
    m_posted.remove(id);
}

void DBusNotifier::actionInvoked(uint id, const QString &action) {
    if (action == kDefaultAction && m_posted.remove(id) && m_activated)
        m_activated();
}

void DBusNotifier::post(const UserNotification &notification) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (m_fallback)
            m_fallback(notification);
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), kDesktopEntry}};
    // app name, replaces id, icon, summary, body, actions, hints, expiry (-1: the server's).
    call << kAppName << uint(0) << kDesktopEntry << notification.title << notification.body
         << QStringList{kDefaultAction, QStringLiteral("Open Orvu")} << hints << qint32(-1);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, notification](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                const QDBusPendingReply<uint> reply = *finished;
                if (!reply.isError())
                    m_posted.insert(reply.value());
                else if (m_fallback)
                    m_fallback(notification);
            });
}

} // namespace orvu
