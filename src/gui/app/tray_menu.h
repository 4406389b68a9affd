#pragma once

#include <QList>
#include <QMenu>
#include <QString>

namespace orvu {

// One line of the tray icon's menu.
struct TrayMenuEntry {
    enum class Action { none, open, addRepo, signIn, checkForUpdates, startAtLogin, quit };
    QString text;
    Action action = Action::none;
    bool enabled = true;
    bool checkable = false;
    bool checked = false;
    bool separatorBefore = false;

    bool operator==(const TrayMenuEntry &) const = default;
};

// The menu's lines: the header's status text (not a command), opening the panel, adding a repo
// or signing in, the update check, starting at login with its real state, and quitting. Every
// desktop draws this menu, and on some hosts it is the only way into the app.
QList<TrayMenuEntry> trayMenuEntries(const QString &statusText, bool signedIn, bool startsAtLogin);

// The tray icon's menu, exported by Qt over D-Bus to StatusNotifierItem hosts and shown by Qt
// itself on XEmbed trays. Its actions are kept and updated in place, so a host that has the
// menu open sees the change rather than a new menu.
class TrayMenu : public QMenu {
    Q_OBJECT
public:
    explicit TrayMenu(QWidget *parent = nullptr);
    void show(const QList<TrayMenuEntry> &entries);

signals:
    void chosen(TrayMenuEntry::Action action);

private:
    QList<TrayMenuEntry> m_shown;
};

} // namespace orvu
