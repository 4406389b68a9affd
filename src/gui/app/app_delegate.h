#pragma once

#include "core/bindings/folder_config_reader.h"
#include "core/cli/cli_runner.h"
#include "core/cli/tool_commands.h"
#include "core/platform/local_folder_access.h"
#include "core/sync/sync_types.h"
#include "gui/account/auth_window.h"
#include "gui/platform/updater_controlling.h"
#include "gui/repos/add_repo_window.h"

#include <QHash>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

class QSystemTrayIcon;
class QTimer;

namespace orvu {

class AuthManager;
class LoginStarting;
class Notifier;
class PanelWindow;
class SettingsStore;
class SyncCoordinator;
class TrayHostWatcher;
class TrayMenu;

// The top of the app: makes the sign-in state and the coordinator, keeps the tray icon in step
// with them, hosts the panel and the two windows, and answers sign-in links, sign-out and quit.
// Lives on the main thread for the whole run.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // Everything the delegate uses from outside, so that tests can hand in their own.
    struct Services {
        // The one settings store of the app (preferences, bindings, sign-in).
        std::shared_ptr<SettingsStore> settings;
        // Where the tool is found; its resource directory also holds update.json.
        ToolLocation toolLocation = ToolLocation::system();
        QString serverURL = tool::kDefaultServerURL;
        QString homeDirectory;
        std::optional<QString> legacyTokenPath;
        // Absent: notifications over D-Bus, shown by the tray icon when that fails.
        std::shared_ptr<Notifier> notifier;
        // Absent: the feed updater of the resource directory.
        std::unique_ptr<UpdaterControlling> updater;
        QString appVersion;
        // Without a tray the panel is an ordinary window, shown at start.
        bool systemTrayAvailable = true;
        // Follow the desktop's tray instead: a tray that appears later takes the icon.
        bool watchTrayHost = false;
        // Absent: never starts at login.
        std::shared_ptr<LoginStarting> loginStarting;
    };

    // The real services of this user's session.
    static Services systemServices(std::shared_ptr<SettingsStore> settings, QString serverURL,
                                   QString appVersion);

    explicit AppDelegate(Services services, QObject *parent = nullptr);
    ~AppDelegate() override;

    // Once, after construction: tray icon, panel, subscriptions, restoring the sign-in.
    void applicationDidFinishLaunching();

    // A sign-in link; anything else is ignored without a word.
    void handleURL(const QString &url);
    // A later start of the app handed over its URL, or nothing for a plain start.
    void handleInstanceMessage(const QString &message);

    void togglePopover();
    void showPopover();
    void closePopover();
    void showAuthWindow();
    void addRepo();
    void checkForUpdates();
    void toggleStartAtLogin();
    void signOut();
    // Stops every engine and ends the app.
    void quit();

    AuthManager &authManager() const { return *m_authManager; }
    SyncCoordinator &coordinator() const { return *m_coordinator; }
    QSystemTrayIcon *statusItem() const { return m_statusItem; }
    TrayMenu *trayMenu() const { return m_trayMenu.get(); }
    PanelWindow *popover() const { return m_popover.get(); }
    AuthWindow *authWindow() const { return m_authWindow; }
    AddRepoWindow *addRepoWindow() const { return m_addRepoWindow; }
    // The symbol the tray icon shows now; empty before the first update.
    const QString &shownSymbol() const { return m_shownSymbol; }
    bool isAnimating() const { return m_syncAnimationTimer != nullptr; }

private:
    void setupStatusItem();
    void trayHostAppeared();
    void updateTrayMenu();
    void setupPopover();
    void setupSubscriptions();
    void coordinatorChanged();
    void authenticationChanged(bool isAuthenticated);
    void checkAnimation();
    void updateStatusIcon();
    void startSyncAnimation();
    void stopSyncAnimation();
    void showAnimationFrame();
    void showSymbol(const QString &symbol);
    void postSyncNotification(const SyncResult &result);
    void showFallbackNotification(const QString &title, const QString &body);

    // Declared first: the models below hold references into them.
    std::shared_ptr<SettingsStore> m_settings;
    LocalFolderAccess m_folderAccess;
    FolderConfigReader m_configReader;
    Services m_services;

    std::unique_ptr<AuthManager> m_authManager;
    std::unique_ptr<SyncCoordinator> m_coordinator;
    std::unique_ptr<UpdaterControlling> m_updater;
    std::shared_ptr<Notifier> m_notifier;
    QSystemTrayIcon *m_statusItem = nullptr;
    std::unique_ptr<TrayMenu> m_trayMenu;
    TrayHostWatcher *m_trayHost = nullptr;
    // Destroyed before the models its content reads.
    std::unique_ptr<PanelWindow> m_popover;
    QPointer<AuthWindow> m_authWindow;
    QPointer<AddRepoWindow> m_addRepoWindow;
    QTimer *m_syncAnimationTimer = nullptr;
    int m_syncAnimationFrame = 0;

    std::optional<bool> m_lastAuthenticated;
    bool m_coordinatorChangeQueued = false;
    QString m_shownSymbol;
    QString m_shownToolTip;
    QHash<QString, QIcon> m_icons;
};

} // namespace orvu
