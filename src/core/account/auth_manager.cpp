#include "core/account/auth_manager.h"

#include "core/account/auth_output.h"
#include "core/account/cli_auth.h"
#include "core/account/legacy_token_file.h"
#include "core/cli/tool_commands.h"
#include "core/platform/qsettings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

namespace orvu {

namespace {

const CLIAuthResult *completed(const RunOutcome &outcome) {
    return std::get_if<CLIAuthResult>(&outcome);
}

// The auth line of a run that exited with 0 and reports someone signed in.
std::optional<auth_output::AuthLine> signedInLine(const CLIAuthResult &result) {
    if (result.exitCode != tool::kExitSuccess)
        return std::nullopt;
    auto line = auth_output::findAuthLine(result.standardOutput);
    if (!line || !line->signedIn)
        return std::nullopt;
    return line;
}

// Fire and forget: nobody waits for the answer, and the frame keeps the tool access alive.
QCoro::Task<> runIgnoringResult(std::shared_ptr<CLIAuthRunning> cli, QStringList arguments) {
    QCoro::Task<RunOutcome> run = cli->run(std::move(arguments));
    co_await run;
}

// The failure of a sign-in step's run: the launch error, or the tool's refusal.
std::optional<SignInFailure> failureOf(const RunOutcome &outcome) {
    if (const auto *launch = std::get_if<LaunchError>(&outcome))
        return SignInFailure(*launch);
    const CLIAuthResult &result = std::get<CLIAuthResult>(outcome);
    if (result.exitCode != tool::kExitSuccess)
        return SignInFailure(auth_output::failureOf(result));
    return std::nullopt;
}

} // namespace

QString AuthManager::defaultLegacyTokenPath() {
    return QDir::homePath() + QStringLiteral("/.config/orvu/auth_token");
}

AuthManager::AuthManager(std::shared_ptr<CLIAuthRunning> cli,
                         std::shared_ptr<SettingsStore> settings,
                         std::optional<QString> legacyTokenPath, QObject *parent)
    : QObject(parent), m_cli(std::move(cli)), m_settings(std::move(settings)),
      m_legacyTokenPath(std::move(legacyTokenPath)) {
    if (!m_cli)
        m_cli = std::make_shared<CLIAuth>(tool::kDefaultServerURL);
    if (!m_settings)
        m_settings = std::make_shared<QSettingsStore>();
}

QCoro::Task<std::variant<bool, SignInFailure>> AuthManager::requestMagicLink(QString email) {
    const QPointer<AuthManager> self(this);
    const std::shared_ptr<CLIAuthRunning> cli = m_cli;
    QCoro::Task<RunOutcome> run = cli->run(tool::loginWithEmail(email));
    const RunOutcome outcome = co_await run;

    std::variant<bool, SignInFailure> answer;
    if (auto failure = failureOf(outcome)) {
        answer = std::move(*failure);
        co_return answer;
    }
    const CLIAuthResult *result = completed(outcome);

    const auto line = auth_output::findAuthLine(result->standardOutput);
    if (line && line->signedIn) {
        if (self)
            self->applySignedIn(line->email, line->username);
        answer = true;
        co_return answer;
    }
    if (self) {
        self->setAuthState(AuthState::awaitingVerification(line ? line->email : email));
        // The address the user typed, not the tool's spelling of it.
        self->m_settings->setString(kUserEmailKey, email);
    }
    answer = false;
    co_return answer;
}

QCoro::Task<std::optional<SignInFailure>> AuthManager::verify(QString token) {
    const QPointer<AuthManager> self(this);
    const std::shared_ptr<CLIAuthRunning> cli = m_cli;
    // A whole pasted link goes to the tool as it is: taking it apart is the tool's business.
    QCoro::Task<RunOutcome> run = cli->run(tool::loginWithVerification(token));
    const RunOutcome outcome = co_await run;

    std::optional<SignInFailure> failure = failureOf(outcome);
    if (!failure) {
        const auto line = auth_output::findAuthLine(completed(outcome)->standardOutput);
        if (line && line->signedIn) {
            if (self)
                self->applySignedIn(line->email, line->username);
        } else {
            failure = AuthError::unexpectedResponse();
        }
    }
    co_return failure;
}

void AuthManager::restoreSignIn() {
    if (const auto email = m_settings->string(kUserEmailKey)) {
        // Shown as signed in before the tool has been asked; checkSignIn() has the last word.
        setSignedInValues(User::signInUser(*email, m_settings->string(kUsernameKey)));
    }
    migrateThenCheck();
}

QCoro::Task<> AuthManager::migrateThenCheck() {
    const QPointer<AuthManager> self(this);
    QCoro::Task<> migration = migrateLegacyToken();
    co_await migration;
    if (self) {
        QCoro::Task<> check = self->checkSignIn();
        co_await check;
    }
}

QCoro::Task<> AuthManager::migrateLegacyToken() {
    if (!m_legacyTokenPath || !QFileInfo::exists(*m_legacyTokenPath))
        co_return;
    const QString path = *m_legacyTokenPath;
    const std::shared_ptr<CLIAuthRunning> cli = m_cli;

    QCoro::Task<RunOutcome> whoamiRun = cli->run(tool::whoami());
    const RunOutcome whoami = co_await whoamiRun;
    const CLIAuthResult *result = completed(whoami);
    const bool toolSignedIn = result && result->exitCode == tool::kExitSuccess;
    if (!toolSignedIn) {
        QFuture<std::optional<QString>> reading = QtConcurrent::run(readLegacyToken, path);
        const std::optional<QString> token = co_await reading;
        if (token && !token->isEmpty()) {
            QCoro::Task<RunOutcome> login = cli->run(tool::loginWithToken(*token));
            co_await login;
        }
    }
    // Taken over or not, the file has had its one chance.
    QFile::remove(path);
}

QCoro::Task<> AuthManager::checkSignIn() {
    const QPointer<AuthManager> self(this);
    const std::shared_ptr<CLIAuthRunning> cli = m_cli;
    const quint64 startedAt = m_stateGeneration;
    QCoro::Task<RunOutcome> run = cli->run(tool::whoami());
    const RunOutcome outcome = co_await run;
    // A sign-out or sign-in made meanwhile is newer than this answer.
    if (!self || self->m_stateGeneration != startedAt)
        co_return;

    const CLIAuthResult *result = completed(outcome);
    if (const auto line = result ? signedInLine(*result) : std::nullopt) {
        self->applySignedIn(line->email, line->username);
        co_return;
    }
    // Only a definite "nobody" signs out; a tool that could not reach the server, crashed or
    // failed otherwise leaves the sign-in as it was.
    const bool definite = !result || result->exitCode == tool::kExitSuccess ||
                          result->exitCode == tool::kExitAuthRequired;
    if (definite)
        self->clearSignIn();
}

void AuthManager::signOut() {
    ++m_stateGeneration;
    runIgnoringResult(m_cli, tool::logout());
    m_settings->remove(kUserEmailKey);
    m_settings->remove(kUsernameKey);
    setSignedOutValues();
}

void AuthManager::applySignedIn(const QString &email, const std::optional<QString> &username) {
    ++m_stateGeneration;
    setSignedInValues(User::signInUser(email, username));
    m_settings->setString(kUserEmailKey, email);
    if (username)
        m_settings->setString(kUsernameKey, *username);
    else
        m_settings->remove(kUsernameKey);
}

void AuthManager::clearSignIn() {
    ++m_stateGeneration;
    setSignedOutValues();
    m_settings->remove(kUserEmailKey);
    m_settings->remove(kUsernameKey);
}

void AuthManager::setSignedInValues(const User &user) {
    setCurrentUser(user);
    setIsAuthenticated(true);
    setAuthState(AuthState::signedIn(user));
}

void AuthManager::setSignedOutValues() {
    setCurrentUser(std::nullopt);
    setIsAuthenticated(false);
    setAuthState(AuthState::signedOut());
}

void AuthManager::setAuthState(const AuthState &state) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_authState == state)
        return;
    m_authState = state;
    emit authStateChanged(m_authState);
}

void AuthManager::setIsAuthenticated(bool value) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_isAuthenticated == value)
        return;
    m_isAuthenticated = value;
    emit isAuthenticatedChanged(m_isAuthenticated);
}

void AuthManager::setCurrentUser(const std::optional<User> &user) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_currentUser == user)
        return;
    m_currentUser = user;
    emit currentUserChanged(m_currentUser);
}

} // namespace orvu
