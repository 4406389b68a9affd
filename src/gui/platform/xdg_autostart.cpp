#include "gui/platform/xdg_autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace orvu {

XdgAutostart::XdgAutostart(QString entryPath, QString executable)
    : m_entryPath(std::move(entryPath)), m_executable(std::move(executable)) {}

QString XdgAutostart::defaultEntryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/io.orvu.tray.desktop");
}

std::optional<QString> XdgAutostart::execValue(const QString &executable) {
    if (executable.contains(QLatin1Char('\n')) || executable.contains(QLatin1Char('\r')))
        return std::nullopt;
    static const QString reserved = QStringLiteral(" \t\"'\\><~|&;$*?#()`");
    QString quoted;
    bool needsQuotes = false;
    for (const QChar c : executable) {
        needsQuotes = needsQuotes || reserved.contains(c);
        // Inside quotes these four take a backslash; as a string value, each backslash is
        // written twice.
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$'))
            quoted += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\\'))
            quoted += QStringLiteral("\\\\\\");
        // A percent sign would start a field code.
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    return needsQuotes ? QLatin1Char('"') + quoted + QLatin1Char('"') : quoted;
}

bool XdgAutostart::startsAtLogin() const {
    QFile file(m_entryPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    while (!file.atEnd())
        if (file.readLine().trimmed() == "Hidden=true")
            return false;
    return true;
}

bool XdgAutostart::setStartsAtLogin(bool enabled) {
    if (!enabled)
        return !QFileInfo::exists(m_entryPath) || QFile::remove(m_entryPath);
    const std::optional<QString> exec = execValue(m_executable);
    if (!exec || !QDir().mkpath(QFileInfo(m_entryPath).absolutePath()))
        return false;
    QSaveFile file(m_entryPath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QStringLiteral("[Desktop Entry]\n"
                              "Type=Application\n"
                              "Name=Orvu\n"
                              "Comment=Keep folders in step with your Orvu repos\n"
                              "Exec=%1\n"
                              "Icon=io.orvu.tray\n"
                              "Terminal=false\n"
                              "NoDisplay=true\n"
                              "X-GNOME-Autostart-enabled=true\n")
                   .arg(*exec)
                   .toUtf8());
    return file.commit();
}

} // namespace orvu
