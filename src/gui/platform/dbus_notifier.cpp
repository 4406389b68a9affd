#include "gui/platform/dbus_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace orvu {

DBusNotifier::DBusNotifier(Fallback fallback, QObject *parent)
    : QObject(parent), m_fallback(std::move(fallback)) {}

void DBusNotifier::post(const UserNotification &notification) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (m_fallback)
            m_fallback(notification);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), kDesktopEntry}};
    // app name, replaces id, icon, summary, body, actions, hints, expiry (-1: the server's).
    call << kAppName << uint(0) << QString() << notification.title << notification.body
         << QStringList() << hints << qint32(-1);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, notification](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                if (finished->isError() && m_fallback)
                    m_fallback(notification);
            });
}

} // namespace orvu
