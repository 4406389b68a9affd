#include "gui/platform/tray_host_watcher.h"

#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <functional>

namespace orvu {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

xcb_atom_t internAtom(xcb_connection_t *connection, const QByteArray &name) {
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, name.size(), name.constData()), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return atom;
}

QDBusMessage hostRegisteredQuery() {
    return QDBusMessage::createMethodCall(kWatcherService, kWatcherPath,
                                          QStringLiteral("org.freedesktop.DBus.Properties"),
                                          QStringLiteral("Get"))
           << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
}

bool hostRegistered(const QDBusMessage &reply) {
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
}

} // namespace

// An XEmbed tray announces itself with a MANAGER client message on the root window, which Qt's
// X11 connection already receives (it listens for the same message).
class TrayHostWatcher::XEmbedSelection final : public QAbstractNativeEventFilter {
public:
    XEmbedSelection(xcb_connection_t *connection, std::function<void()> onAppeared)
        : m_onAppeared(std::move(onAppeared)) {
        m_selection = internAtom(connection, QByteArrayLiteral("_NET_SYSTEM_TRAY_S0"));
        m_manager = internAtom(connection, QByteArrayLiteral("MANAGER"));
        xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, m_selection), nullptr);
        m_owned = owner && owner->owner != XCB_WINDOW_NONE;
        free(owner);
    }

    bool owned() const { return m_owned; }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
            return false;
        const auto *client = static_cast<const xcb_client_message_event_t *>(message);
        if (client->type == m_manager && client->format == 32 &&
            client->data.data32[1] == m_selection)
            m_onAppeared();
        return false;
    }

private:
    std::function<void()> m_onAppeared;
    xcb_atom_t m_selection = XCB_ATOM_NONE;
    xcb_atom_t m_manager = XCB_ATOM_NONE;
    bool m_owned = false;
};

TrayHostWatcher::TrayHostWatcher(QObject *parent) : QObject(parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        auto *watcher = new QDBusServiceWatcher(kWatcherService, bus,
                                                QDBusServiceWatcher::WatchForRegistration, this);
        connect(watcher, &QDBusServiceWatcher::serviceRegistered, this,
                &TrayHostWatcher::watcherRegistered);
        bus.connect(kWatcherService, kWatcherPath, kWatcherService,
                    QStringLiteral("StatusNotifierHostRegistered"), this,
                    SLOT(statusNotifierHostRegistered()));
        // Asked once at start, as the tray icon itself asks: the answer decides whether the
        // app starts as a window.
        if (bus.interface()->isServiceRegistered(kWatcherService))
            m_statusNotifierHost = hostRegistered(bus.call(hostRegisteredQuery()));
    }
    if (auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
        m_selection =
            std::make_unique<XEmbedSelection>(x11->connection(), [this] { xembedTrayAppeared(); });
        m_xembedTray = m_selection->owned();
        qGuiApp->installNativeEventFilter(m_selection.get());
    }
}

TrayHostWatcher::~TrayHostWatcher() {
    if (m_selection)
        qGuiApp->removeNativeEventFilter(m_selection.get());
}

void TrayHostWatcher::watcherRegistered() {
    // The watcher may come up before its host registers; either answer settles it.
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto *call = new QDBusPendingCallWatcher(bus.asyncCall(hostRegisteredQuery()), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *done) {
        done->deleteLater();
        if (hostRegistered(done->reply()))
            setFound(m_statusNotifierHost);
    });
}

void TrayHostWatcher::statusNotifierHostRegistered() {
    setFound(m_statusNotifierHost);
}

void TrayHostWatcher::xembedTrayAppeared() {
    setFound(m_xembedTray);
}

void TrayHostWatcher::setFound(bool &kind) {
    const bool before = available();
    kind = true;
    if (!before)
        emit appeared();
}

} // namespace orvu
