#include "support/sandbox/orvu_local_sandbox.h"

#include "core/cli/tool_commands.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcess>

namespace orvu::test {

OrvuLocalSandbox::OrvuLocalSandbox() {
    const QString home = m_dir.filePath(QStringLiteral("home"));
    const std::pair<QByteArray, QString> variables[] = {
        {"HOME", home},
        {"XDG_DATA_HOME", home + QStringLiteral("/.local/share")},
        {"XDG_CONFIG_HOME", home + QStringLiteral("/.config")}};
    for (const auto &[name, value] : variables) {
        const char *variable = name.constData();
        m_saved.append(SavedVariable{name, qEnvironmentVariableIsSet(variable)
                                               ? std::optional(qgetenv(variable))
                                               : std::nullopt});
        QDir().mkpath(value);
        qputenv(variable, QFile::encodeName(value));
    }
}

OrvuLocalSandbox::~OrvuLocalSandbox() {
    for (const SavedVariable &saved : m_saved) {
        if (saved.value)
            qputenv(saved.name.constData(), *saved.value);
        else
            qunsetenv(saved.name.constData());
    }
}

QString OrvuLocalSandbox::toolDirectory() const {
    return QStringLiteral(ORVU_LOCAL_TOOL_DIR);
}

QString OrvuLocalSandbox::root() const {
    return m_dir.path();
}

QString OrvuLocalSandbox::makeFolder(const QString &name) const {
    const QString path = QDir::cleanPath(m_dir.filePath(name));
    QDir().mkpath(path);
    return path;
}

QList<QJsonObject> OrvuLocalSandbox::Result::lines() const {
    QList<QJsonObject> objects;
    for (const QByteArray &line : out.split('\n')) {
        if (const QJsonDocument document = QJsonDocument::fromJson(line); document.isObject())
            objects.append(document.object());
    }
    return objects;
}

OrvuLocalSandbox::Result OrvuLocalSandbox::orvu(const QStringList &arguments,
                                                const QByteArray &standardInput,
                                                const QString &workingDirectory) const {
    QProcess process;
    process.setWorkingDirectory(workingDirectory.isEmpty() ? m_dir.path() : workingDirectory);
    process.start(toolDirectory() + QStringLiteral("/orvu"),
                  QStringList{QStringLiteral("--server"), tool::kDefaultServerURL} + arguments);
    process.write(standardInput);
    process.closeWriteChannel();
    Result result;
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit) {
        result = {process.exitCode(), process.readAllStandardOutput(),
                  process.readAllStandardError()};
    }
    process.kill();
    process.waitForFinished();
    return result;
}

OrvuLocalSandbox::Result OrvuLocalSandbox::admin(const QStringList &arguments,
                                                 const QByteArray &standardInput) const {
    return orvu(QStringList{QStringLiteral("admin")} + arguments, standardInput);
}

bool OrvuLocalSandbox::signIn(const QString &email) const {
    const auto signedIn = [](const Result &result) {
        for (const QJsonObject &line : result.lines()) {
            if (line.value(QStringLiteral("type")) == QStringLiteral("auth"))
                return line.value(QStringLiteral("authState")) == QStringLiteral("signedIn");
        }
        return false;
    };
    const Result request = orvu({QStringLiteral("login"), QStringLiteral("--email"), email});
    if (request.exitCode != 0 || signedIn(request))
        return request.exitCode == 0;
    const QString link = QString::fromUtf8(admin({QStringLiteral("mail"), email}).out).trimmed();
    return signedIn(orvu({QStringLiteral("login"), QStringLiteral("--verify"), link}));
}

} // namespace orvu::test
