#include "gui/platform/freedesktop_file_manager.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>

namespace orvu {

namespace {

// Long enough for a file manager that D-Bus has to start first; the call never blocks.
constexpr int kCallTimeoutMs = 10'000;

} // namespace

FreedesktopFileManager::FreedesktopFileManager(QDBusConnection bus, UrlOpener openUrl,
                                               QObject *parent)
    : QObject(parent), m_bus(std::move(bus)), m_openUrl(std::move(openUrl)) {
    if (!m_openUrl)
        m_openUrl = [](const QUrl &url) { QDesktopServices::openUrl(url); };
}

void FreedesktopFileManager::revealFolder(const QString &folderPath) {
    call(QStringLiteral("ShowFolders"), folderPath, folderPath);
}

void FreedesktopFileManager::revealFile(const QString &filePath) {
    call(QStringLiteral("ShowItems"), filePath, QFileInfo(filePath).absolutePath());
}

void FreedesktopFileManager::call(const QString &method, const QString &path,
                                  const QString &fallbackFolder) {
    const QUrl fallback = QUrl::fromLocalFile(fallbackFolder);
    if (!m_bus.isConnected()) {
        m_openUrl(fallback);
        return;
    }
    QDBusMessage message =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                       QStringLiteral("/org/freedesktop/FileManager1"),
                                       QStringLiteral("org.freedesktop.FileManager1"), method);
    // File managers take encoded URIs ("a%20b.txt"), not display strings.
    message << QStringList{QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded())} << QString();
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, fallback](QDBusPendingCallWatcher *finished) {
                if (finished->isError())
                    m_openUrl(fallback);
                finished->deleteLater();
            });
}

} // namespace orvu
