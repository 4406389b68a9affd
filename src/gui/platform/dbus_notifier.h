#pragma once

#include "gui/platform/notifier.h"

#include <QObject>

#include <functional>

namespace orvu {

// org.freedesktop.Notifications over the session bus. The call is sent without asking first
// whether a service is registered, because the bus starts a notification daemon on demand;
// only a call that fails hands the notification to `fallback`.
class DBusNotifier final : public QObject, public Notifier {
    Q_OBJECT
public:
    using Fallback = std::function<void(const UserNotification &)>;

    static inline const QString kAppName = QStringLiteral("Orvu");
    static inline const QString kDesktopEntry = QStringLiteral("io.orvu.tray");

    explicit DBusNotifier(Fallback fallback, QObject *parent = nullptr);
    void post(const UserNotification &notification) override;

private:
    Fallback m_fallback;
};

} // namespace orvu
