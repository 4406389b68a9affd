#pragma once

#include "gui/account/offline_outbox.h"
#include "gui/account/sign_in_status.h"

#include <QWidget>

#include <QCoro/QCoroTask>

class QLabel;
class QLineEdit;
class QPushButton;

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

    // Where the bundled offline tool leaves its sign-in mail; when set, "Check your email!"
    // comes with where the mail is and a way to open it or use its link.
    void setOfflineOutbox(const std::optional<QString> &outbox);

    // The actions of the two buttons (and of Return in their fields).
    void sendMagicLink();
    void verifyToken();

    // How long "Signed in!" stays before the window closes.
    static constexpr int kCloseDelayMs = 500;

protected:
    void showEvent(QShowEvent *event) override;

private:
    QCoro::Task<> runSendMagicLink(QString email);
    QCoro::Task<> runVerify(QString token);
    void showStatus(const SignInStatus &status);
    void showOfflineMail(const QString &email);

    AuthManager &m_authManager;
    QLineEdit *m_emailField = nullptr;
    QLineEdit *m_tokenField = nullptr;
    QLabel *m_statusLabel = nullptr;
    QPushButton *m_sendButton = nullptr;
    QPushButton *m_verifyButton = nullptr;
    std::optional<QString> m_outbox;
    offline_outbox::Mail m_mail;
    QWidget *m_mailBox = nullptr;
    QLabel *m_mailNote = nullptr;
};

} // namespace orvu
