#include "gui/account/auth_window.h"

#include "core/account/auth_manager.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

// Every co_await below awaits a named task: GCC 12 destroys the temporaries of a co_await
// expression twice.

namespace orvu {

namespace {

constexpr int kWidth = 380;
constexpr int kHeight = 280;

// Sizes are given against a 13-point body text and scaled from the desktop's own font, so the
// proportions hold whatever size the user reads at.
QFont scaledFont(const QFont &base, qreal size, QFont::Weight weight = QFont::Normal) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * size / 13.0);
    font.setWeight(weight);
    return font;
}

QColor secondaryColor(const QPalette &palette) {
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(0.6);
    return color;
}

void setTextColor(QWidget *widget, const QColor &color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

QLineEdit *makeField(const QString &placeholder, const QString &accessibleName, QLabel *label,
                     QWidget *parent) {
    auto *field = new QLineEdit(parent);
    field->setPlaceholderText(placeholder);
    field->setAccessibleName(accessibleName);
    label->setBuddy(field);
    return field;
}

QPushButton *makeButton(const QString &text, QWidget *parent) {
    auto *button = new QPushButton(text, parent);
    button->setFont(scaledFont(parent->font(), 11));
    button->setAutoDefault(true);
    return button;
}

} // namespace

AuthWindow::AuthWindow(AuthManager &authManager, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_authManager(authManager) {
    setWindowTitle(QStringLiteral("Sign In to Orvu"));
    setFixedSize(kWidth, kHeight);
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

AuthWindow::~AuthWindow() = default;

void AuthWindow::setupUI() {
    if (m_emailField)
        return;
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 20);
    layout->setSpacing(0);

    auto *heading = new QLabel(QStringLiteral("Sign in to Orvu"), this);
    heading->setFont(scaledFont(font(), 18, QFont::DemiBold));
    layout->addWidget(heading);
    layout->addSpacing(16);

    auto *emailLabel = new QLabel(QStringLiteral("Email"), this);
    layout->addWidget(emailLabel);
    layout->addSpacing(6);
    auto *emailRow = new QHBoxLayout;
    emailRow->setSpacing(6);
    m_emailField =
        makeField(QStringLiteral("you@example.com"), QStringLiteral("Email"), emailLabel, this);
    m_emailField->setObjectName(QStringLiteral("emailField"));
    m_sendButton = makeButton(QStringLiteral("Send Magic Link"), this);
    m_sendButton->setObjectName(QStringLiteral("sendButton"));
    emailRow->addWidget(m_emailField, 1);
    emailRow->addWidget(m_sendButton);
    layout->addLayout(emailRow);

    layout->addSpacing(18);
    // A hairline in a faint shade of the text colour, which reads on light and dark themes.
    auto *separator = new QFrame(this);
    separator->setFixedHeight(1);
    separator->setAutoFillBackground(true);
    QColor hairline = palette().color(QPalette::WindowText);
    hairline.setAlphaF(0.18);
    QPalette separatorPalette = separator->palette();
    separatorPalette.setColor(QPalette::Window, hairline);
    separator->setPalette(separatorPalette);
    layout->addWidget(separator);
    layout->addSpacing(14);

    auto *tokenLabel = new QLabel(QStringLiteral("Or paste the token from the email link"), this);
    setTextColor(tokenLabel, secondaryColor(palette()));
    layout->addWidget(tokenLabel);
    layout->addSpacing(6);
    auto *tokenRow = new QHBoxLayout;
    tokenRow->setSpacing(6);
    m_tokenField = makeField(QStringLiteral("magic link or token"),
                             QStringLiteral("Magic link or token"), tokenLabel, this);
    m_tokenField->setObjectName(QStringLiteral("tokenField"));
    m_verifyButton = makeButton(QStringLiteral("Verify"), this);
    m_verifyButton->setObjectName(QStringLiteral("verifyButton"));
    tokenRow->addWidget(m_tokenField, 1);
    tokenRow->addWidget(m_verifyButton);
    layout->addLayout(tokenRow);

    // Both buttons as wide as the wider one, so the two fields line up.
    const int buttonWidth =
        std::max(m_sendButton->sizeHint().width(), m_verifyButton->sizeHint().width());
    m_sendButton->setFixedWidth(buttonWidth);
    m_verifyButton->setFixedWidth(buttonWidth);

    layout->addSpacing(20);
    m_statusLabel = new QLabel(this);
    // The tool's own error text is shown as it is, never read as markup.
    m_statusLabel->setTextFormat(Qt::PlainText);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    // A long refusal from the tool wraps into the free space below rather than being cut.
    m_statusLabel->setWordWrap(true);
    m_statusLabel->setFont(scaledFont(font(), 12));
    m_statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setTextColor(m_statusLabel, secondaryColor(palette()));
    layout->addWidget(m_statusLabel, 1);

    connect(m_sendButton, &QPushButton::clicked, this, &AuthWindow::sendMagicLink);
    connect(m_emailField, &QLineEdit::returnPressed, this, &AuthWindow::sendMagicLink);
    connect(m_verifyButton, &QPushButton::clicked, this, &AuthWindow::verifyToken);
    connect(m_tokenField, &QLineEdit::returnPressed, this, &AuthWindow::verifyToken);
    setTabOrder(m_emailField, m_sendButton);
    setTabOrder(m_sendButton, m_tokenField);
    setTabOrder(m_tokenField, m_verifyButton);
    m_emailField->setFocus();
}

void AuthWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    raise();
    activateWindow();
}

void AuthWindow::sendMagicLink() {
    const QString email = m_emailField->text().trimmed();
    // Also ignored while a request runs: Return in the field must not start a second one.
    if (email.isEmpty() || !m_sendButton->isEnabled())
        return;
    m_sendButton->setEnabled(false);
    showStatus(startedStatus(SignInStep::SendLink));
    runSendMagicLink(email);
}

void AuthWindow::verifyToken() {
    // A whole pasted link is handed on as it is: taking it apart is the tool's business.
    const QString token = m_tokenField->text().trimmed();
    if (token.isEmpty() || !m_verifyButton->isEnabled())
        return;
    m_verifyButton->setEnabled(false);
    showStatus(startedStatus(SignInStep::Verify));
    runVerify(token);
}

QCoro::Task<> AuthWindow::runSendMagicLink(QString email) {
    const QPointer<AuthWindow> self(this);
    QCoro::Task<std::variant<bool, SignInFailure>> request = m_authManager.requestMagicLink(email);
    const std::variant<bool, SignInFailure> answer = co_await request;
    if (!self)
        co_return;
    self->showStatus(sendLinkStatus(answer));
    self->m_sendButton->setEnabled(true);
    if (const bool *signedIn = std::get_if<bool>(&answer); signedIn && *signedIn)
        QTimer::singleShot(kCloseDelayMs, self, &QWidget::close);
}

QCoro::Task<> AuthWindow::runVerify(QString token) {
    const QPointer<AuthWindow> self(this);
    QCoro::Task<std::optional<SignInFailure>> verification = m_authManager.verify(token);
    const std::optional<SignInFailure> failure = co_await verification;
    if (!self)
        co_return;
    self->showStatus(verifyStatus(failure));
    self->m_verifyButton->setEnabled(true);
    if (!failure)
        QTimer::singleShot(kCloseDelayMs, self, &QWidget::close);
}

void AuthWindow::showStatus(const SignInStatus &status) {
    m_statusLabel->setText(status.text);
    setTextColor(
        m_statusLabel,
        statusColor(status.tone, m_statusLabel->palette().color(QPalette::WindowText), palette()));
}

} // namespace orvu
