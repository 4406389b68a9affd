#include "gui/app/tray_menu.h"

namespace orvu {

QList<TrayMenuEntry> trayMenuEntries(const QString &statusText, bool signedIn, bool startsAtLogin) {
    using Action = TrayMenuEntry::Action;
    return {
        {statusText, Action::none, false},
        {QStringLiteral("Open Orvu"), Action::open, true, false, false, true},
        signedIn ? TrayMenuEntry{QStringLiteral("Add Repo..."), Action::addRepo}
                 : TrayMenuEntry{QStringLiteral("Sign In..."), Action::signIn},
        {QStringLiteral("Check for Updates…"), Action::checkForUpdates},
        {QStringLiteral("Start at Login"), Action::startAtLogin, true, true, startsAtLogin, true},
        {QStringLiteral("Quit Orvu"), Action::quit, true, false, false, true},
    };
}

TrayMenu::TrayMenu(QWidget *parent) : QMenu(parent) {}

void TrayMenu::show(const QList<TrayMenuEntry> &entries) {
    if (entries == m_shown)
        return;
    // Only a different shape of menu builds new actions.
    const auto shape = [](const QList<TrayMenuEntry> &list) {
        QList<bool> separators;
        for (const TrayMenuEntry &entry : list)
            separators.append(entry.separatorBefore);
        return separators;
    };
    if (shape(entries) != shape(m_shown)) {
        clear();
        for (const TrayMenuEntry &entry : entries) {
            if (entry.separatorBefore)
                addSeparator();
            QAction *action = addAction(QString());
            connect(action, &QAction::triggered, this,
                    [this, action] { emit chosen(action->data().value<TrayMenuEntry::Action>()); });
        }
    }
    qsizetype index = 0;
    for (QAction *action : actions()) {
        if (action->isSeparator())
            continue;
        const TrayMenuEntry &entry = entries[index++];
        action->setText(entry.text);
        action->setData(QVariant::fromValue(entry.action));
        action->setEnabled(entry.enabled);
        action->setCheckable(entry.checkable);
        action->setChecked(entry.checked);
    }
    m_shown = entries;
}

} // namespace orvu
