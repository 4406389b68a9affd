#pragma once

#include "gui/platform/file_revealing.h"

#include <QDBusConnection>
#include <QObject>
#include <QUrl>

#include <functional>

namespace orvu {

// The file manager over org.freedesktop.FileManager1 (ShowFolders, ShowItems), which GNOME
// Files, Dolphin, Nemo, Caja and Thunar all answer. When the call fails (no session bus, no
// file manager that implements the interface), the folder is opened through the desktop's URL
// handler instead, so the user still gets a window, only without the file selected.
class FreedesktopFileManager final : public QObject, public FileRevealing {
    Q_OBJECT
public:
    using UrlOpener = std::function<void(const QUrl &)>;

    // `openUrl` is the fallback; QDesktopServices::openUrl when empty.
    explicit FreedesktopFileManager(QDBusConnection bus = QDBusConnection::sessionBus(),
                                    UrlOpener openUrl = {}, QObject *parent = nullptr);

    void revealFolder(const QString &folderPath) override;
    void revealFile(const QString &filePath) override;

private:
    void call(const QString &method, const QString &path, const QString &fallbackFolder);

    QDBusConnection m_bus;
    UrlOpener m_openUrl;
};

} // namespace orvu
