#include "gui/account/auth_window.h"

#include "core/account/auth_manager.h"

namespace orvu {

AuthWindow::AuthWindow(AuthManager &authManager, QWidget *parent)
    : QWidget(parent), m_authManager(authManager) {
    setWindowTitle(QStringLiteral("Sign In to Orvu"));
    setFixedSize(380, 280);
}

AuthWindow::~AuthWindow() = default;

void AuthWindow::setupUI() {}

} // namespace orvu
