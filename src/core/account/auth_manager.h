#pragma once

#include "core/account/auth_error.h"
#include "core/account/auth_state.h"
#include "core/account/cli_auth_running.h"
#include "core/account/user.h"
#include "core/platform/settings_store.h"

#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <memory>
#include <optional>
#include <variant>

namespace orvu {

// Owner of the sign-in state. The tool holds the credential; this class asks it, keeps the
// answer, and remembers the signed-in address across launches. Lives on the main thread, and
// every change of the three published values is announced there.
class AuthManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(orvu::AuthState authState READ authState NOTIFY authStateChanged)
    Q_PROPERTY(bool isAuthenticated READ isAuthenticated NOTIFY isAuthenticatedChanged)
    Q_PROPERTY(std::optional<orvu::User> currentUser READ currentUser NOTIFY currentUserChanged)

public:
    static inline const QString kUserEmailKey = QStringLiteral("userEmail");
    static inline const QString kUsernameKey = QStringLiteral("username");

    // $HOME/.config/orvu/auth_token, where an older installation kept its token.
    static QString defaultLegacyTokenPath();

    // Missing dependencies are the real ones: the tool against the default server, and the
    // user's settings file.
    explicit AuthManager(std::shared_ptr<CLIAuthRunning> cli = nullptr,
                         std::shared_ptr<SettingsStore> settings = nullptr,
                         std::optional<QString> legacyTokenPath = defaultLegacyTokenPath(),
                         QObject *parent = nullptr);

    const AuthState &authState() const { return m_authState; }
    bool isAuthenticated() const { return m_isAuthenticated; }
    const std::optional<User> &currentUser() const { return m_currentUser; }

    // Asks the tool to mail a magic link. true when the tool reports the user signed in at
    // once, false when a link was sent (then the state awaits verification of that address).
    QCoro::Task<std::variant<bool, SignInFailure>> requestMagicLink(QString email);

    // Hands the tool a token, or a whole pasted link. nullopt once signed in.
    QCoro::Task<std::optional<SignInFailure>> verify(QString token);

    // At launch: signed in at once when an address is stored, then, in the background, takes
    // over a legacy token and asks the tool who is really signed in.
    void restoreSignIn();

    // Once: hands a token left by an older installation to the tool and deletes the file.
    // Changes no state.
    QCoro::Task<> migrateLegacyToken();

    // Asks the tool who is signed in and follows its answer: signed in, or signed out when the
    // tool says nobody is (exit 2, or 0 without a signed-in line) or cannot be started. Other
    // failures keep the state; so does any sign-in or sign-out made while the tool was asked.
    QCoro::Task<> checkSignIn();

    // Signed out at once; the tool's own logout runs in the background and is not waited for.
    void signOut();

    void applySignedIn(const QString &email, const std::optional<QString> &username);
    void clearSignIn();

signals:
    void authStateChanged(const orvu::AuthState &state);
    void isAuthenticatedChanged(bool isAuthenticated);
    void currentUserChanged(const std::optional<orvu::User> &user);

private:
    QCoro::Task<> migrateThenCheck();

    void setAuthState(const AuthState &state);
    void setIsAuthenticated(bool value);
    void setCurrentUser(const std::optional<User> &user);
    void setSignedInValues(const User &user);
    void setSignedOutValues();

    std::shared_ptr<CLIAuthRunning> m_cli;
    std::shared_ptr<SettingsStore> m_settings;
    std::optional<QString> m_legacyTokenPath;

    AuthState m_authState;
    bool m_isAuthenticated = false;
    std::optional<User> m_currentUser;
    // Counts sign-ins and sign-outs, so a check can tell that its answer came too late.
    quint64 m_stateGeneration = 0;
};

} // namespace orvu
