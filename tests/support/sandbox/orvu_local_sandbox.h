#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

namespace orvu::test {

// A private world for one end-to-end test: HOME, XDG_DATA_HOME and XDG_CONFIG_HOME of this
// process (and so of every child) point into a temporary directory, which holds the offline
// tool's store and sign-in, until the destructor puts them back.
class OrvuLocalSandbox {
public:
    OrvuLocalSandbox();
    ~OrvuLocalSandbox();
    OrvuLocalSandbox(const OrvuLocalSandbox &) = delete;
    OrvuLocalSandbox &operator=(const OrvuLocalSandbox &) = delete;

    // The directory holding the built `orvu`: the app's resource directory for CLIRunner.
    QString toolDirectory() const;
    QString root() const;
    // Creates root()/name (with parents) and returns its absolute path.
    QString makeFolder(const QString &name) const;

    struct Result {
        int exitCode = -1; // also when the tool did not end by itself
        QByteArray out;
        QByteArray err;
        QList<QJsonObject> lines() const; // the standard-output lines that are JSON objects
    };
    // Runs the built tool to its end with "--server" and the app's default server URL first.
    Result orvu(const QStringList &arguments, const QByteArray &standardInput = {},
                const QString &workingDirectory = {}) const;
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
