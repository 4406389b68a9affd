#include "gui/account/auth_window.h"

#include "core/account/auth_manager.h"
#include "gui/views/view_style.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

// Every co_await below awaits a named task: GCC 12 destroys the temporaries of a co_await
// expression twice.

namespace orvu {

namespace {

constexpr int kWidth = 380;

QLineEdit *makeField(const QString &placeholder, const QString &accessibleName, QLabel *label,
                     QWidget *parent) {
    auto *field = new QLineEdit(parent);
    field->setPlaceholderText(placeholder);
    field->setAccessibleName(accessibleName);
    field->setMinimumHeight(style::kControlHeight);
    label->setBuddy(field);
    return field;
}

QPushButton *makeButton(const QString &text, QWidget *parent) {
    auto *button = new QPushButton(text, parent);
    button->setAutoDefault(true);
    button->setMinimumHeight(style::kControlHeight);
    return button;
}

// A field and its button on one line, the button as wide as `buttonWidth`.
QHBoxLayout *fieldRow(QLineEdit *field, QPushButton *button) {
    auto *row = new QHBoxLayout;
    row->setSpacing(style::kGap);
    row->addWidget(field, 1);
    row->addWidget(button);
    return row;
}

QString homeRelative(const QString &path) {
    const QString home = QDir::homePath();
    return path.startsWith(home + u'/') ? u'~' + path.mid(home.size()) : path;
}

} // namespace

AuthWindow::AuthWindow(AuthManager &authManager, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_authManager(authManager) {
    setWindowTitle(QStringLiteral("Sign In to Orvu"));
    setMinimumWidth(kWidth);
}

AuthWindow::~AuthWindow() = default;

void AuthWindow::setOfflineOutbox(const std::optional<QString> &outbox) {
    m_outbox = outbox;
}

void AuthWindow::setupUI() {
    if (m_emailField)
        return;
    // The content scrolls only when a large font on a small screen leaves no other way.
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *area = new QScrollArea(this);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setFocusPolicy(Qt::NoFocus);
    outer->addWidget(area);
    auto *content = new QWidget(area);
    area->setWidget(content);

    const QPalette palette = style::current();
    auto *layout = new QVBoxLayout(content);
    layout->setContentsMargins(style::kWindowMargin, style::kWindowMargin, style::kWindowMargin,
                               style::kWindowMargin);
    layout->setSpacing(0);

    // The window's own name, which the title bar also shows.
    auto *heading = new QLabel(QStringLiteral("Sign In to Orvu"), content);
    heading->setFont(style::title());
    layout->addWidget(heading);
    layout->addSpacing(style::kSection);

    auto *emailLabel = new QLabel(QStringLiteral("Email"), content);
    layout->addWidget(emailLabel);
    layout->addSpacing(style::kUnit);
    m_emailField =
        makeField(QStringLiteral("you@example.com"), QStringLiteral("Email"), emailLabel, content);
    m_emailField->setObjectName(QStringLiteral("emailField"));
    m_sendButton = makeButton(QStringLiteral("Send Magic Link"), content);
    m_sendButton->setObjectName(QStringLiteral("sendButton"));
    layout->addLayout(fieldRow(m_emailField, m_sendButton));

    layout->addSpacing(style::kSection);
    auto *separator = new QFrame(content);
    separator->setFixedHeight(1);
    separator->setAutoFillBackground(true);
    QPalette separatorPalette = separator->palette();
    separatorPalette.setColor(QPalette::Window, style::separator(palette));
    separator->setPalette(separatorPalette);
    layout->addWidget(separator);
    layout->addSpacing(style::kSection);

    auto *tokenLabel =
        new QLabel(QStringLiteral("Or paste the token from the email link"), content);
    tokenLabel->setWordWrap(true);
    style::setTextColor(tokenLabel, style::secondary(palette));
    layout->addWidget(tokenLabel);
    layout->addSpacing(style::kUnit);
    m_tokenField = makeField(QStringLiteral("magic link or token"),
                             QStringLiteral("Magic link or token"), tokenLabel, content);
    m_tokenField->setObjectName(QStringLiteral("tokenField"));
    m_verifyButton = makeButton(QStringLiteral("Verify"), content);
    m_verifyButton->setObjectName(QStringLiteral("verifyButton"));
    layout->addLayout(fieldRow(m_tokenField, m_verifyButton));

    // Both buttons as wide as the wider one, so the two fields line up.
    const int buttonWidth =
        std::max(m_sendButton->sizeHint().width(), m_verifyButton->sizeHint().width());
    m_sendButton->setFixedWidth(buttonWidth);
    m_verifyButton->setFixedWidth(buttonWidth);

    layout->addSpacing(style::kSection);
    m_statusLabel = new QLabel(content);
    // The tool's own error text is shown as it is, never read as markup.
    m_statusLabel->setTextFormat(Qt::PlainText);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    // A long refusal from the tool wraps instead of being cut; the window grows to hold it.
    m_statusLabel->setWordWrap(true);
    m_statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    style::setTextColor(m_statusLabel, style::secondary(palette));
    layout->addWidget(m_statusLabel);

    // Shown on the offline tool once a mail is "sent": where it is, and a way to it.
    m_mailBox = new QWidget(content);
    auto *mail = new QVBoxLayout(m_mailBox);
    mail->setContentsMargins(0, style::kGap, 0, 0);
    mail->setSpacing(style::kGap);
    m_mailNote = new QLabel(m_mailBox);
    m_mailNote->setObjectName(QStringLiteral("offlineMailNote"));
    m_mailNote->setTextFormat(Qt::PlainText);
    m_mailNote->setWordWrap(true);
    m_mailNote->setAlignment(Qt::AlignHCenter);
    m_mailNote->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_mailNote->setFont(style::caption());
    style::setTextColor(m_mailNote, style::secondary(palette));
    mail->addWidget(m_mailNote);
    auto *mailButtons = new QHBoxLayout;
    mailButtons->setSpacing(style::kGap);
    mailButtons->addStretch(1);
    auto *openMail = makeButton(QStringLiteral("Open the Mail"), m_mailBox);
    openMail->setObjectName(QStringLiteral("openMailButton"));
    auto *useLink = makeButton(QStringLiteral("Use the Link"), m_mailBox);
    useLink->setObjectName(QStringLiteral("useLinkButton"));
    mailButtons->addWidget(openMail);
    mailButtons->addWidget(useLink);
    mailButtons->addStretch(1);
    mail->addLayout(mailButtons);
    m_mailBox->hide();
    layout->addWidget(m_mailBox);

    connect(m_sendButton, &QPushButton::clicked, this, &AuthWindow::sendMagicLink);
    connect(m_emailField, &QLineEdit::returnPressed, this, &AuthWindow::sendMagicLink);
    connect(m_verifyButton, &QPushButton::clicked, this, &AuthWindow::verifyToken);
    connect(m_tokenField, &QLineEdit::returnPressed, this, &AuthWindow::verifyToken);
    connect(openMail, &QPushButton::clicked, this, [this] {
        if (!m_mail.path.isEmpty())
            QDesktopServices::openUrl(QUrl::fromLocalFile(m_mail.path));
    });
    connect(useLink, &QPushButton::clicked, this, [this] {
        m_tokenField->setText(m_mail.link);
        verifyToken();
    });
    setTabOrder(m_emailField, m_sendButton);
    setTabOrder(m_sendButton, m_tokenField);
    setTabOrder(m_tokenField, m_verifyButton);
    setTabOrder(m_verifyButton, openMail);
    setTabOrder(openMail, useLink);
    m_emailField->setFocus();
    // Two lines of status are kept free, so the common answers do not move the window.
    m_statusLabel->setMinimumHeight(2 * m_statusLabel->fontMetrics().lineSpacing());
    style::fitWindowToScreen(this);
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
    const bool *signedIn = std::get_if<bool>(&answer);
    if (signedIn && *signedIn)
        QTimer::singleShot(kCloseDelayMs, self, &QWidget::close);
    else if (signedIn)
        self->showOfflineMail(email);
}

void AuthWindow::showOfflineMail(const QString &email) {
    const std::optional<offline_outbox::Mail> mail =
        m_outbox ? offline_outbox::newestMail(*m_outbox, email) : std::nullopt;
    m_mail = mail.value_or(offline_outbox::Mail{});
    if (mail)
        m_mailNote->setText(
            QStringLiteral("No mail leaves this computer: the offline server put it in %1.")
                .arg(homeRelative(QFileInfo(mail->path).absolutePath())));
    if (m_mailBox->isVisible() != mail.has_value()) {
        m_mailBox->setVisible(mail.has_value());
        style::fitWindowToScreen(this);
    }
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
    style::setTextColor(
        m_statusLabel,
        statusColor(status.tone, m_statusLabel->palette().color(QPalette::WindowText), palette()));
    // A long answer may need more lines than the two kept free.
    if (m_statusLabel->heightForWidth(m_statusLabel->width()) > m_statusLabel->height())
        style::fitWindowToScreen(this);
}

} // namespace orvu
