#include "gui/views/signed_out_popover_view.h"

#include "gui/views/panel_controls.h"
#include "gui/views/popover_content_view.h"
#include "gui/views/popover_menu_button.h"
#include "gui/views/symbol.h"
#include "gui/views/view_style.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvu {

namespace {

void callIfSet(const std::function<void()> &callback) {
    if (callback)
        callback();
}

} // namespace

SignedOutPopoverView::SignedOutPopoverView(const PopoverCallbacks &callbacks, QWidget *parent)
    : QWidget(parent) {
    const QPalette palette = style::current();
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, style::kUnit);
    column->setSpacing(0);

    auto *block = new QVBoxLayout;
    block->setContentsMargins(5 * style::kUnit, 5 * style::kUnit, 5 * style::kUnit,
                              5 * style::kUnit);
    block->setSpacing(4 * style::kUnit);
    auto *symbol = new QLabel(this);
    symbol->setPixmap(symbolPixmap(QStringLiteral("arrow.triangle.2.circlepath"),
                                   style::secondary(palette), 32, devicePixelRatioF()));
    block->addWidget(symbol, 0, Qt::AlignHCenter);
    auto *title = new QLabel(QStringLiteral("Orvu"), this);
    title->setFont(style::headline());
    block->addWidget(title, 0, Qt::AlignHCenter);
    auto *subtitle = new QLabel(QStringLiteral("Sign in to start syncing"), this);
    subtitle->setFont(style::subheadline());
    style::setTextColor(subtitle, style::secondary(palette));
    block->addWidget(subtitle, 0, Qt::AlignHCenter);
    auto *signIn = new ProminentButton(QStringLiteral("Sign In"), this);
    signIn->setIcon(symbolIcon(QStringLiteral("person.crop.circle"), style::accentText(palette)));
    signIn->setFont(style::callout(true));
    signIn->setObjectName(QStringLiteral("signInButton"));
    signIn->setDefault(true);
    // The large control size.
    signIn->setMinimumSize(35 * style::kUnit, 8 * style::kUnit);
    signIn->setIconSize(QSize(16, 16));
    markAsRow(signIn);
    connect(signIn, &QPushButton::clicked, this, [cb = callbacks.onSignIn] { callIfSet(cb); });
    block->addWidget(signIn, 0, Qt::AlignHCenter);
    column->addLayout(block);
    column->addWidget(new Divider(this));

    auto *updates =
        new PopoverMenuButton(QStringLiteral("Check for Updates\u2026"), "arrow.down.app", this);
    updates->setObjectName(QStringLiteral("checkForUpdatesButton"));
    connect(updates, &QAbstractButton::clicked, this,
            [cb = callbacks.onCheckForUpdates] { callIfSet(cb); });
    column->addWidget(updates);
    auto *quit = new PopoverMenuButton(QStringLiteral("Quit Orvu"), "power", this);
    quit->setObjectName(QStringLiteral("quitButton"));
    connect(quit, &QAbstractButton::clicked, this, [cb = callbacks.onQuit] { callIfSet(cb); });
    column->addWidget(quit);
}

} // namespace orvu
