#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

namespace orvu::test {

// A private world for one end-to-end test: a temporary home whose data and config
// directories hold the offline tool's store and sign-in, so tests never see each other's
// (or the developer's) state.
class OrvuLocalSandbox {
public:
    // Points HOME, XDG_DATA_HOME and XDG_CONFIG_HOME of this process (and so of every child)
    // into a fresh temporary directory; the destructor restores them.
    OrvuLocalSandbox();
    ~OrvuLocalSandbox();
    OrvuLocalSandbox(const OrvuLocalSandbox &) = delete;
    OrvuLocalSandbox &operator=(const OrvuLocalSandbox &) = delete;

    // The directory holding the built `orvu`: the app's resource directory for CLIRunner.
    QString toolDirectory() const;
    // The temporary directory, for the test's folders.
    QString root() const;
    // Creates root()/name (with parents) and returns its absolute path.
    QString makeFolder(const QString &name) const;

    struct Result {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
        // Every standard-output line that is a JSON object, in order.
        QList<QJsonObject> lines() const;
    };

    // Runs the built tool synchronously with "--server" and the app's default server URL first.
    Result orvu(const QStringList &arguments, const QByteArray &standardInput = {},
                const QString &workingDirectory = {}) const;
    // "admin" followed by the arguments.
    Result admin(const QStringList &arguments, const QByteArray &standardInput = {}) const;
    // The whole magic-link sign-in (request, read the mail, verify) done through the tool.
    bool signIn(const QString &email) const;

private:
    QTemporaryDir m_dir;
    struct SavedVariable {
        QByteArray name;
        std::optional<QByteArray> value;
    };
    QList<SavedVariable> m_saved;
};

} // namespace orvu::test
