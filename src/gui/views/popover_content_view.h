#pragma once

#include <QWidget>

#include <functional>
#include <memory>

namespace orvu {

class AuthManager;
class SyncCoordinator;

// What the panel's controls ask of the app; each is called on the main thread, and the app
// closes the panel before it acts.
struct PopoverCallbacks {
    std::function<void()> onSignIn;
    std::function<void()> onAddRepo;
    std::function<void()> onSignOut;
    std::function<void()> onCheckForUpdates;
    std::function<void()> onQuit;
};

// The panel's whole content: the signed-out view or the signed-in list of repos, chosen from
// the sign-in state and kept current from the models' change signals. Fixed width 360.
class PopoverContentView : public QWidget {
    Q_OBJECT
public:
    PopoverContentView(AuthManager &authManager, SyncCoordinator &coordinator,
                       PopoverCallbacks callbacks, QWidget *parent = nullptr);
    ~PopoverContentView() override;

private:
    AuthManager &m_authManager;
    SyncCoordinator &m_coordinator;
    PopoverCallbacks m_callbacks;
};

} // namespace orvu
