#include "support/sandbox/orvu_local_sandbox.h"

#include "core/cli/tool_commands.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcess>

namespace orvu::test {

namespace {

constexpr int kRunTimeoutMs = 120000;

} // namespace

OrvuLocalSandbox::OrvuLocalSandbox() {
    const QString base = m_dir.path();
    const QList<QPair<QByteArray, QString>> variables{
        {"HOME", base + QStringLiteral("/home")},
        {"XDG_DATA_HOME", base + QStringLiteral("/home/.local/share")},
        {"XDG_CONFIG_HOME", base + QStringLiteral("/home/.config")},
    };
    for (const auto &[name, value] : variables) {
        SavedVariable saved{name, std::nullopt};
        if (qEnvironmentVariableIsSet(name.constData()))
            saved.value = qgetenv(name.constData());
        m_saved.append(saved);
        QDir().mkpath(value);
        qputenv(name.constData(), QFile::encodeName(value));
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
    const QString path = QDir(m_dir.path()).absoluteFilePath(name);
    QDir().mkpath(path);
    return QDir::cleanPath(path);
}

QList<QJsonObject> OrvuLocalSandbox::Result::lines() const {
    QList<QJsonObject> objects;
    for (const QByteArray &line : out.split('\n')) {
        const QJsonDocument document = QJsonDocument::fromJson(line.trimmed());
        if (document.isObject())
            objects.append(document.object());
    }
    return objects;
}

OrvuLocalSandbox::Result OrvuLocalSandbox::orvu(const QStringList &arguments,
                                                const QByteArray &standardInput,
                                                const QString &workingDirectory) const {
    QProcess process;
    process.setProgram(toolDirectory() + QStringLiteral("/orvu"));
    process.setArguments(QStringList{QStringLiteral("--server"), tool::kDefaultServerURL} +
                         arguments);
    process.setWorkingDirectory(workingDirectory.isEmpty() ? m_dir.path() : workingDirectory);
    Result result;
    process.start();
    if (!process.waitForStarted())
        return result;
    if (!standardInput.isEmpty())
        process.write(standardInput);
    process.closeWriteChannel();
    if (!process.waitForFinished(kRunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

OrvuLocalSandbox::Result OrvuLocalSandbox::admin(const QStringList &arguments,
                                                 const QByteArray &standardInput) const {
    return orvu(QStringList{QStringLiteral("admin")} + arguments, standardInput);
}

bool OrvuLocalSandbox::signIn(const QString &email) const {
    const Result request =
        orvu({QStringLiteral("login"), QStringLiteral("--email"), email, QStringLiteral("--json")});
    if (request.exitCode != 0)
        return false;
    for (const QJsonObject &line : request.lines()) {
        if (line.value(QStringLiteral("type")).toString() == QStringLiteral("auth") &&
            line.value(QStringLiteral("authState")).toString() == QStringLiteral("signedIn"))
            return true;
    }
    const Result mail = admin({QStringLiteral("mail"), email});
    const QString link = QString::fromUtf8(mail.out).trimmed();
    if (mail.exitCode != 0 || link.isEmpty())
        return false;
    const Result verify =
        orvu({QStringLiteral("login"), QStringLiteral("--verify"), link, QStringLiteral("--json")});
    if (verify.exitCode != 0)
        return false;
    for (const QJsonObject &line : verify.lines()) {
        if (line.value(QStringLiteral("type")).toString() == QStringLiteral("auth"))
            return line.value(QStringLiteral("authState")).toString() == QStringLiteral("signedIn");
    }
    return false;
}

} // namespace orvu::test
