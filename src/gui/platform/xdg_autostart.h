#pragma once

#include "gui/platform/login_starting.h"

#include <QString>

#include <optional>

namespace orvu {

// XDG Autostart: a desktop entry in $XDG_CONFIG_HOME/autostart starts the app at login. The
// entry exists only while starting at login is on; one that another tool marked Hidden counts
// as off.
class XdgAutostart final : public LoginStarting {
public:
    // `entryPath` is the autostart file; `executable` the program it starts.
    XdgAutostart(QString entryPath, QString executable);

    // $XDG_CONFIG_HOME/autostart/io.orvu.tray.desktop
    static QString defaultEntryPath();
    // The Exec value that runs `executable` with no arguments, quoted and escaped as desktop
    // entries require; absent for a path no desktop entry can hold (a line break).
    static std::optional<QString> execValue(const QString &executable);

    bool startsAtLogin() const override;
    bool setStartsAtLogin(bool enabled) override;

private:
    QString m_entryPath;
    QString m_executable;
};

} // namespace orvu
