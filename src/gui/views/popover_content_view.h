#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <utility>

namespace orvu {

class AuthManager;
class SignedInMultiRepoView;
class SignedOutPopoverView;
class SyncCoordinator;
struct ViewServices;

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
// the sign-in state and kept current from the models' change signals. Fixed width 360; its
// height follows the content, so the hosting window should let its layout size it
// (QLayout::SetFixedSize).
class PopoverContentView : public QWidget {
    Q_OBJECT
public:
    PopoverContentView(AuthManager &authManager, SyncCoordinator &coordinator,
                       PopoverCallbacks callbacks, QWidget *parent = nullptr);
    ~PopoverContentView() override;

    // The file manager and the confirmations the rows use; tests replace or answer them.
    ViewServices &services() const { return *m_services; }

    // One of these is shown, the other is null.
    SignedInMultiRepoView *signedInView() const { return m_signedIn; }
    SignedOutPopoverView *signedOutView() const { return m_signedOut; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void showContentForAuthState();
    void rebuildContent();
    void retireContent();

    AuthManager &m_authManager;
    SyncCoordinator &m_coordinator;
    PopoverCallbacks m_callbacks;
    std::unique_ptr<ViewServices> m_services;
    SignedInMultiRepoView *m_signedIn = nullptr;
    SignedOutPopoverView *m_signedOut = nullptr;
    // The window and text colours the content was built with.
    std::pair<QRgb, QRgb> m_builtForColors;
    // The tallest the content has been since the panel opened.
    mutable int m_tallest = 0;
};

} // namespace orvu
