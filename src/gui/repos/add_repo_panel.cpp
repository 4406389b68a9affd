#include "gui/repos/add_repo_panel.h"

#include "gui/repos/add_repo_texts.h"
#include "gui/views/panel_controls.h"
#include "gui/views/symbol.h"
#include "gui/views/view_style.h"

#include <QAbstractButton>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

namespace orvu {

namespace {

using Model = AddRepoModel;

constexpr int kRowHeight = 44;
constexpr int kListMaxHeight = 170;

// Text styles named after their roles, from the type scale the panel uses too.
enum class Style { Body, Headline, Subheadline, Callout, Caption, Caption2, Monospaced };

QFont styledFont(const QFont &base, Style role) {
    switch (role) {
    case Style::Body:
        return base;
    case Style::Headline:
        return style::headline();
    case Style::Subheadline:
        return style::subheadline(true);
    case Style::Callout:
        return style::callout();
    case Style::Caption:
    case Style::Caption2:
        return style::caption();
    case Style::Monospaced:
        break;
    }
    return style::monospacedCaption();
}

QColor secondaryColor(const QPalette &) {
    return style::secondary(style::current());
}
QColor tertiaryColor(const QPalette &) {
    return style::tertiary(style::current());
}
QColor separatorColor(const QPalette &) {
    return style::separator(style::current());
}
QColor tintColor(rules::Tint tint) {
    return style::tint(tint, style::current());
}

QColor withAlpha(QColor color, qreal alpha) {
    color.setAlphaF(alpha);
    return color;
}

void setTextColor(QWidget *widget, const QColor &color) {
    style::setTextColor(widget, color);
}

QLabel *label(const QString &text, Style role, QWidget *parent,
              std::optional<QColor> color = std::nullopt) {
    auto *result = new QLabel(text, parent);
    // Names and messages come from the server and the tool: never read them as markup.
    result->setTextFormat(Qt::PlainText);
    result->setFont(styledFont(parent->font(), role));
    result->setWordWrap(true);
    if (color)
        setTextColor(result, *color);
    return result;
}

QLabel *symbolLabel(const QString &name, const QColor &color, int size, QWidget *parent) {
    auto *result = new QLabel(parent);
    result->setPixmap(symbolPixmap(name, color, size, parent->devicePixelRatioF()));
    result->setFixedSize(size, size);
    result->setAccessibleName(QString()); // decoration: the text next to it says it all
    return result;
}

// A text after a symbol, both in one colour. The text label carries the identifier.
QWidget *symbolRow(const QString &symbol, const QString &text, Style role, const QColor &color,
                   const QString &identifier, QWidget *parent) {
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(style::kGap);
    auto *textLabel = label(text, role, row, color);
    textLabel->setObjectName(identifier);
    textLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    const int size = QFontMetrics(textLabel->font()).height();
    layout->addWidget(symbolLabel(symbol, color, size, row), 0, Qt::AlignTop);
    layout->addWidget(textLabel, 1);
    return row;
}

enum class ButtonStyle { Default, Prominent, Bordered };

// Every button of the window has the same padding and height; the prominent one is filled
// with the accent colour.
QPushButton *button(const QString &text, ButtonStyle look, const QString &identifier,
                    QWidget *parent) {
    auto *result = look == ButtonStyle::Prominent ? new ProminentButton(text, parent)
                                                  : new QPushButton(text, parent);
    result->setObjectName(identifier);
    // Return on a focused button presses it, as Space does.
    result->setAutoDefault(true);
    result->setDefault(look == ButtonStyle::Prominent);
    result->setMinimumHeight(style::kControlHeight);
    return result;
}

QVBoxLayout *column(QWidget *widget, int spacing) {
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    layout->setAlignment(Qt::AlignTop);
    return layout;
}

// Leading-aligned buttons in one row.
QHBoxLayout *buttonRow(std::initializer_list<QPushButton *> buttons) {
    auto *row = new QHBoxLayout;
    row->setSpacing(style::kGap);
    for (QPushButton *each : buttons)
        row->addWidget(each);
    row->addStretch(1);
    return row;
}

// One repo of step 1: name and address, visibility, chevron. Pressed by click, Space or
// Return; hover and focus show as a light fill.
class RepoRow : public QAbstractButton {
public:
    RepoRow(const RepoInfo &repo, QWidget *parent) : QAbstractButton(parent) {
        setObjectName(QStringLiteral("chooseRepo_") + repo.slug);
        setText(repo.name);
        setAccessibleDescription(QStringLiteral("/r/%1, %2").arg(repo.slug, repo.visibility));
        setFocusPolicy(Qt::StrongFocus);
        setAttribute(Qt::WA_Hover);
        setFixedHeight(kRowHeight - 1); // and a one-pixel divider below
        setCursor(Qt::PointingHandCursor);

        const QPalette palette = parent->palette();
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(3 * style::kUnit, style::kUnit, 3 * style::kUnit, style::kUnit);
        layout->setSpacing(style::kGap);
        auto *names = new QVBoxLayout;
        names->setSpacing(0);
        names->addWidget(label(repo.name, Style::Callout, this));
        names->addWidget(label(QStringLiteral("/r/") + repo.slug, Style::Caption, this,
                               secondaryColor(palette)));
        layout->addLayout(names, 1);

        auto *badge = label(repo.visibility, Style::Caption2, this);
        badge->setWordWrap(false);
        const int radius = QFontMetrics(badge->font()).height() / 2 + 1;
        badge->setStyleSheet(
            QStringLiteral("QLabel { color: %1; background: %2; border-radius: "
                           "%3px; padding: 1px 5px; }")
                .arg(secondaryColor(palette).name(QColor::HexArgb),
                     withAlpha(secondaryColor(palette), 0.15).name(QColor::HexArgb))
                .arg(radius));
        badge->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        layout->addWidget(badge, 0, Qt::AlignVCenter);
        layout->addWidget(symbolLabel(QStringLiteral("chevron.right"), tertiaryColor(palette),
                                      QFontMetrics(badge->font()).height(), this),
                          0, Qt::AlignVCenter);
        for (QLabel *child : findChildren<QLabel *>())
            child->setAttribute(Qt::WA_TransparentForMouseEvents);
        // Taller than the list's rows when a large font needs it; the list then scrolls.
        setFixedHeight(std::max(kRowHeight - 1, layout->sizeHint().height()));
    }

protected:
    // Hover fills the row; the keyboard focus rings it.
    void paintEvent(QPaintEvent *) override {
        if (isDown() || underMouse()) {
            QPainter painter(this);
            painter.fillRect(rect(), style::wash(style::current(), isDown() ? 0.14 : 0.08));
        }
        if (hasFocus())
            style::paintFocusRing(this, rect(), 4);
    }
    void keyPressEvent(QKeyEvent *event) override {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
            animateClick();
        else
            QAbstractButton::keyPressEvent(event);
    }
};

// The list's border: a rounded rectangle in the separator colour.
class RoundedFrame : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(separatorColor(palette()), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }
};

// A path on one line, shortened in the middle when it does not fit; the whole path is the
// tooltip and the accessible name.
class MiddleElidedLabel : public QLabel {
public:
    MiddleElidedLabel(QString text, QWidget *parent) : QLabel(parent), m_full(std::move(text)) {
        setTextFormat(Qt::PlainText);
        setToolTip(m_full.toHtmlEscaped());
        setAccessibleName(m_full);
        setMinimumWidth(1);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }

protected:
    void resizeEvent(QResizeEvent *event) override {
        QLabel::resizeEvent(event);
        setText(fontMetrics().elidedText(m_full, Qt::ElideMiddle, contentsRect().width()));
    }

private:
    QString m_full;
};

// The open panel. Made on the heap, not on the stack as the static QFileDialog functions do:
// if the window goes while the dialog runs (a sign-out closes it), the dialog goes with it and
// its event loop simply ends, instead of being deleted a second time when this returns.
QString chooseFolderWithDialog(QWidget *parent, const QString &title) {
    const QPointer<QFileDialog> dialog = new QFileDialog(parent, title, QDir::homePath());
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    if (!dialog)
        return {};
    const QStringList chosen = dialog->selectedFiles();
    delete dialog.data();
    return accepted && !chosen.isEmpty() ? chosen.first() : QString();
}

} // namespace

AddRepoPanel::AddRepoPanel(AddRepoModel &model, std::function<void()> onClose, QWidget *parent)
    : QWidget(parent), m_model(model), m_onClose(std::move(onClose)),
      m_chooseFolder(&chooseFolderWithDialog) {
    setMinimumWidth(kWidth);
    markAsTabOrderRoot(this);
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(style::kWindowMargin, style::kWindowMargin, style::kWindowMargin,
                                 style::kWindowMargin);
    m_layout->setSpacing(style::kSection);
    m_layout->addWidget(label(QStringLiteral("Add Repo"), Style::Headline, this));
    // The phase's content goes between the header and the buttons, which end the window as
    // in every dialog: going back on the left, Cancel and the step's own action on the right.
    m_footer = new QHBoxLayout;
    m_footer->setSpacing(style::kGap);
    m_footer->addStretch(1);
    m_cancel = button(QStringLiteral("Cancel"), ButtonStyle::Default,
                      QStringLiteral("addRepoCancel"), this);
    connect(m_cancel, &QPushButton::clicked, this, &AddRepoPanel::close);
    m_footer->addWidget(m_cancel);
    m_layout->addLayout(m_footer);
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            &AddRepoPanel::close);

    connect(&m_model, &AddRepoModel::changed, this, &AddRepoPanel::modelChanged);
    modelChanged();
}

AddRepoPanel::~AddRepoPanel() = default;

int AddRepoPanel::repoListHeight(qsizetype count) {
    return int(std::min<qsizetype>(count * kRowHeight + 4, kListMaxHeight));
}

void AddRepoPanel::modelChanged() {
    const Model::Phase &phase = m_model.phase();
    if (m_shownPhase != phase)
        showPhase(phase);
    if (m_nameField && m_nameField->text() != m_model.newRepoName())
        m_nameField->setText(m_model.newRepoName());
    if (m_urlPreview)
        m_urlPreview->setText(add_repo_text::urlPreview(m_model.newRepoName()));
    if (m_continueButton)
        m_continueButton->setEnabled(!Model::slugify(m_model.newRepoName()).isEmpty());
}

void AddRepoPanel::showPhase(const Model::Phase &phase) {
    m_shownPhase = phase;
    m_nameField = nullptr;
    m_urlPreview = nullptr;
    m_continueButton = nullptr;
    for (QPushButton *old : std::exchange(m_footerButtons, {})) {
        old->hide();
        m_footer->removeWidget(old);
        old->deleteLater();
    }
    if (m_content) {
        // The change may come from a click on one of the old controls, still on the stack:
        // take it out of the layout now and delete it once that click is over. It stays a
        // child, so it goes with the panel even if the event loop never comes back.
        m_content->hide();
        m_layout->removeWidget(m_content);
        m_content->deleteLater();
    }
    m_content = std::visit(
        [this](const auto &shown) -> QWidget * {
            using T = std::decay_t<decltype(shown)>;
            if constexpr (std::is_same_v<T, Model::Loading>)
                return buildProgress(QStringLiteral("Loading your repos..."));
            else if constexpr (std::is_same_v<T, Model::Binding>)
                return buildProgress(QStringLiteral("Binding folder..."));
            else if constexpr (std::is_same_v<T, Model::ChooseRepo>)
                return buildChooseRepo(shown.existing);
            else if constexpr (std::is_same_v<T, Model::ChooseFolder>)
                return buildChooseFolder(shown.target);
            else if constexpr (std::is_same_v<T, Model::RebindWarning>)
                return buildRebindWarning(shown);
            else if constexpr (std::is_same_v<T, Model::Done>)
                return buildDone(shown.repo);
            else
                return buildFailed(shown.message);
        },
        phase);
    m_layout->insertWidget(1, m_content);
    m_content->show();
    // Once added, there is nothing left to cancel.
    m_cancel->setVisible(!std::holds_alternative<Model::Done>(phase));
    if (std::holds_alternative<Model::Done>(phase))
        QTimer::singleShot(kDoneCloseDelayMs, this, &AddRepoPanel::close);
    // Tab goes through the phase's controls, then the buttons, as they read.
    requestVisualTabOrder(this);
    // The window takes the size of what it now shows.
    if (window() != this && window()->isWindow())
        style::fitWindowToScreen(window());
}

void AddRepoPanel::addToFooter(QPushButton *leading,
                               std::initializer_list<QPushButton *> trailing) {
    if (leading) {
        m_footer->insertWidget(0, leading);
        m_footerButtons.append(leading);
    }
    for (QPushButton *each : trailing) {
        m_footer->addWidget(each);
        m_footerButtons.append(each);
    }
}

QWidget *AddRepoPanel::buildProgress(const QString &text) {
    auto *content = new QWidget(this);
    auto *layout = new QHBoxLayout(content);
    layout->setContentsMargins(0, 5 * style::kUnit, 0, 5 * style::kUnit);
    layout->setSpacing(style::kGap);
    layout->addStretch(1);
    auto *indicator = new QProgressBar(content);
    indicator->setRange(0, 0);
    indicator->setTextVisible(false);
    indicator->setFixedSize(64, 10);
    indicator->setAccessibleName(text);
    layout->addWidget(indicator);
    layout->addWidget(label(text, Style::Callout, content, secondaryColor(palette())));
    layout->addStretch(1);
    return content;
}

QWidget *AddRepoPanel::buildChooseRepo(const QList<RepoInfo> &repos) {
    auto *content = new QWidget(this);
    QVBoxLayout *layout = column(content, style::kGap);
    layout->addWidget(label(QStringLiteral("1. Choose a repo"), Style::Subheadline, content));
    layout->addWidget(label(QStringLiteral("Pick one of your repos to sync (new or existing), then "
                                           "choose where it lives on this computer."),
                            Style::Caption, content, secondaryColor(palette())));
    if (repos.isEmpty()) {
        // True for a new user with no repos and for one whose repos are all added.
        QLabel *note = label(QStringLiteral("There are no repos to add yet. Name a new one below."),
                             Style::Caption, content, secondaryColor(palette()));
        note->setObjectName(QStringLiteral("addRepoAllBound"));
        layout->addWidget(note);
    } else {
        auto *frame = new RoundedFrame(content);
        frame->setFixedHeight(repoListHeight(repos.size()));
        auto *frameLayout = new QVBoxLayout(frame);
        frameLayout->setContentsMargins(2, 2, 2, 2);
        auto *scroll = new QScrollArea(frame);
        scroll->setObjectName(QStringLiteral("addRepoList"));
        scroll->setFocusPolicy(Qt::NoFocus); // its rows take the focus
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setWidgetResizable(true);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll->viewport()->setAutoFillBackground(false);
        auto *rows = new QWidget(scroll);
        rows->setAutoFillBackground(false);
        QVBoxLayout *rowsLayout = column(rows, 0);
        for (const RepoInfo &repo : repos) {
            auto *row = new RepoRow(repo, rows);
            connect(row, &QAbstractButton::clicked, this,
                    [this, repo] { m_model.chooseRepo(repo); });
            rowsLayout->addWidget(row);
            auto *divider = new QFrame(rows);
            divider->setFixedHeight(1);
            divider->setAutoFillBackground(true);
            QPalette dividerPalette = divider->palette();
            dividerPalette.setColor(QPalette::Window, separatorColor(palette()));
            divider->setPalette(dividerPalette);
            rowsLayout->addWidget(divider);
        }
        scroll->setWidget(rows);
        frameLayout->addWidget(scroll);
        layout->addWidget(frame);
    }

    layout->addSpacing(style::kGap);
    QLabel *orCreate = label(repos.isEmpty() ? QStringLiteral("Create a new repo")
                                             : QStringLiteral("Or create a new repo"),
                             Style::Subheadline, content);
    layout->addWidget(orCreate);
    m_nameField = new QLineEdit(m_model.newRepoName(), content);
    m_nameField->setObjectName(QStringLiteral("addRepoNameField"));
    m_nameField->setPlaceholderText(QStringLiteral("New repo name"));
    m_nameField->setAccessibleName(QStringLiteral("New repo name"));
    m_nameField->setMinimumHeight(style::kControlHeight);
    orCreate->setBuddy(m_nameField);
    // textChanged, not textEdited: a screen reader or a paste may set the text as a whole.
    connect(m_nameField, &QLineEdit::textChanged, &m_model, &AddRepoModel::setNewRepoName);
    layout->addWidget(m_nameField);
    m_urlPreview = label(add_repo_text::urlPreview(m_model.newRepoName()), Style::Caption, content,
                         secondaryColor(palette()));
    m_urlPreview->setObjectName(QStringLiteral("addRepoURLPreview"));
    layout->addWidget(m_urlPreview);
    m_continueButton = button(QStringLiteral("Continue"), ButtonStyle::Prominent,
                              QStringLiteral("addRepoCreateButton"), content);
    m_continueButton->setEnabled(!Model::slugify(m_model.newRepoName()).isEmpty());
    connect(m_continueButton, &QPushButton::clicked, &m_model, &AddRepoModel::continueWithNewRepo);
    connect(m_nameField, &QLineEdit::returnPressed, this, [this] {
        if (m_continueButton && m_continueButton->isEnabled())
            m_continueButton->click();
    });
    addToFooter(nullptr, {m_continueButton});
    m_nameField->setFocus();
    return content;
}

QWidget *AddRepoPanel::buildChooseFolder(const Model::BindTarget &target) {
    const QString name = Model::targetName(target);
    auto *content = new QWidget(this);
    QVBoxLayout *layout = column(content, style::kGap);
    layout->addWidget(label(add_repo_text::folderQuestion(name), Style::Subheadline, content));
    layout->addWidget(
        label(QStringLiteral("A folder on this computer to sync with the repo. If the "
                             "repo already has files, the first Sync downloads them "
                             "here."),
              Style::Caption, content, secondaryColor(palette())));

    auto *folderRow = new QHBoxLayout;
    folderRow->setContentsMargins(0, style::kUnit, 0, style::kUnit);
    folderRow->setSpacing(style::kGap);
    auto *path = new MiddleElidedLabel(
        add_repo_text::displayPath(m_model.suggestedFolder(target), QDir::homePath()), content);
    path->setObjectName(QStringLiteral("addRepoFolderPath"));
    path->setFont(styledFont(font(), Style::Monospaced));
    setTextColor(path, secondaryColor(palette()));
    folderRow->addWidget(symbolLabel(QStringLiteral("folder"), secondaryColor(palette()),
                                     QFontMetrics(path->font()).height(), content));
    folderRow->addWidget(path, 1);
    layout->addLayout(folderRow);

    QPushButton *use = button(QStringLiteral("Use this folder"), ButtonStyle::Prominent,
                              QStringLiteral("addRepoUseFolder"), content);
    connect(use, &QPushButton::clicked, this, [this, target] { useSuggestedFolder(target); });
    QPushButton *choose =
        button(QStringLiteral("Choose a different folder…"), ButtonStyle::Bordered,
               QStringLiteral("addRepoChooseFolder"), content);
    connect(choose, &QPushButton::clicked, this, [this, target] { chooseOtherFolder(target); });
    layout->addLayout(buttonRow({choose}));
    QPushButton *back = button(QStringLiteral("Back"), ButtonStyle::Default,
                               QStringLiteral("addRepoBackToRepo"), content);
    connect(back, &QPushButton::clicked, &m_model, &AddRepoModel::load);
    addToFooter(back, {use});
    use->setFocus();
    return content;
}

QWidget *AddRepoPanel::buildRebindWarning(const Model::RebindWarning &warning) {
    auto *content = new QWidget(this);
    QVBoxLayout *layout = column(content, style::kGap);
    layout->addWidget(symbolRow(QStringLiteral("exclamationmark.triangle"),
                                QStringLiteral("Replace existing link?"), Style::Subheadline,
                                tintColor(rules::Tint::orange),
                                QStringLiteral("addRepoRebindTitle"), content));
    layout->addWidget(
        label(add_repo_text::rebindMessage(warning.currentLink, Model::targetName(warning.target)),
              Style::Callout, content, secondaryColor(palette())));
    QPushButton *back = button(QStringLiteral("Back"), ButtonStyle::Default,
                               QStringLiteral("addRepoRebindBack"), content);
    connect(back, &QPushButton::clicked, &m_model, &AddRepoModel::load);
    QPushButton *replace = button(QStringLiteral("Replace link"), ButtonStyle::Prominent,
                                  QStringLiteral("addRepoRebindConfirm"), content);
    connect(replace, &QPushButton::clicked, this, [this, warning] {
        m_model.bind(warning.target, warning.folderPath, warning.bookmark, true);
    });
    addToFooter(back, {replace});
    // Return keeps the link as it is; replacing it takes a deliberate choice.
    back->setFocus();
    return content;
}

QWidget *AddRepoPanel::buildDone(const RepoInfo &repo) {
    return symbolRow(QStringLiteral("checkmark.circle.fill"), QStringLiteral("Added ") + repo.name,
                     Style::Body, tintColor(rules::Tint::green), QStringLiteral("addRepoDone"),
                     this);
}

QWidget *AddRepoPanel::buildFailed(const QString &message) {
    auto *content = new QWidget(this);
    QVBoxLayout *layout = column(content, style::kGap);
    layout->addWidget(symbolRow(QStringLiteral("exclamationmark.triangle"), message, Style::Callout,
                                tintColor(rules::Tint::red), QStringLiteral("addRepoError"),
                                content));
    QPushButton *startOver = button(QStringLiteral("Start over"), ButtonStyle::Bordered,
                                    QStringLiteral("addRepoStartOver"), content);
    connect(startOver, &QPushButton::clicked, &m_model, &AddRepoModel::load);
    addToFooter(nullptr, {startOver});
    startOver->setFocus();
    return content;
}

void AddRepoPanel::useSuggestedFolder(const Model::BindTarget &target) {
    const QString folder = m_model.suggestedFolder(target);
    // An existing folder is fine; one that cannot be made is reported by the tool's bind.
    QDir().mkpath(folder);
    m_model.useFolder(target, folder, m_folderAccess.makeBookmark(folder));
}

void AddRepoPanel::chooseOtherFolder(const Model::BindTarget &target) {
    const QPointer<AddRepoPanel> self(this);
    // A copy: the panel, and with it m_chooseFolder, may be gone when the chooser returns.
    const FolderChooser choose = m_chooseFolder;
    const QString folder = choose(this, add_repo_text::chooserTitle(Model::targetName(target)));
    // The dialog runs its own event loop; a sign-out may have closed the window meanwhile.
    if (!self || folder.isEmpty())
        return;
    m_model.useFolder(target, folder, m_folderAccess.makeBookmark(folder));
}

void AddRepoPanel::close() {
    if (m_onClose)
        m_onClose();
}

} // namespace orvu
