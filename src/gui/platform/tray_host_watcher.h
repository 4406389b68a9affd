#pragma once

#include <QObject>

#include <memory>

namespace orvu {

// Whether the desktop has a tray to put the icon in, now and later: a StatusNotifierItem host
// (the org.kde.StatusNotifierWatcher service with a host registered) or, on X11, an XEmbed tray
// (the owner of the _NET_SYSTEM_TRAY_S0 selection). A tray that starts after the app, a normal
// race at login, is announced by appeared(). Nothing is polled: both are watched by their own
// notifications.
class TrayHostWatcher : public QObject {
    Q_OBJECT
public:
    explicit TrayHostWatcher(QObject *parent = nullptr);
    ~TrayHostWatcher() override;

    bool available() const { return m_statusNotifierHost || m_xembedTray; }

signals:
    // Once, when the first tray of either kind appears after none was there.
    void appeared();

private slots:
    void statusNotifierHostRegistered();

private:
    void watcherRegistered();
    void xembedTrayAppeared();
    void setFound(bool &kind);

    class XEmbedSelection;
    bool m_statusNotifierHost = false;
    bool m_xembedTray = false;
    std::unique_ptr<XEmbedSelection> m_selection;
};

} // namespace orvu
