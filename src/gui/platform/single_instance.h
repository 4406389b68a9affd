#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace orvu {

// Keeps the app to one instance per user. A later start hands its message (a URL, or nothing
// for a plain start) to the running instance over a local socket that only the same user can
// open, and then ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // The socket of this user: in the user's runtime directory, else in the temporary one
    // under a name that carries the user id.
    static QString defaultName();

    explicit SingleInstance(QString name, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Hands `message` to a running instance; false when none answers. Blocks for at most
    // about a second, so call it before the event loop runs.
    bool handOver(const QString &message) const;
    // Starts answering later starts. A socket left by an instance that died is replaced; false
    // when another live instance holds it (hand over to it instead) or it cannot be made.
    bool listen();

signals:
    void messageReceived(const QString &message);

private:
    QString m_name;
    QLocalServer *m_server = nullptr;
};

} // namespace orvu
