#include "gui/views/popover_content_view.h"

#include "core/account/auth_manager.h"
#include "core/bindings/sync_coordinator.h"
#include "core/sync/sync_engine.h"
#include "gui/platform/freedesktop_file_manager.h"
#include "gui/views/panel_controls.h"
#include "gui/views/repo_row_view.h"
#include "gui/views/signed_in_multi_repo_view.h"
#include "gui/views/signed_out_popover_view.h"
#include "gui/views/view_services.h"
#include "gui/views/view_style.h"

#include <QVBoxLayout>

namespace orvu {

namespace {

constexpr int kPanelWidth = 360;

} // namespace

PopoverContentView::PopoverContentView(AuthManager &authManager, SyncCoordinator &coordinator,
                                       PopoverCallbacks callbacks, QWidget *parent)
    : QWidget(parent), m_authManager(authManager), m_coordinator(coordinator),
      m_callbacks(std::move(callbacks)), m_services(std::make_unique<ViewServices>()) {
    m_services->fileRevealing = std::make_unique<FreedesktopFileManager>();
    setFixedWidth(kPanelWidth);
    setAutoFillBackground(true);
    markAsTabOrderRoot(this);
    // The panel itself holds the focus when it opens, so the first Tab reaches the first
    // control in reading order, and no control holds a focus it does not show.
    setFocusPolicy(Qt::ClickFocus);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    connect(&authManager, &AuthManager::authStateChanged, this,
            &PopoverContentView::showContentForAuthState);
    connect(&authManager, &AuthManager::currentUserChanged, this,
            &PopoverContentView::showContentForAuthState);
    showContentForAuthState();
}

PopoverContentView::~PopoverContentView() = default;

QSize PopoverContentView::sizeHint() const {
    QSize hint = QWidget::sizeHint();
    // Grows while open, never shrinks under the pointer; the next opening starts afresh.
    if (isVisible())
        m_tallest = std::max(m_tallest, hint.height());
    hint.setHeight(std::max(hint.height(), m_tallest));
    return hint;
}

QSize PopoverContentView::minimumSizeHint() const {
    QSize hint = QWidget::minimumSizeHint();
    hint.setHeight(std::max(hint.height(), m_tallest));
    return hint;
}

void PopoverContentView::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    setFocus(Qt::OtherFocusReason);
}

void PopoverContentView::hideEvent(QHideEvent *event) {
    QWidget::hideEvent(event);
    m_tallest = 0;
    updateGeometry();
}

void PopoverContentView::changeEvent(QEvent *event) {
    // The views take their colours and symbols from the palette when they are built, so a
    // switch between light and dark builds them anew, keeping which rows were expanded.
    if (event->type() == QEvent::ApplicationPaletteChange ||
        event->type() == QEvent::PaletteChange) {
        const QPalette palette = style::current();
        const auto colors = std::pair(palette.color(QPalette::Window).rgba(),
                                      palette.color(QPalette::WindowText).rgba());
        if (colors != m_builtForColors)
            rebuildContent();
    }
    QWidget::changeEvent(event);
}

void PopoverContentView::retireContent() {
    // The change may come from a control of the content itself (Sign Out), whose handler is
    // still running: the old content goes once control is back in the event loop.
    for (QWidget *content : {static_cast<QWidget *>(std::exchange(m_signedIn, nullptr)),
                             static_cast<QWidget *>(std::exchange(m_signedOut, nullptr))}) {
        if (content) {
            content->hide();
            content->deleteLater();
        }
    }
}

void PopoverContentView::rebuildContent() {
    QSet<QString> expanded;
    if (m_signedIn)
        for (RepoRowView *row : m_signedIn->repoRows())
            if (row->isExpanded())
                expanded.insert(row->engineId());
    retireContent();
    showContentForAuthState();
    if (m_signedIn)
        for (RepoRowView *row : m_signedIn->repoRows())
            row->setExpanded(expanded.contains(row->engineId()));
}

void PopoverContentView::showContentForAuthState() {
    const std::optional<User> user = m_authManager.authState().user();
    if (user && m_signedIn) {
        m_signedIn->setUser(*user);
        return;
    }
    if (!user && m_signedOut)
        return;
    // Awaiting the e-mail link looks like signed out here; the sign-in window shows it.
    retireContent();
    const QPalette palette = style::current();
    m_builtForColors = {palette.color(QPalette::Window).rgba(),
                        palette.color(QPalette::WindowText).rgba()};
    if (user) {
        m_signedIn =
            new SignedInMultiRepoView(*user, m_coordinator, *m_services, m_callbacks, this);
        layout()->addWidget(m_signedIn);
    } else {
        m_signedOut = new SignedOutPopoverView(m_callbacks, this);
        layout()->addWidget(m_signedOut);
    }
    requestVisualTabOrder(this);
}

} // namespace orvu
