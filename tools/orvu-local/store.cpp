#include "store.h"

#include "folder_io.h"
#include "json_output.h"
#include "lease_lock.h"
#include "object_io.h"
#include "paths.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <QUrl>
#include <QUuid>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace orvu::local {

namespace {

constexpr qint64 kSignInTokenLifetimeMs = 15 * 60 * 1000;
constexpr int kStoreLockWaitMs = 10000;
// Versions of a manifest kept besides the newest: enough for a reader that listed the
// versions just before a few more commits to still find the one it chose.
constexpr qint64 kKeptVersions = 4;

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

// A decimal number without sign, spaces or overflow, at least `minimum`.
std::optional<qint64> parseCount(QByteArrayView text, qint64 minimum) {
    if (text.isEmpty() || text.size() > 19)
        return std::nullopt;
    qint64 value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const int digit = c - '0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    if (value < minimum)
        return std::nullopt;
    return value;
}

// Paths are nearly always ASCII, which needs no decoder to be known valid.
std::optional<QString> decodePath(QByteArrayView raw) {
    bool ascii = true;
    for (const char c : raw)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii)
        return QString::fromLatin1(raw);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(raw);
    if (decoder.hasError())
        return std::nullopt;
    return decoded;
}

std::optional<Manifest> parseManifest(const QByteArray &data, QString *error) {
    auto damaged = [&](const QString &why) -> std::optional<Manifest> {
        *error = why;
        return std::nullopt;
    };
    const qsizetype headerEnd = data.indexOf('\n');
    if (headerEnd < 0 || QByteArrayView(data).first(headerEnd) != kManifestHeader)
        return damaged(QStringLiteral("it does not start with its header"));
    if (!data.endsWith('\n'))
        return damaged(QStringLiteral("it is cut short"));
    Manifest manifest;
    qsizetype start = headerEnd + 1;
    qsizetype lineNumber = 1;
    while (start < data.size()) {
        const qsizetype end = data.indexOf('\n', start);
        const QByteArrayView line(data.constData() + start, end - start);
        start = end + 1;
        ++lineNumber;
        // sha \t size \t version \t private \t path (the path last: it may hold tabs)
        const qsizetype t1 = line.indexOf('\t');
        const qsizetype t2 = t1 < 0 ? -1 : line.indexOf('\t', t1 + 1);
        const qsizetype t3 = t2 < 0 ? -1 : line.indexOf('\t', t2 + 1);
        const qsizetype t4 = t3 < 0 ? -1 : line.indexOf('\t', t3 + 1);
        const auto bad = [&] {
            return damaged(QStringLiteral("line %1 is not a valid entry").arg(lineNumber));
        };
        if (t4 < 0)
            return bad();
        const QByteArray sha = line.first(t1).toByteArray();
        const auto size = parseCount(line.sliced(t1 + 1, t2 - t1 - 1), 0);
        const auto version = parseCount(line.sliced(t2 + 1, t3 - t2 - 1), 1);
        const QByteArrayView flag = line.sliced(t3 + 1, t4 - t3 - 1);
        const QByteArrayView rawPath = line.sliced(t4 + 1);
        const auto path = decodePath(rawPath);
        if (!isHexSha(sha) || !size || !version || (flag != "0" && flag != "1") || !path ||
            !isCanonicalRelative(*path))
            return bad();
        const auto hint = manifest.end();
        if (!manifest.empty() && !(std::prev(hint)->first < *path))
            return damaged(QStringLiteral("line %1 is out of order").arg(lineNumber));
        manifest.emplace_hint(hint, *path, ManifestEntry{sha, *size, *version, flag == "1"});
    }
    return manifest;
}

QByteArray manifestText(const Manifest &manifest) {
    QByteArray data = kManifestHeader + '\n';
    data.reserve(static_cast<qsizetype>(manifest.size()) * 120);
    for (const auto &[path, entry] : manifest) {
        data += entry.sha256 + '\t' + QByteArray::number(entry.size) + '\t' +
                QByteArray::number(entry.version) + '\t' + (entry.isPrivate ? "1" : "0") + '\t' +
                path.toUtf8() + '\n';
    }
    return data;
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
        // "file://dir/x" names the host "dir", not a directory: only file:///absolute/dir
        // (or file://localhost/...) names a directory here.
        const QString host = url.host();
        const QString path = url.path();
        if ((!host.isEmpty() && host != QStringLiteral("localhost")) ||
            !path.startsWith(QLatin1Char('/')))
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

bool isPlainId(const QString &id) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_-]{0,127}$"));
    return plain.match(id).hasMatch();
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

Store::Store(QString root)
    : m_root(std::move(root)),
      m_objects(std::make_shared<ObjectFiles>(m_root + QStringLiteral("/objects"))) {}

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
    if (!isPlainId(name))
        return QString();
    return m_root + QStringLiteral("/locks/") + name + QStringLiteral(".lock");
}

std::optional<QJsonObject> Store::readJson(const QString &name) const {
    const FileContent content = readRegularFile(m_root + QLatin1Char('/') + name);
    if (content.status == ReadStatus::Missing)
        return QJsonObject{};
    if (content.status != ReadStatus::Ok)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(content.data);
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QJsonObject> Store::lockAndReadJson(LeaseLock &lock, const QString &name) const {
    if (lock.acquire(kStoreLockWaitMs) != LeaseLock::Outcome::Acquired)
        return std::nullopt;
    return readJson(name);
}

bool Store::writeJson(const LeaseLock &lock, const QString &name, const QJsonObject &object) const {
    // A run that slept past its lease must not write over what the next holder wrote.
    return lock.isHeld() &&
           writeFileAtomically(m_root + QLatin1Char('/') + name,
                               QJsonDocument(object).toJson(QJsonDocument::Indented));
}

std::optional<User> Store::userByEmail(const QString &email, bool *damaged) const {
    const auto users = readJson(kUsersFile);
    if (damaged)
        *damaged = !users;
    if (!users)
        return std::nullopt;
    const QJsonObject entry =
        users->value(QStringLiteral("users")).toObject().value(email.toLower()).toObject();
    if (entry.isEmpty())
        return std::nullopt;
    return userFrom(entry);
}

std::optional<User> Store::ensureUser(const QString &email) const {
    LeaseLock lock(lockPath(QStringLiteral("store")));
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
    if (!writeJson(lock, kUsersFile, *document))
        return std::nullopt;
    return User{email, username};
}

std::optional<QString> Store::mintSignInToken(const QString &email) const {
    LeaseLock lock(lockPath(QStringLiteral("store")));
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
    if (!writeJson(lock, kTokensFile, *document))
        return std::nullopt;
    return token;
}

std::optional<QString> Store::redeemSignInToken(const QString &token) const {
    if (token.isEmpty())
        return std::nullopt;
    LeaseLock lock(lockPath(QStringLiteral("store")));
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
    if (!writeJson(lock, kTokensFile, *document))
        return std::nullopt;
    return entry.value(QStringLiteral("email")).toString();
}

bool Store::addLegacyToken(const QString &email, const QString &token) const {
    LeaseLock lock(lockPath(QStringLiteral("store")));
    auto document = lockAndReadJson(lock, kUsersFile);
    if (!document)
        return false;
    QJsonObject legacy = document->value(QStringLiteral("legacyTokens")).toObject();
    legacy.insert(token, email.toLower());
    document->insert(QStringLiteral("legacyTokens"), legacy);
    return writeJson(lock, kUsersFile, *document);
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

std::optional<QList<Repo>> Store::repos() const {
    QList<Repo> result;
    const auto document = readJson(kReposFile);
    if (!document)
        return std::nullopt;
    for (const QJsonValue &value : document->value(QStringLiteral("repos")).toArray()) {
        const QJsonObject o = value.toObject();
        if (!isPlainId(o.value(QStringLiteral("id")).toString())) {
            warn(QStringLiteral("Ignoring a repo whose id is not a plain name"));
            continue;
        }
        result.append(Repo{o.value(QStringLiteral("id")).toString(),
                           o.value(QStringLiteral("slug")).toString(),
                           o.value(QStringLiteral("name")).toString(),
                           o.value(QStringLiteral("visibility")).toString(),
                           o.value(QStringLiteral("owner")).toString()});
    }
    return result;
}

std::optional<Repo> Store::repoById(const QString &id) const {
    const auto all = repos();
    if (!all)
        return std::nullopt;
    for (const Repo &repo : *all)
        if (repo.id == id)
            return repo;
    return std::nullopt;
}

std::optional<Repo> Store::createRepo(const QString &owner, const QString &slug,
                                      const QString &name) const {
    LeaseLock lock(lockPath(QStringLiteral("store")));
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
    // The manifest exists before the repo is listed, so a missing one always means damage.
    if (!saveManifest(repo.id, {}))
        return std::nullopt;
    list.append(QJsonObject{{QStringLiteral("id"), repo.id},
                            {QStringLiteral("slug"), repo.slug},
                            {QStringLiteral("name"), repo.name},
                            {QStringLiteral("visibility"), repo.visibility},
                            {QStringLiteral("owner"), repo.owner}});
    document->insert(QStringLiteral("repos"), list);
    if (!writeJson(lock, kReposFile, *document))
        return std::nullopt;
    return repo;
}

QString Store::versionsPath(const QString &repoId) const {
    return m_root + QStringLiteral("/manifests/") + repoId + QStringLiteral(".versions");
}

qint64 Store::newestVersion(const QString &repoId) const {
    DIR *dir = ::opendir(QFile::encodeName(versionsPath(repoId)).constData());
    if (!dir)
        return errno == ENOENT ? 0 : -1;
    qint64 newest = 0;
    while (const dirent *entry = ::readdir(dir))
        if (const auto number = parseCount(entry->d_name, 1))
            newest = std::max(newest, *number);
    ::closedir(dir);
    return newest;
}

std::optional<Manifest> Store::loadManifest(const QString &repoId, QString *error,
                                            qint64 *generation) const {
    if (!isPlainId(repoId)) {
        *error = QStringLiteral("the repo id is not a plain name");
        return std::nullopt;
    }
    for (int attempt = 0;; ++attempt) {
        const qint64 newest = newestVersion(repoId);
        if (newest < 0) {
            *error = QStringLiteral("it cannot be read");
            return std::nullopt;
        }
        // Before the first commit, and in stores of older tools, only the plain name exists.
        const QString path =
            newest == 0 ? m_root + QStringLiteral("/manifests/") + repoId
                        : versionsPath(repoId) + QLatin1Char('/') + QString::number(newest);
        const FileContent content = readRegularFile(path);
        if (content.status == ReadStatus::Missing && newest > 0 && attempt < 3)
            continue; // pruned by newer commits while we looked
        if (content.status != ReadStatus::Ok) {
            *error = content.status == ReadStatus::Missing ? QStringLiteral("it is missing")
                                                           : QStringLiteral("it cannot be read");
            return std::nullopt;
        }
        if (generation)
            *generation = newest;
        return parseManifest(content.data, error);
    }
}

bool Store::saveManifest(const QString &repoId, const Manifest &manifest) const {
    return isPlainId(repoId) && writeFileAtomically(m_root + QStringLiteral("/manifests/") + repoId,
                                                    manifestText(manifest));
}

Store::CommitOutcome Store::commitManifest(const QString &repoId, const Manifest &manifest,
                                           qint64 base) const {
    if (!isPlainId(repoId) || base < 0 || base == std::numeric_limits<qint64>::max() ||
        !QDir().mkpath(versionsPath(repoId)))
        return CommitOutcome::Failed;
    const Fd dir(::open(QFile::encodeName(versionsPath(repoId)).constData(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto temporary = dir.valid() ? createTemporaryAt(dir.get(), 0644) : std::nullopt;
    if (!temporary)
        return CommitOutcome::Failed;
    const QByteArray data = manifestText(manifest);
    const auto drop = [&] { ::unlinkat(dir.get(), temporary->name.constData(), 0); };
    for (qsizetype written = 0; written < data.size();) {
        const ssize_t n = ::write(temporary->fd.get(), data.constData() + written,
                                  static_cast<size_t>(data.size() - written));
        if (n <= 0 && errno != EINTR)
            return drop(), CommitOutcome::Failed;
        written += std::max<ssize_t>(n, 0);
    }
    if (::fsync(temporary->fd.get()) != 0)
        return drop(), CommitOutcome::Failed;
    temporary->fd = Fd();
    // The commit itself: the next version's name, made whole and only once. A link, unlike a
    // file created empty and then written, is never seen half-written by another computer.
    const QByteArray version = QByteArray::number(base + 1);
    if (::linkat(dir.get(), temporary->name.constData(), dir.get(), version.constData(), 0) != 0) {
        const bool taken = errno == EEXIST;
        drop();
        return taken ? CommitOutcome::Superseded : CommitOutcome::Failed;
    }
    // A run that slept through several commits may get a number back that pruning freed; it
    // is not the newest, so nobody reads it, and the next pruning takes it away.
    if (newestVersion(repoId) != base + 1)
        return drop(), CommitOutcome::Superseded;
    // The plain name shares the newest version's file, for readers that know only that name.
    const Fd manifests(::open(QFile::encodeName(m_root + QStringLiteral("/manifests")).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!manifests.valid() || ::renameat(dir.get(), temporary->name.constData(), manifests.get(),
                                         QFile::encodeName(repoId).constData()) != 0)
        drop();
    if (DIR *listing = ::fdopendir(::dup(dir.get()))) {
        while (const dirent *entry = ::readdir(listing))
            if (const auto number = parseCount(entry->d_name, 1);
                number && *number <= base + 1 - kKeptVersions)
                ::unlinkat(dir.get(), entry->d_name, 0);
        ::closedir(listing);
    }
    return CommitOutcome::Committed;
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

std::optional<StoredObject> Store::storeFile(int fd) const {
    return m_objects->store(fd);
}

Store::CopyOutcome Store::copyObject(const QByteArray &sha256, qint64 size, int outFd) const {
    return m_objects->copy(sha256, size, outFd);
}

std::optional<StoredObject> Store::storeData(const QByteArray &data) const {
    return m_objects->store(QByteArrayView(data));
}

} // namespace orvu::local
