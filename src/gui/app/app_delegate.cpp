#include "gui/app/app_delegate.h"

#include "core/account/auth_manager.h"
#include "core/account/cli_auth.h"
#include "core/bindings/binding_store.h"
#include "core/bindings/preferences.h"
#include "core/bindings/sync_coordinator.h"
#include "core/platform/settings_store.h"
#include "core/repos/add_repo_model.h"
#include "core/repos/repo_cli.h"
#include "core/sync/sync_engine.h"
#include "gui/account/auth_window.h"
#include "gui/app/orvu_url.h"
#include "gui/app/panel_window.h"
#include "gui/app/status_icon.h"
#include "gui/app/tray_menu.h"
#include "gui/platform/dbus_notifier.h"
#include "gui/platform/feed_updater.h"
#include "gui/platform/qt_network_monitor.h"
#include "gui/platform/tray_host_watcher.h"
#include "gui/platform/xdg_autostart.h"
#include "gui/repos/add_repo_window.h"
#include "gui/views/popover_content_view.h"
#include "gui/views/view_rules.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QScreen>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUuid>

namespace orvu {

namespace {

constexpr int kAnimationIntervalMs = 500;

void centreAndRaise(QWidget *window) {
    window->adjustSize();
    if (const QScreen *screen = QGuiApplication::screenAt(QCursor::pos())
                                    ? QGuiApplication::screenAt(QCursor::pos())
                                    : QGuiApplication::primaryScreen())
        window->move(screen->availableGeometry().center() - window->rect().center());
    window->show();
    window->raise();
    window->activateWindow();
}

// The sign-in from a link runs on by itself; a failure changes nothing here.
QCoro::Task<> verifyIgnoringFailure(QPointer<AuthManager> authManager, QString token) {
    QCoro::Task<std::optional<SignInFailure>> verification = authManager->verify(token);
    co_await verification;
}

QCoro::Task<> loadModel(QPointer<AddRepoModel> model) {
    QCoro::Task<> loading = model->load();
    co_await loading;
}

} // namespace

AppDelegate::Services AppDelegate::systemServices(std::shared_ptr<SettingsStore> settings,
                                                  QString serverURL, QString appVersion) {
    Services services;
    services.settings = std::move(settings);
    services.serverURL = std::move(serverURL);
    services.homeDirectory = QDir::homePath();
    services.legacyTokenPath = AuthManager::defaultLegacyTokenPath();
    services.appVersion = std::move(appVersion);
    // Qt answers whether a tray exists once for the whole run; the watcher keeps asking.
    services.watchTrayHost = true;
    services.loginStarting = std::make_shared<XdgAutostart>(
        XdgAutostart::defaultEntryPath(), QCoreApplication::applicationFilePath());
    return services;
}

AppDelegate::AppDelegate(Services services, QObject *parent)
    : QObject(parent), m_settings(services.settings), m_services(std::move(services)) {
    const CLIRunner runner(m_services.toolLocation);
    m_authManager =
        std::make_unique<AuthManager>(std::make_shared<CLIAuth>(m_services.serverURL, runner),
                                      m_settings, m_services.legacyTokenPath);
    m_coordinator =
        std::make_unique<SyncCoordinator>(BindingStore(*m_settings, m_configReader),
                                          std::make_shared<RepoCLI>(m_services.serverURL, runner),
                                          Preferences(*m_settings, m_folderAccess), m_folderAccess,
                                          runner, m_services.homeDirectory, m_services.serverURL);
    // Offline repos are checked again at once when the network changes.
    m_coordinator->setNetworkMonitor(new QtNetworkMonitor(m_coordinator.get()));
}

AppDelegate::~AppDelegate() {
    delete m_addRepoWindow.data();
    delete m_authWindow.data();
    // The panel's content reads the models, so it goes first.
    m_popover.reset();
}

void AppDelegate::applicationDidFinishLaunching() {
    m_updater = m_services.updater
                    ? std::move(m_services.updater)
                    : std::make_unique<FeedUpdater>(m_services.toolLocation.resourceDirectory,
                                                    *m_settings, m_services.appVersion);
    if (m_services.watchTrayHost) {
        m_trayHost = new TrayHostWatcher(this);
        m_services.systemTrayAvailable = m_trayHost->available();
        connect(m_trayHost, &TrayHostWatcher::appeared, this, &AppDelegate::trayHostAppeared);
    }
    setupStatusItem();
    setupPopover();
    setupSubscriptions();
    const QPointer<AppDelegate> self(this);
    // Notifications need no permission on this desktop; a click on one opens the panel.
    m_notifier = m_services.notifier;
    if (!m_notifier) {
        m_notifier = std::make_shared<DBusNotifier>(
            [self](const UserNotification &notification) {
                if (self)
                    self->showFallbackNotification(notification.title, notification.body);
            },
            [self] {
                if (self)
                    self->showPopover();
            });
    }
    m_coordinator->setOnAnySyncComplete([self](const SyncResult &result) {
        if (self)
            self->postSyncNotification(result);
    });
    // Sign-in links arrive through handleURL(), from the command line or a later start. A stored
    // sign-in starts a tool run for every repo; one turn later, the request to dock the tray
    // icon has already gone out to the tray host.
    QTimer::singleShot(0, m_authManager.get(), &AuthManager::restoreSignIn);
    if (!m_statusItem)
        showPopover();
}

void AppDelegate::setupStatusItem() {
    if (!m_services.systemTrayAvailable)
        return;
    m_statusItem = new QSystemTrayIcon(this);
    showSymbol(QStringLiteral("arrow.triangle.2.circlepath"));
    m_statusItem->setToolTip(QStringLiteral("Orvu"));
    connect(m_statusItem, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // A second click soon after the first arrives as a double click.
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    togglePopover();
            });
    connect(m_statusItem, &QSystemTrayIcon::messageClicked, this, &AppDelegate::showPopover);
    // Where the host draws the menu itself, a click may show only the menu: it opens the panel.
    m_trayMenu = std::make_unique<TrayMenu>();
    connect(m_trayMenu.get(), &TrayMenu::chosen, this, [this](TrayMenuEntry::Action action) {
        switch (action) {
        case TrayMenuEntry::Action::open:
            return showPopover();
        case TrayMenuEntry::Action::addRepo:
            return addRepo();
        case TrayMenuEntry::Action::signIn:
            return showAuthWindow();
        case TrayMenuEntry::Action::checkForUpdates:
            return checkForUpdates();
        case TrayMenuEntry::Action::startAtLogin:
            return toggleStartAtLogin();
        case TrayMenuEntry::Action::quit:
            return quit();
        case TrayMenuEntry::Action::none:
            break;
        }
    });
    updateTrayMenu();
    m_statusItem->setContextMenu(m_trayMenu.get());
    m_statusItem->show();
}

void AppDelegate::trayHostAppeared() {
    if (m_statusItem)
        return;
    m_services.systemTrayAvailable = true;
    setupStatusItem();
    m_shownToolTip.clear();
    updateStatusIcon();
    checkAnimation();
    // The window the user had becomes the tray's panel.
    if (m_popover)
        m_popover->setMode(PanelWindow::Mode::attached);
}

void AppDelegate::updateTrayMenu() {
    if (!m_trayMenu)
        return;
    const bool startsAtLogin =
        m_services.loginStarting && m_services.loginStarting->startsAtLogin();
    m_trayMenu->show(trayMenuEntries(
        rules::headerStatusText(m_coordinator->anySyncing(), m_coordinator->aggregateState().kind,
                                m_coordinator->remoteTotal(), m_coordinator->pendingTotal(),
                                m_coordinator->engines().size(), m_coordinator->checkFailure()),
        m_authManager->isAuthenticated(), startsAtLogin));
}

void AppDelegate::toggleStartAtLogin() {
    if (m_services.loginStarting)
        m_services.loginStarting->setStartsAtLogin(!m_services.loginStarting->startsAtLogin());
    // Shows the state the desktop now has, whether or not the change took.
    updateTrayMenu();
}

void AppDelegate::setupPopover() {
    m_popover = std::make_unique<PanelWindow>(m_statusItem ? PanelWindow::Mode::attached
                                                           : PanelWindow::Mode::standalone);
    m_popover->setObjectName(QStringLiteral("orvuPanel"));
    // Without a tray the window is the app: closing it quits.
    connect(m_popover.get(), &PanelWindow::closedByUser, this, &AppDelegate::quit);
    // Every opening brings every repo's local and remote status up to date. The tool runs start
    // once the panel is on screen: starting dozens of them first would delay it.
    connect(m_popover.get(), &PanelWindow::opened, m_coordinator.get(),
            &SyncCoordinator::refreshAll);
    // Each action closes the panel first; none of them keeps the delegate alive.
    const QPointer<AppDelegate> self(this);
    const auto action = [self](void (AppDelegate::*step)()) {
        return [self, step] {
            if (!self)
                return;
            self->closePopover();
            (self.data()->*step)();
        };
    };
    PopoverCallbacks callbacks{action(&AppDelegate::showAuthWindow), action(&AppDelegate::addRepo),
                               action(&AppDelegate::signOut), action(&AppDelegate::checkForUpdates),
                               action(&AppDelegate::quit)};
    auto *content = new PopoverContentView(*m_authManager, *m_coordinator, std::move(callbacks),
                                           m_popover.get());
    m_popover->setContent(content);
    if (const auto unreadable = BindingStore(*m_settings, m_configReader).takeUnreadableNotice())
        content->showNotice(rules::unreadableBindingsNotice(
            unreadable->entries, unreadable->copyKey, unreadable->location));
}

void AppDelegate::setupSubscriptions() {
    // Each change of the lists or of one engine is followed by one update a turn later, when
    // every value of that turn has been stored; a burst of changes costs one update.
    const auto queueChange = [this] {
        if (std::exchange(m_coordinatorChangeQueued, true))
            return;
        QMetaObject::invokeMethod(this, &AppDelegate::coordinatorChanged, Qt::QueuedConnection);
    };
    connect(m_coordinator.get(), &SyncCoordinator::enginesChanged, this, queueChange);
    connect(m_coordinator.get(), &SyncCoordinator::engineChanged, this, queueChange);
    // Progress only starts or stops the animation; the animation draws its own frames.
    connect(m_coordinator.get(), &SyncCoordinator::engineProgressChanged, this,
            &AppDelegate::checkAnimation);

    connect(m_authManager.get(), &AuthManager::isAuthenticatedChanged, this,
            &AppDelegate::authenticationChanged);
    // The current value counts as the first change.
    authenticationChanged(m_authManager->isAuthenticated());
}

void AppDelegate::coordinatorChanged() {
    m_coordinatorChangeQueued = false;
    updateStatusIcon();
    checkAnimation();
}

void AppDelegate::authenticationChanged(bool isAuthenticated) {
    if (m_lastAuthenticated == isAuthenticated)
        return;
    m_lastAuthenticated = isAuthenticated;
    if (isAuthenticated)
        m_coordinator->start();
    else
        m_coordinator->stopAll();
    updateStatusIcon();
    checkAnimation();
}

void AppDelegate::checkAnimation() {
    if (m_coordinator->activeProgress()) {
        startSyncAnimation();
        return;
    }
    if (!m_syncAnimationTimer)
        return;
    stopSyncAnimation();
    updateStatusIcon();
}

void AppDelegate::updateStatusIcon() {
    if (!m_statusItem)
        return;
    const std::optional<QString> checkFailure = m_coordinator->checkFailure();
    showSymbol(statusSymbol(m_coordinator->aggregateState(), m_coordinator->remoteTotal(),
                            m_coordinator->pendingTotal(), checkFailure.has_value()));
    updateTrayMenu();
    const QString toolTip = trayToolTip(
        rules::headerStatusText(m_coordinator->anySyncing(), m_coordinator->aggregateState().kind,
                                m_coordinator->remoteTotal(), m_coordinator->pendingTotal(),
                                m_coordinator->engines().size(), checkFailure));
    if (toolTip != m_shownToolTip) {
        m_shownToolTip = toolTip;
        m_statusItem->setToolTip(toolTip);
    }
}

void AppDelegate::startSyncAnimation() {
    if (m_syncAnimationTimer)
        return;
    m_syncAnimationFrame = 0;
    showAnimationFrame();
    m_syncAnimationTimer = new QTimer(this);
    m_syncAnimationTimer->setInterval(kAnimationIntervalMs);
    connect(m_syncAnimationTimer, &QTimer::timeout, this, [this] {
        ++m_syncAnimationFrame;
        showAnimationFrame();
    });
    m_syncAnimationTimer->start();
}

void AppDelegate::stopSyncAnimation() {
    delete std::exchange(m_syncAnimationTimer, nullptr);
    m_syncAnimationFrame = 0;
}

void AppDelegate::showAnimationFrame() {
    const std::optional<SyncProgress> progress = m_coordinator->activeProgress();
    if (!m_statusItem || !progress)
        return;
    showSymbol(animationSymbol(progress->phase, m_syncAnimationFrame));
}

void AppDelegate::showSymbol(const QString &symbol) {
    if (!m_statusItem || symbol == m_shownSymbol)
        return;
    m_shownSymbol = symbol;
    auto icon = m_icons.constFind(symbol);
    if (icon == m_icons.cend()) {
        const QPalette palette = QApplication::palette();
        icon = m_icons.insert(symbol, trayIcon(symbol, palette.color(QPalette::WindowText),
                                               palette.color(QPalette::Window)));
    }
    m_statusItem->setIcon(*icon);
}

void AppDelegate::postSyncNotification(const SyncResult &result) {
    m_notifier->post(
        {QStringLiteral("sync-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(),
         QStringLiteral("Orvu Sync"), SyncCoordinator::summary(result)});
}

void AppDelegate::showFallbackNotification(const QString &title, const QString &body) {
    if (m_statusItem)
        m_statusItem->showMessage(title, body);
}

void AppDelegate::handleURL(const QString &url) {
    const std::optional<QString> token = signInToken(url);
    if (!token)
        return;
    verifyIgnoringFailure(m_authManager.get(), *token);
}

void AppDelegate::handleInstanceMessage(const QString &message) {
    if (message.isEmpty())
        showPopover();
    else
        handleURL(message);
}

void AppDelegate::togglePopover() {
    if (!m_popover)
        return;
    if (m_popover->isVisible() || m_popover->closedItselfJustNow()) {
        closePopover();
        return;
    }
    showPopover();
}

void AppDelegate::showPopover() {
    if (!m_popover)
        return;
    if (m_popover->isVisible()) {
        m_popover->raise();
        m_popover->activateWindow();
        return;
    }
    std::optional<QPoint> position;
    // On Wayland no app can place a window: the compositor does.
    if (m_popover->mode() == PanelWindow::Mode::attached && !PanelWindow::placedByCompositor()) {
        const QRect icon = m_statusItem->geometry();
        const QPoint cursor = QCursor::pos();
        const QPoint anchor = icon.isValid() ? icon.center() : cursor;
        const QScreen *screen = QGuiApplication::screenAt(anchor);
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        m_popover->adjustSize();
        position = panelPosition(icon, cursor, m_popover->size(),
                                 screen ? screen->availableGeometry() : QRect());
    }
    m_popover->open(position);
}

void AppDelegate::closePopover() {
    if (m_popover && m_popover->isVisible())
        m_popover->hide();
}

void AppDelegate::showAuthWindow() {
    closePopover();
    if (!m_authWindow) {
        m_authWindow = new AuthWindow(*m_authManager);
        // The bundled tool is the offline one, whose mail stays in its store.
        if (QFileInfo::exists(
                QDir(m_services.toolLocation.resourceDirectory).filePath(QStringLiteral("orvu"))))
            m_authWindow->setOfflineOutbox(offline_outbox::outboxFor(
                m_services.serverURL,
                QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)));
        m_authWindow->setupUI();
    }
    centreAndRaise(m_authWindow);
}

void AppDelegate::addRepo() {
    closePopover();
    std::unique_ptr<AddRepoModel> model = m_coordinator->makeAddRepoModel();
    const QPointer<AddRepoModel> loading(model.get());
    auto *window = new AddRepoWindow(std::move(model));
    window->setAttribute(Qt::WA_DeleteOnClose);
    // The window last opened is the one sign-out closes; an earlier one stays open.
    m_addRepoWindow = window;
    loadModel(loading);
    centreAndRaise(window);
}

void AppDelegate::checkForUpdates() {
    closePopover();
    if (m_updater)
        m_updater->checkForUpdates();
}

void AppDelegate::signOut() {
    m_authManager->signOut();
    m_coordinator->stopAll();
    if (m_authWindow)
        m_authWindow->deleteLater();
    m_authWindow = nullptr;
    if (m_addRepoWindow)
        m_addRepoWindow->close();
    m_addRepoWindow = nullptr;
}

void AppDelegate::quit() {
    closePopover();
    m_coordinator->stopAll();
    QCoreApplication::quit();
}

} // namespace orvu
