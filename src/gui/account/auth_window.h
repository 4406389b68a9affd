#pragma once

#include <QWidget>

namespace orvu {

class AuthManager;

// The sign-in window: an e-mail address for a magic link, or a token or whole link pasted
// from it. The app keeps one until the user signs out, so its fields survive being hidden.
class AuthWindow : public QWidget {
    Q_OBJECT
public:
    explicit AuthWindow(AuthManager &authManager, QWidget *parent = nullptr);
    ~AuthWindow() override;

    // Builds the window's contents; called once, after construction.
    void setupUI();

private:
    AuthManager &m_authManager;
};

} // namespace orvu
