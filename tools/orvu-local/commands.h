#pragma once

#include "store.h"

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace orvu::local {

// The server every run talks to when --server is not given: the app's own default.
inline const QString kDefaultServer = QStringLiteral("https://orvu.io");

struct Invocation {
    QString server = kDefaultServer;
    QString command;
    QStringList positionals;
    QMap<QString, QStringList> values; // "--only" may repeat; the others keep their last value
    QSet<QString> flags;

    QString value(const QString &option) const {
        const QStringList list = values.value(option);
        return list.isEmpty() ? QString() : list.last();
    }
    bool has(const QString &option) const {
        return values.contains(option) || flags.contains(option);
    }
};

// Parses argv without the program name; on failure the usage error has been printed and the
// exit code is returned instead.
std::optional<Invocation> parseArguments(const QStringList &arguments, int *exitCode);
int runInvocation(const Invocation &invocation);

// A store opened for one run, with the server URL it was named by.
struct Server {
    QString url;
    Store store;
    bool mustExist = false;
};

// The checks shared by every command that needs the server or a user; each prints the error
// line and returns the exit code to use when it fails.
std::optional<int> requireServer(const Server &server);
// `damaged` is set when the store's users cannot be read, which is no sign-out.
std::optional<User> signedInUser(const Server &server, bool *damaged = nullptr);

} // namespace orvu::local
