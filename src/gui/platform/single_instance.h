#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class QLocalServer;
class QLockFile;

namespace orvu {

// Keeps the app to one instance per user. A later start hands its message (a sign-in link, or
// nothing for a plain start) to the running instance, then ends.
//
// Everything lives in a directory that this user alone owns and can enter, so no other local
// user can listen in our place or send us links: the socket, and a lock file held for the
// instance's life. Taking that lock is the election; only its holder removes a socket left
// behind by a dead instance and listens. Both ends also check the other's user id.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        // This process is the instance: call listen() once the event loop can run.
        primary,
        // The running instance took the message; this process should end.
        handedOver,
        // No safe place, or an instance that holds the lock but never answers: this process
        // runs on its own and hands nothing over.
        alone,
    };

    // A longer message is no link we would act on.
    static constexpr qsizetype kMaxMessageBytes = 16 * 1024;

    // $XDG_RUNTIME_DIR when it is safe, else <temp>/orvutray-<uid>, made when missing; none
    // when neither is safe.
    static std::optional<QString> privateDirectory();
    // `path` is a directory (not a link) owned by this user with mode 0700. With `create`, a
    // missing one is made first.
    static bool isPrivateDirectory(const QString &path, bool create = false);
    // Empty (a plain start) or one orvu:// URL without control characters.
    static bool isAcceptableMessage(const QString &message);

    explicit SingleInstance(std::optional<QString> directory, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Takes the lock, or hands `message` over to its holder, waiting up to `patience` for a
    // holder that is still starting up to listen. Blocks: call it before the event loop runs.
    Role elect(const QString &message,
               std::chrono::milliseconds patience = std::chrono::seconds(10));
    // For the primary: replaces a socket left behind and starts answering later starts.
    bool listen();

    QString socketPath() const;

signals:
    // One acceptable message per connection, from a process of this user.
    void messageReceived(const QString &message);

private:
    bool handOver(const QString &message) const;

    std::optional<QString> m_directory;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
};

} // namespace orvu
