#include "store.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QUrl>
#include <QUuid>

#include <fcntl.h>
#include <unistd.h>

namespace orvu::local {

namespace {

constexpr qint64 kSignInTokenLifetimeMs = 15 * 60 * 1000;
constexpr int kStoreLockWaitMs = 10000;
constexpr qint64 kCopyChunk = 1 << 20;

const QString kUsersFile = QStringLiteral("users.json");
const QString kTokensFile = QStringLiteral("sign-in-tokens.json");
const QString kReposFile = QStringLiteral("repos.json");
const QByteArray kManifestHeader = "orvu-manifest 1";

QString dataHome() {
    const QString configured = qEnvironmentVariable("XDG_DATA_HOME");
    if (!configured.isEmpty())
        return configured;
    return QDir::homePath() + QStringLiteral("/.local/share");
}

bool isHexSha(const QByteArray &sha) {
    if (sha.size() != 64)
        return false;
    for (char c : sha)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

User userFrom(const QJsonObject &entry) {
    return User{entry.value(QStringLiteral("email")).toString(),
                entry.value(QStringLiteral("username")).toString()};
}

} // namespace

std::optional<StoreLocation> storeLocationFor(const QString &serverUrl) {
    const QUrl url(serverUrl, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return std::nullopt;
    if (url.scheme() == QStringLiteral("file")) {
        const QString path = url.toLocalFile();
        if (!QDir::isAbsolutePath(path) || path.isEmpty())
            return std::nullopt;
        return StoreLocation{QDir::cleanPath(path), true};
    }
    QString host = url.host().toLower();
    if (url.port() != -1)
        host += QLatin1Char('_') + QString::number(url.port());
    static const QRegularExpression safeHost(QStringLiteral("^[a-z0-9][a-z0-9._-]*$"));
    if (!safeHost.match(host).hasMatch())
        return std::nullopt;
    return StoreLocation{dataHome() + QStringLiteral("/orvu-local/") + host, false};
}

bool acquireLock(QLockFile &lock, int waitMs) {
    lock.setStaleLockTime(0); // only a dead owner frees a lock; a long run keeps it
    if (lock.tryLock(0))
        return true;
    // A lock file without an owner (its writer died before filling it in) never turns stale
    // by itself; one that stayed unreadable for seconds is such a leftover.
    qint64 pid = 0;
    QString host;
    QString application;
    if (!lock.getLockInfo(&pid, &host, &application) &&
        QFileInfo(lock.fileName()).lastModified().msecsTo(QDateTime::currentDateTime()) > 2000)
        lock.removeStaleLockFile();
    return lock.tryLock(waitMs);
}

bool writeFileAtomically(const QString &path, const QByteArray &data, bool privateToUser) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (privateToUser)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(data) != data.size())
        return false;
    return file.commit();
}

Store::Store(QString root) : m_root(std::move(root)) {}

bool Store::exists() const {
    return QFileInfo(m_root).isDir();
}

bool Store::prepare() const {
    QDir dir;
    for (const char *sub : {"", "/objects", "/manifests", "/outbox", "/locks"})
        if (!dir.mkpath(m_root + QLatin1String(sub)))
            return false;
    return true;
}

bool Store::isOffline() const {
    return QFileInfo::exists(m_root + QStringLiteral("/offline"));
}

bool Store::setOffline(bool offline) const {
    const QString flag = m_root + QStringLiteral("/offline");
    if (offline)
        return writeFileAtomically(flag, "offline\n");
    return !QFileInfo::exists(flag) || QFile::remove(flag);
}

QString Store::lockPath(const QString &name) const {
    return m_root + QStringLiteral("/locks/") + name + QStringLiteral(".lock");
}

std::optional<QJsonObject> Store::readJson(const QString &name) const {
    QFile file(m_root + QLatin1Char('/') + name);
    if (!file.exists())
        return QJsonObject{};
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QJsonObject> Store::lockAndReadJson(QLockFile &lock, const QString &name) const {
    if (!acquireLock(lock, kStoreLockWaitMs))
        return std::nullopt;
    return readJson(name);
}

bool Store::writeJson(const QString &name, const QJsonObject &object) const {
    return writeFileAtomically(m_root + QLatin1Char('/') + name,
                               QJsonDocument(object).toJson(QJsonDocument::Indented));
}

std::optional<User> Store::userByEmail(const QString &email) const {
    const auto users = readJson(kUsersFile);
    if (!users)
        return std::nullopt;
    const QJsonObject entry =
        users->value(QStringLiteral("users")).toObject().value(email.toLower()).toObject();
    if (entry.isEmpty())
        return std::nullopt;
    return userFrom(entry);
}

std::optional<User> Store::ensureUser(const QString &email) const {
    QLockFile lock(lockPath(QStringLiteral("store")));
    auto document = lockAndReadJson(lock, kUsersFile);
    if (!document)
        return std::nullopt;
    QJsonObject users = document->value(QStringLiteral("users")).toObject();
    const QString key = email.toLower();
    if (users.contains(key))
        return userFrom(users.value(key).toObject());
    // The username comes from the local part; a taken name gets a number.
    QString base = email.section(QLatin1Char('@'), 0, 0).toLower();
    base.replace(QRegularExpression(QStringLiteral("[^a-z0-9._-]")), QStringLiteral("-"));
    if (base.isEmpty())
        base = QStringLiteral("user");
    QSet<QString> taken;
    for (const QJsonValue &value : users)
        taken.insert(value.toObject().value(QStringLiteral("username")).toString());
    QString username = base;
    for (int n = 2; taken.contains(username); ++n)
        username = base + QString::number(n);
    users.insert(
        key, QJsonObject{{QStringLiteral("email"), email}, {QStringLiteral("username"), username}});
    document->insert(QStringLiteral("users"), users);
    if (!writeJson(kUsersFile, *document))
        return std::nullopt;
    return User{email, username};
}

std::optional<QString> Store::mintSignInToken(const QString &email) const {
    QLockFile lock(lockPath(QStringLiteral("store")));
    auto document = lockAndReadJson(lock, kTokensFile);
    if (!document)
        return std::nullopt;
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    const QString token = QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(words), sizeof(words)).toHex());
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QJsonObject tokens = document->value(QStringLiteral("tokens")).toObject();
    // Forget tokens that can no longer be used, so the file does not grow without bound.
    for (auto it = tokens.begin(); it != tokens.end();) {
        const QJsonObject entry = it.value().toObject();
        if (entry.value(QStringLiteral("expires")).toInteger() < now ||
            entry.value(QStringLiteral("used")).toBool())
            it = tokens.erase(it);
        else
            ++it;
    }
    tokens.insert(token, QJsonObject{{QStringLiteral("email"), email},
                                     {QStringLiteral("expires"), now + kSignInTokenLifetimeMs},
                                     {QStringLiteral("used"), false}});
    document->insert(QStringLiteral("tokens"), tokens);
    if (!writeJson(kTokensFile, *document))
        return std::nullopt;
    return token;
}

std::optional<QString> Store::redeemSignInToken(const QString &token) const {
    if (token.isEmpty())
        return std::nullopt;
    QLockFile lock(lockPath(QStringLiteral("store")));
    auto document = lockAndReadJson(lock, kTokensFile);
    if (!document)
        return std::nullopt;
    QJsonObject tokens = document->value(QStringLiteral("tokens")).toObject();
    QJsonObject entry = tokens.value(token).toObject();
    if (entry.isEmpty() || entry.value(QStringLiteral("used")).toBool() ||
        entry.value(QStringLiteral("expires")).toInteger() < QDateTime::currentMSecsSinceEpoch())
        return std::nullopt;
    entry.insert(QStringLiteral("used"), true);
    tokens.insert(token, entry);
    document->insert(QStringLiteral("tokens"), tokens);
    if (!writeJson(kTokensFile, *document))
        return std::nullopt;
    return entry.value(QStringLiteral("email")).toString();
}

bool Store::addLegacyToken(const QString &email, const QString &token) const {
    QLockFile lock(lockPath(QStringLiteral("store")));
    auto document = lockAndReadJson(lock, kUsersFile);
    if (!document)
        return false;
    QJsonObject legacy = document->value(QStringLiteral("legacyTokens")).toObject();
    legacy.insert(token, email.toLower());
    document->insert(QStringLiteral("legacyTokens"), legacy);
    return writeJson(kUsersFile, *document);
}

std::optional<QString> Store::emailForLegacyToken(const QString &token) const {
    const auto document = readJson(kUsersFile);
    if (!document || token.isEmpty())
        return std::nullopt;
    const QJsonValue email =
        document->value(QStringLiteral("legacyTokens")).toObject().value(token);
    if (!email.isString())
        return std::nullopt;
    return email.toString();
}

std::optional<QString> Store::writeMail(const QString &to, const QString &link) const {
    const QString name = QStringLiteral("%1-%2.eml")
                             .arg(QDateTime::currentMSecsSinceEpoch(), 15, 10, QLatin1Char('0'))
                             .arg(QUuid::createUuid().toString(QUuid::Id128).left(8));
    const QString path = m_root + QStringLiteral("/outbox/") + name;
    const QString mail = QStringLiteral("To: %1\nSubject: Sign in to Orvu\n\n"
                                        "Open this link to sign in (valid for 15 minutes):\n"
                                        "%2\n")
                             .arg(to, link);
    if (!writeFileAtomically(path, mail.toUtf8()))
        return std::nullopt;
    return path;
}

std::optional<QString> Store::newestLink(const QString &to) const {
    QDir outbox(m_root + QStringLiteral("/outbox"));
    QStringList names = outbox.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    for (auto it = names.crbegin(); it != names.crend(); ++it) {
        QFile file(outbox.filePath(*it));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        if (lines.isEmpty() ||
            lines.first().compare(QStringLiteral("To: ") + to, Qt::CaseInsensitive) != 0)
            continue;
        for (const QString &line : lines)
            if (line.startsWith(QStringLiteral("orvu://")))
                return line.trimmed();
    }
    return std::nullopt;
}

QList<Repo> Store::repos() const {
    QList<Repo> result;
    const auto document = readJson(kReposFile);
    if (!document)
        return result;
    for (const QJsonValue &value : document->value(QStringLiteral("repos")).toArray()) {
        const QJsonObject o = value.toObject();
        result.append(Repo{o.value(QStringLiteral("id")).toString(),
                           o.value(QStringLiteral("slug")).toString(),
                           o.value(QStringLiteral("name")).toString(),
                           o.value(QStringLiteral("visibility")).toString(),
                           o.value(QStringLiteral("owner")).toString()});
    }
    return result;
}

std::optional<Repo> Store::repoById(const QString &id) const {
    for (const Repo &repo : repos())
        if (repo.id == id)
            return repo;
    return std::nullopt;
}

std::optional<Repo> Store::createRepo(const QString &owner, const QString &slug,
                                      const QString &name) const {
    QLockFile lock(lockPath(QStringLiteral("store")));
    auto document = lockAndReadJson(lock, kReposFile);
    if (!document)
        return std::nullopt;
    QJsonArray list = document->value(QStringLiteral("repos")).toArray();
    for (const QJsonValue &value : list) {
        const QJsonObject o = value.toObject();
        if (o.value(QStringLiteral("owner")).toString().compare(owner, Qt::CaseInsensitive) == 0 &&
            o.value(QStringLiteral("slug")).toString() == slug)
            return Repo{o.value(QStringLiteral("id")).toString(), slug,
                        o.value(QStringLiteral("name")).toString(),
                        o.value(QStringLiteral("visibility")).toString(),
                        o.value(QStringLiteral("owner")).toString()};
    }
    const Repo repo{QUuid::createUuid().toString(QUuid::WithoutBraces), slug, name,
                    QStringLiteral("public"), owner.toLower()};
    list.append(QJsonObject{{QStringLiteral("id"), repo.id},
                            {QStringLiteral("slug"), repo.slug},
                            {QStringLiteral("name"), repo.name},
                            {QStringLiteral("visibility"), repo.visibility},
                            {QStringLiteral("owner"), repo.owner}});
    document->insert(QStringLiteral("repos"), list);
    if (!writeJson(kReposFile, *document))
        return std::nullopt;
    return repo;
}

Manifest Store::loadManifest(const QString &repoId) const {
    Manifest manifest;
    QFile file(m_root + QStringLiteral("/manifests/") + repoId);
    if (!file.open(QIODevice::ReadOnly))
        return manifest;
    const QByteArray data = file.readAll();
    qsizetype start = 0;
    bool header = true;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        if (end < 0)
            end = data.size();
        const QByteArrayView line(data.constData() + start, end - start);
        start = end + 1;
        if (header) {
            header = false;
            continue;
        }
        // sha \t size \t version \t private \t path (the path last: it may hold tabs)
        const qsizetype t1 = line.indexOf('\t');
        const qsizetype t2 = t1 < 0 ? -1 : line.indexOf('\t', t1 + 1);
        const qsizetype t3 = t2 < 0 ? -1 : line.indexOf('\t', t2 + 1);
        const qsizetype t4 = t3 < 0 ? -1 : line.indexOf('\t', t3 + 1);
        if (t4 < 0)
            continue;
        ManifestEntry entry;
        entry.sha256 = line.first(t1).toByteArray();
        entry.size = line.sliced(t1 + 1, t2 - t1 - 1).toLongLong();
        entry.version = line.sliced(t2 + 1, t3 - t2 - 1).toLongLong();
        entry.isPrivate = line.sliced(t3 + 1, t4 - t3 - 1) == "1";
        manifest.emplace_hint(manifest.end(), QString::fromUtf8(line.sliced(t4 + 1)),
                              std::move(entry));
    }
    return manifest;
}

bool Store::saveManifest(const QString &repoId, const Manifest &manifest) const {
    QByteArray data = kManifestHeader + '\n';
    data.reserve(static_cast<qsizetype>(manifest.size()) * 120);
    for (const auto &[path, entry] : manifest) {
        data += entry.sha256 + '\t' + QByteArray::number(entry.size) + '\t' +
                QByteArray::number(entry.version) + '\t' + (entry.isPrivate ? "1" : "0") + '\t' +
                path.toUtf8() + '\n';
    }
    return writeFileAtomically(m_root + QStringLiteral("/manifests/") + repoId, data);
}

QString Store::objectPath(const QByteArray &sha256) const {
    if (!isHexSha(sha256))
        return {};
    return m_root + QStringLiteral("/objects/") + QString::fromLatin1(sha256.left(2)) +
           QLatin1Char('/') + QString::fromLatin1(sha256);
}

bool Store::hasObject(const QByteArray &sha256) const {
    const QString path = objectPath(sha256);
    return !path.isEmpty() && QFileInfo::exists(path);
}

std::optional<StoredObject> Store::commitObject(QTemporaryFile &file, const QByteArray &sha256,
                                                qint64 size) const {
    const QString target = objectPath(sha256);
    if (QFileInfo::exists(target))
        return StoredObject{sha256, size}; // content-addressed: the same bytes are there
    if (!QDir().mkpath(QFileInfo(target).path()) || !file.flush())
        return std::nullopt;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                        QFileDevice::ReadOther);
    if (!file.rename(target))
        return QFileInfo::exists(target) ? std::optional(StoredObject{sha256, size}) : std::nullopt;
    file.setAutoRemove(false);
    return StoredObject{sha256, size};
}

std::optional<StoredObject> Store::storeFile(const QString &path) const {
    // Never through a symbolic link: only the regular file the scan saw is sent.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QFile source;
    if (!source.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return std::nullopt;
    }
    QTemporaryFile target(m_root + QStringLiteral("/objects/incoming-XXXXXX"));
    if (!target.open())
        return std::nullopt;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(kCopyChunk, Qt::Uninitialized);
    qint64 size = 0;
    for (;;) {
        const qint64 n = source.read(buffer.data(), buffer.size());
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        hash.addData(QByteArrayView(buffer.constData(), n));
        if (target.write(buffer.constData(), n) != n)
            return std::nullopt;
        size += n;
    }
    return commitObject(target, hash.result().toHex(), size);
}

std::optional<StoredObject> Store::storeData(const QByteArray &data) const {
    QTemporaryFile target(m_root + QStringLiteral("/objects/incoming-XXXXXX"));
    if (!target.open() || target.write(data) != data.size())
        return std::nullopt;
    return commitObject(target, QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex(),
                        data.size());
}

} // namespace orvu::local
