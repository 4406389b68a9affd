#include "gui/platform/single_instance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStringDecoder>
#include <QThread>
#include <QtEndian>

#include <algorithm>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvu {

namespace {

constexpr int kConnectTimeoutMs = 500;
constexpr int kWriteTimeoutMs = 1000;
constexpr int kRetryIntervalMs = 50;
// Every message is its length as four bytes, most significant first, then its UTF-8 bytes.
constexpr qsizetype kHeaderBytes = 4;

const QString kSocketName = QStringLiteral("io.orvu.tray.instance");
const QString kLockName = QStringLiteral("io.orvu.tray.instance.lock");

// The user id of the process at the other end of a connected local socket.
std::optional<uid_t> peerUid(qintptr descriptor) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return std::nullopt;
    return credentials.uid;
}

bool isOwnUser(const QLocalSocket &socket) {
    return peerUid(socket.socketDescriptor()) == ::getuid();
}

// Reads the one message of a connection as its bytes arrive; aborts on anything else.
void readMessage(QLocalSocket *socket, SingleInstance *instance) {
    if (socket->bytesAvailable() < kHeaderBytes)
        return;
    uchar header[kHeaderBytes];
    socket->peek(reinterpret_cast<char *>(header), kHeaderBytes);
    const quint32 length = qFromBigEndian<quint32>(header);
    if (length > SingleInstance::kMaxMessageBytes) {
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < kHeaderBytes + qint64(length))
        return;
    socket->skip(kHeaderBytes);
    const QByteArray bytes = socket->read(length);
    socket->abort(); // one message per connection
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString message = decoder.decode(bytes);
    if (!decoder.hasError() && SingleInstance::isAcceptableMessage(message))
        emit instance->messageReceived(message);
}

} // namespace

bool SingleInstance::isPrivateDirectory(const QString &path, bool create) {
    if (path.isEmpty() || !QDir::isAbsolutePath(path))
        return false;
    const QByteArray native = QFile::encodeName(path);
    if (create && ::mkdir(native.constData(), 0700) == 0)
        ::chmod(native.constData(), 0700); // the umask may have taken bits we want
    struct stat info {};
    return ::lstat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid() && (info.st_mode & 07777) == 0700;
}

std::optional<QString> SingleInstance::privateDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (isPrivateDirectory(runtime))
        return runtime;
    // Under su, sudo or a bare X session the variable is missing or names someone else's.
    const QString own = QDir::tempPath() + QStringLiteral("/orvutray-%1").arg(::getuid());
    if (isPrivateDirectory(own, true))
        return own;
    return std::nullopt;
}

bool SingleInstance::isAcceptableMessage(const QString &message) {
    if (message.isEmpty())
        return true;
    if (message.size() > kMaxMessageBytes || !message.startsWith(QLatin1String("orvu://")))
        return false;
    return std::none_of(message.cbegin(), message.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
               c.category() == QChar::Separator_Paragraph;
    });
}

SingleInstance::SingleInstance(std::optional<QString> directory, QObject *parent)
    : QObject(parent), m_directory(std::move(directory)) {}

SingleInstance::~SingleInstance() {
    if (m_server) {
        m_server->close(); // removes the socket, before the lock goes
        delete std::exchange(m_server, nullptr);
    }
}

QString SingleInstance::socketPath() const {
    return m_directory ? QDir(*m_directory).filePath(kSocketName) : QString();
}

SingleInstance::Role SingleInstance::elect(const QString &message,
                                           std::chrono::milliseconds patience) {
    if (!m_directory)
        return Role::alone;
    m_lock = std::make_unique<QLockFile>(QDir(*m_directory).filePath(kLockName));
    // Stale only when its holder is gone, however long a live instance runs.
    m_lock->setStaleLockTime(0);
    const QDeadlineTimer deadline(patience);
    for (;;) {
        if (m_lock->tryLock(0))
            return Role::primary;
        // A holder still starting up does not listen yet.
        if (handOver(message))
            return Role::handedOver;
        if (deadline.hasExpired() || m_lock->error() == QLockFile::PermissionError) {
            m_lock.reset();
            return Role::alone;
        }
        QThread::msleep(kRetryIntervalMs);
    }
}

bool SingleInstance::handOver(const QString &message) const {
    const QByteArray bytes = message.toUtf8();
    if (bytes.size() > kMaxMessageBytes)
        return false;
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return false;
    // Whoever listens there must be us: a link carries a sign-in token.
    if (!isOwnUser(socket))
        return false;
    uchar header[kHeaderBytes];
    qToBigEndian<quint32>(quint32(bytes.size()), header);
    socket.write(reinterpret_cast<const char *>(header), kHeaderBytes);
    socket.write(bytes);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(kWriteTimeoutMs))
            return false;
    }
    // The instance closes the connection once it has read the message.
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(kWriteTimeoutMs);
    return true;
}

bool SingleInstance::listen() {
    if (!m_lock || !m_lock->isLocked() || m_server)
        return false;
    // The lock is ours, so whatever is left at the name belongs to an instance that died.
    QLocalServer::removeServer(socketPath());
    auto *server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(socketPath())) {
        delete server;
        return false;
    }
    m_server = server;
    connect(server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            if (!isOwnUser(*socket)) {
                socket->abort();
                continue;
            }
            connect(socket, &QLocalSocket::readyRead, this,
                    [this, socket] { readMessage(socket, this); });
            readMessage(socket, this);
        }
    });
    return true;
}

} // namespace orvu
