#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTemporaryFile>

#include <map>
#include <memory>
#include <optional>

namespace orvu::local {

class LeaseLock;

struct User {
    QString email;
    QString username;
};

struct Repo {
    QString id;
    QString slug;
    QString name;
    QString visibility;
    QString owner; // the owner's e-mail address
};

struct ManifestEntry {
    QByteArray sha256; // lower-case hex
    qint64 size = 0;
    qint64 version = 0;
    bool isPrivate = false;
};
using Manifest = std::map<QString, ManifestEntry>;

struct StoredObject {
    QByteArray sha256;
    qint64 size = 0;
};

// Where the store of a --server URL lives: a file:/// URL names the directory itself; any
// other URL gets its own directory under the user's data directory, keyed by host.
struct StoreLocation {
    QString root;
    bool mustExist = false; // an explicit directory that is missing is an unreachable server
};
std::optional<StoreLocation> storeLocationFor(const QString &serverUrl);

// The "server": users, sign-in tokens, repos, manifests and content-addressed file versions
// in one directory. Every file is replaced atomically; read-modify-write cycles of the shared
// JSON files run under the store lock.
class Store {
public:
    explicit Store(QString root);

    QString root() const { return m_root; }
    bool exists() const;
    bool prepare() const; // creates the directory layout
    bool isOffline() const;
    bool setOffline(bool offline) const;

    // Nothing when the address is unknown; `damaged` tells a store that cannot be read apart.
    std::optional<User> userByEmail(const QString &email, bool *damaged = nullptr) const;
    std::optional<User> ensureUser(const QString &email) const;

    // A fresh one-time sign-in token for the address, valid for 15 minutes.
    std::optional<QString> mintSignInToken(const QString &email) const;
    // The address the token signs in, consuming the token; nothing when unknown, used or old.
    std::optional<QString> redeemSignInToken(const QString &token) const;
    bool addLegacyToken(const QString &email, const QString &token) const;
    std::optional<QString> emailForLegacyToken(const QString &token) const;

    // Writes a mail into the outbox and returns its path.
    std::optional<QString> writeMail(const QString &to, const QString &link) const;
    std::optional<QString> newestLink(const QString &to) const;

    // Nothing when repos.json cannot be read; entries whose id is not a plain name are left out.
    std::optional<QList<Repo>> repos() const;
    std::optional<Repo> repoById(const QString &id) const;
    std::optional<Repo> createRepo(const QString &owner, const QString &slug,
                                   const QString &name) const;

    // The newest manifest only when it parses completely; otherwise nothing and `error` says
    // why. A repo's manifest is written when the repo is made, so a missing one is damage too.
    // `generation` is its version: 0 for the one written with the repo (or by older tools).
    std::optional<Manifest> loadManifest(const QString &repoId, QString *error,
                                         qint64 *generation = nullptr) const;
    // Compare-and-swap: `manifest` becomes version base + 1 only if no other run made that
    // version first. Every version is created whole under its own name with an exclusive
    // link, so two computers can never both commit on top of the same version.
    enum class CommitOutcome { Committed, Superseded, Failed };
    CommitOutcome commitManifest(const QString &repoId, const Manifest &manifest,
                                 qint64 base) const;

    QString objectPath(const QByteArray &sha256) const;
    bool hasObject(const QByteArray &sha256) const;
    // Copies an open file into the store, hashing what is actually read.
    std::optional<StoredObject> storeFile(int fd) const;
    // Copies a stored version to `outFd`, checking it against its hash and size as it goes.
    enum class CopyOutcome { Copied, Missing, Corrupt, WriteFailed };
    CopyOutcome copyObject(const QByteArray &sha256, qint64 size, int outFd) const;
    std::optional<StoredObject> storeData(const QByteArray &data) const;

    // Lock files: "store" for the shared JSON files, a repo id for its manifest.
    QString lockPath(const QString &name) const;

private:
    std::optional<QJsonObject> readJson(const QString &name) const;
    // Takes `lock` (the store lock) and reads the file under it, for a read-modify-write.
    std::optional<QJsonObject> lockAndReadJson(LeaseLock &lock, const QString &name) const;
    bool writeJson(const LeaseLock &lock, const QString &name, const QJsonObject &object) const;
    bool saveManifest(const QString &repoId, const Manifest &manifest) const;
    QString versionsPath(const QString &repoId) const;
    qint64 newestVersion(const QString &repoId) const;

    QString m_root;
    std::shared_ptr<class ObjectFiles> m_objects;
};

// Repo ids name files in the store, so they must be plain names.
bool isPlainId(const QString &id);

// Writes the whole file through a temporary file and a rename.
bool writeFileAtomically(const QString &path, const QByteArray &data, bool privateToUser = false);

} // namespace orvu::local
