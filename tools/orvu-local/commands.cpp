#include "commands.h"

#include "folder_io.h"
#include "folder_state.h"
#include "json_output.h"
#include "lease_lock.h"
#include "paths.h"
#include "sync_command.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>
#include <QUrlQuery>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <unistd.h>
#include <variant>

namespace orvu::local {

namespace {

const QStringList kValueOptions{QStringLiteral("--email"), QStringLiteral("--verify"),
                                QStringLiteral("--token"), QStringLiteral("--repo"),
                                QStringLiteral("--name"),  QStringLiteral("--resolve"),
                                QStringLiteral("--only"),  QStringLiteral("--server")};
const QString kJson = QStringLiteral("--json");
const QStringList kFlags{kJson, QStringLiteral("--force"), QStringLiteral("--remote"),
                         QStringLiteral("--dry-run"), QStringLiteral("--pull-only")};

const QMap<QString, QString> &usages() {
    static const QMap<QString, QString> map{
        {QStringLiteral("login"),
         QStringLiteral("orvu login (--email <address> | --verify <token or link> | --token "
                        "<token>) --json")},
        {QStringLiteral("whoami"), QStringLiteral("orvu whoami --json")},
        {QStringLiteral("logout"), QStringLiteral("orvu logout")},
        {QStringLiteral("repos"), QStringLiteral("orvu repos --json")},
        {QStringLiteral("init"),
         QStringLiteral("orvu init <absolute folder> --repo <slug> --json [--name <name>] "
                        "[--force]")},
        {QStringLiteral("status"), QStringLiteral("orvu status <folder> [--remote] --json")},
        {QStringLiteral("sync"),
         QStringLiteral("orvu sync <folder> --json (--resolve keep-both | --dry-run) "
                        "[--only <path>... | --pull-only]")},
        {QStringLiteral("discard"), QStringLiteral("orvu discard <path> --json")},
        {QStringLiteral("admin"),
         QStringLiteral("orvu admin (put <slug> <path> [<file>] | rm <slug> <path> | offline "
                        "on|off | mail <email> | add-token <email> <token> | seed-demo)")},
    };
    return map;
}

int usageError(const QString &command) {
    const QString usage = usages().value(command);
    if (usage.isEmpty())
        return fail(kExitFailure,
                    QStringLiteral("Usage: orvu [--server <url>] <command> ...; commands: ") +
                        usages().keys().join(QStringLiteral(", ")));
    return fail(kExitFailure, QStringLiteral("Usage: ") + usage);
}

QString configHome() {
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    return configured.isEmpty() ? QDir::homePath() + QStringLiteral("/.config") : configured;
}

// The client side of the sign-in: which address is signed in to which store.
QString sessionPath() {
    return configHome() + QStringLiteral("/orvu-local/session.json");
}

QJsonObject readSessions() {
    return QJsonDocument::fromJson(readRegularFile(sessionPath()).data).object();
}

int storeDamaged(const QString &what) {
    return fail(kExitFailure,
                QStringLiteral("The server's %1 cannot be read; the store is damaged").arg(what));
}

bool writeSession(const Server &server, const std::optional<QString> &email) {
    QJsonObject sessions = readSessions();
    if (email)
        sessions.insert(server.store.root(), *email);
    else
        sessions.remove(server.store.root());
    const QString directory = QFileInfo(sessionPath()).path();
    if (!QDir().mkpath(directory))
        return false;
    QFile::setPermissions(directory,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return writeFileAtomically(sessionPath(), QJsonDocument(sessions).toJson(), true);
}

QJsonObject authLine(const QString &state, const QString &email, const QString &username = {}) {
    QJsonObject line{{QStringLiteral("type"), QStringLiteral("auth")},
                     {QStringLiteral("authState"), state},
                     {QStringLiteral("email"), email}};
    if (!username.isEmpty())
        line.insert(QStringLiteral("username"), username);
    return line;
}

int success(const QString &message, QJsonObject extra = {}) {
    extra.insert(QStringLiteral("type"), QStringLiteral("success"));
    extra.insert(QStringLiteral("message"), message);
    emitLine(extra);
    return kExitOk;
}

bool isEmailAddress(const QString &text) {
    static const QRegularExpression pattern(
        QStringLiteral("^[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)*\\.[A-Za-z]{2,}$"));
    return pattern.match(text).hasMatch();
}

bool isSlug(const QString &text) {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,99}$"));
    return pattern.match(text).hasMatch();
}

int signInAs(const Server &server, const QString &email) {
    const auto user = server.store.ensureUser(email);
    if (!user)
        return fail(kExitFailure, QStringLiteral("Could not read or write the store's users"));
    if (!writeSession(server, user->email))
        return fail(kExitFailure, QStringLiteral("Could not save the sign-in"));
    emitLine(authLine(QStringLiteral("signedIn"), user->email, user->username));
    return kExitOk;
}

int login(const Server &server, const Invocation &invocation) {
    const int forms = int(invocation.has(QStringLiteral("--email"))) +
                      int(invocation.has(QStringLiteral("--verify"))) +
                      int(invocation.has(QStringLiteral("--token")));
    if (forms != 1 || !invocation.positionals.isEmpty())
        return usageError(QStringLiteral("login"));
    if (invocation.has(QStringLiteral("--email"))) {
        const QString email = invocation.value(QStringLiteral("--email")).trimmed();
        if (!isEmailAddress(email))
            return fail(kExitFailure,
                        QStringLiteral("\"%1\" is not a valid e-mail address").arg(email));
        if (auto error = requireServer(server))
            return *error;
        if (const auto current = signedInUser(server);
            current && current->email.compare(email, Qt::CaseInsensitive) == 0) {
            emitLine(authLine(QStringLiteral("signedIn"), current->email, current->username));
            return kExitOk;
        }
        if (!server.store.ensureUser(email))
            return fail(kExitFailure, QStringLiteral("Could not read or write the store's users"));
        const auto token = server.store.mintSignInToken(email);
        const auto mail =
            token ? server.store.writeMail(email, QStringLiteral("orvu://verify?token=") + *token)
                  : std::nullopt;
        if (!mail)
            return fail(kExitFailure, QStringLiteral("Could not send the sign-in mail"));
        emitLine(authLine(QStringLiteral("pending"), email));
        warn(QStringLiteral("A sign-in link for %1 was written to %2").arg(email, *mail));
        return kExitOk;
    }
    if (invocation.has(QStringLiteral("--verify"))) {
        if (auto error = requireServer(server))
            return *error;
        QString token = invocation.value(QStringLiteral("--verify")).trimmed();
        if (const qsizetype at = token.indexOf(QStringLiteral("token=")); at >= 0) {
            token = token.mid(at + 6);
            token = token.section(QLatin1Char('&'), 0, 0).section(QLatin1Char('#'), 0, 0);
            token = QUrl::fromPercentEncoding(token.toUtf8());
        }
        const auto email = server.store.redeemSignInToken(token);
        if (!email)
            return fail(kExitFailure,
                        QStringLiteral("This sign-in link is invalid or has expired"));
        return signInAs(server, *email);
    }
    if (auto error = requireServer(server))
        return *error;
    const auto email =
        server.store.emailForLegacyToken(invocation.value(QStringLiteral("--token")).trimmed());
    if (!email)
        return fail(kExitFailure, QStringLiteral("This token is not valid on this server"));
    return signInAs(server, *email);
}

int whoami(const Server &server) {
    if (auto error = requireServer(server))
        return *error;
    bool damaged = false;
    const auto user = signedInUser(server, &damaged);
    if (damaged)
        return storeDamaged(QStringLiteral("user list"));
    if (!user)
        return fail(kExitNotSignedIn, QStringLiteral("Not signed in"));
    emitLine(authLine(QStringLiteral("signedIn"), user->email, user->username));
    return kExitOk;
}

QJsonObject repoObject(const Repo &repo) {
    return {{QStringLiteral("id"), repo.id},
            {QStringLiteral("slug"), repo.slug},
            {QStringLiteral("name"), repo.name},
            {QStringLiteral("visibility"), repo.visibility}};
}

std::optional<int> requireUser(const Server &server, std::optional<User> *user) {
    if (auto error = requireServer(server))
        return error;
    bool damaged = false;
    *user = signedInUser(server, &damaged);
    if (damaged)
        return storeDamaged(QStringLiteral("user list"));
    if (!*user)
        return fail(kExitNotSignedIn, QStringLiteral("Not signed in"));
    return std::nullopt;
}

int repos(const Server &server) {
    std::optional<User> user;
    if (auto error = requireUser(server, &user))
        return *error;
    const auto all = server.store.repos();
    if (!all)
        return storeDamaged(QStringLiteral("repo list"));
    QJsonArray list;
    for (const Repo &repo : *all)
        if (repo.owner.compare(user->email, Qt::CaseInsensitive) == 0)
            list.append(repoObject(repo));
    emitLine({{QStringLiteral("type"), QStringLiteral("repos")}, {QStringLiteral("repos"), list}});
    return kExitOk;
}

int init(const Server &server, const Invocation &invocation) {
    const QString slug = invocation.value(QStringLiteral("--repo"));
    if (invocation.positionals.size() != 1 || slug.isEmpty())
        return usageError(QStringLiteral("init"));
    const QString folderPath = invocation.positionals.first();
    if (!QDir::isAbsolutePath(folderPath))
        return fail(kExitFailure,
                    QStringLiteral("The folder must be an absolute path: %1").arg(folderPath));
    if (!isSlug(slug))
        return fail(kExitFailure,
                    QStringLiteral("\"%1\" is not a valid repo slug (letters, digits, \".\", "
                                   "\"_\" and \"-\")")
                        .arg(slug));
    std::optional<User> user;
    if (auto error = requireUser(server, &user))
        return *error;
    const Folder folder(folderPath);
    if (QFileInfo(folder.root()).isSymLink() ||
        (QFileInfo::exists(folder.root()) && !QFileInfo(folder.root()).isDir()))
        return fail(kExitFailure, QStringLiteral("%1 is not a folder").arg(folder.root()));
    if (!QDir().mkpath(folder.root()))
        return fail(kExitFailure, QStringLiteral("Could not create %1").arg(folder.root()));

    QString name = invocation.value(QStringLiteral("--name"));
    if (name.isEmpty())
        name = slug;
    const auto repo = server.store.createRepo(user->email, slug, name);
    if (!repo)
        return fail(kExitFailure, QStringLiteral("Could not create the repo %1").arg(slug));

    const auto existing = folder.readConfig();
    const bool sameLink = existing && existing->repoId == repo->id;
    if (existing && !sameLink && !invocation.flags.contains(QStringLiteral("--force")))
        return fail(kExitFailure,
                    QStringLiteral("%1 is already linked to the repo %2; use --force to link it "
                                   "to %3 instead")
                        .arg(folder.root(),
                             existing->slug.isEmpty() ? existing->repoId : existing->slug, slug));
    if (!folder.writeConfig(FolderConfig{repo->id, repo->slug, server.url}))
        return fail(kExitFailure,
                    QStringLiteral("Could not write %1/.orvu/config").arg(folder.root()));
    // A new link starts with no history, so the first sync reconciles both sides.
    if (!sameLink && !folder.saveState({}))
        return fail(kExitFailure, QStringLiteral("Could not write the folder's sync state"));
    return success(QStringLiteral("Linked %1 to %2").arg(folder.root(), repo->slug),
                   {{QStringLiteral("repoId"), repo->id}, {QStringLiteral("slug"), repo->slug}});
}

struct BoundFolder {
    Folder folder;
    FolderConfig config;
};

std::variant<BoundFolder, int> openBoundFolder(const QString &path) {
    const QString absolute =
        QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path);
    Folder folder(absolute);
    const auto config = folder.readConfig();
    if (!config)
        return fail(
            kExitFailure,
            QStringLiteral("%1 is not linked to a repo (run orvu init first)").arg(folder.root()));
    return BoundFolder{folder, *config};
}

std::optional<int> checkAccess(const Server &server, const User &user, const FolderConfig &config) {
    if (!server.store.repos())
        return storeDamaged(QStringLiteral("repo list"));
    const auto repo = server.store.repoById(config.repoId);
    if (!repo)
        return fail(kExitFailure,
                    QStringLiteral("The repo %1 does not exist on this server").arg(config.slug));
    if (repo->owner.compare(user.email, Qt::CaseInsensitive) != 0)
        return fail(kExitFailure,
                    QStringLiteral("You have no access to the repo %1").arg(config.slug));
    return std::nullopt;
}

QJsonArray localChanges(const LocalFiles &local, const SyncedState &state,
                        const QStringList &unreadable) {
    // Both maps are sorted: one merge yields the changes in path order.
    QJsonArray changes;
    auto add = [&](const QString &path, const char *kind) {
        changes.append(QJsonObject{{QStringLiteral("path"), path},
                                   {QStringLiteral("change"), QLatin1String(kind)}});
    };
    auto l = local.begin();
    auto s = state.begin();
    while (l != local.end() || s != state.end()) {
        if (s == state.end() || (l != local.end() && l->first < s->first)) {
            add(l->first, "A");
            ++l;
        } else if (l == local.end() || s->first < l->first) {
            // What cannot be read is not known to be gone.
            if (!isHiddenPath(s->first) && !isUnder(s->first, unreadable))
                add(s->first, "D");
            ++s;
        } else {
            if (l->second.sha256 != s->second.sha256)
                add(l->first, "M");
            ++l;
            ++s;
        }
    }
    return changes;
}

int status(const Server &server, const Invocation &invocation) {
    if (invocation.positionals.size() != 1)
        return usageError(QStringLiteral("status"));
    auto bound = openBoundFolder(invocation.positionals.first());
    if (auto *error = std::get_if<int>(&bound))
        return *error;
    const BoundFolder &target = std::get<BoundFolder>(bound);
    const bool remote = invocation.flags.contains(QStringLiteral("--remote"));
    std::optional<User> user;
    if (remote) {
        if (auto error = requireUser(server, &user))
            return *error;
        if (auto error = checkAccess(server, *user, target.config))
            return *error;
    }
    Manifest manifest;
    if (remote) {
        QString error;
        auto loaded = server.store.loadManifest(target.config.repoId, &error);
        if (!loaded)
            return fail(kExitFailure,
                        QStringLiteral("The server's file list of this repo cannot be used (%1)")
                            .arg(error));
        manifest = std::move(*loaded);
    }
    // Only files with something to compare against are read.
    const auto [state, scan] = target.folder.loadStateAndScan(manifest);
    if (!state)
        return fail(kExitFailure, QStringLiteral("The folder's sync state cannot be read"));
    if (!scan)
        return fail(kExitFailure,
                    QStringLiteral("Cannot read the folder %1").arg(target.folder.root()));
    const LocalFiles &local = scan->files;
    QJsonObject line{{QStringLiteral("type"), QStringLiteral("status")},
                     {QStringLiteral("changes"), localChanges(local, *state, scan->unreadable)}};
    if (remote) {
        const SyncPlan plan = makePlan(local, *state, manifest, std::nullopt, scan->unreadable);
        QJsonArray changes;
        auto add = [&](const QStringList &paths, const char *kind) {
            for (const QString &path : paths)
                changes.append(QJsonObject{{QStringLiteral("path"), path},
                                           {QStringLiteral("change"), QLatin1String(kind)}});
        };
        add(plan.remoteOnlyPull, "P");
        add(plan.remoteOnlyDelete, "RD");
        add(plan.conflicts, "C");
        line.insert(QStringLiteral("remote"),
                    QJsonObject{{QStringLiteral("toPull"), plan.remoteOnlyPull.size()},
                                {QStringLiteral("toDelete"), plan.remoteOnlyDelete.size()},
                                {QStringLiteral("conflicts"), plan.conflicts.size()},
                                {QStringLiteral("changes"), changes}});
    }
    emitLine(line);
    return kExitOk;
}

int sync(const Server &server, const Invocation &invocation) {
    if (invocation.positionals.size() != 1)
        return usageError(QStringLiteral("sync"));
    const bool dryRun = invocation.flags.contains(QStringLiteral("--dry-run"));
    if (!dryRun) {
        if (!invocation.has(QStringLiteral("--resolve")))
            return usageError(QStringLiteral("sync"));
        if (invocation.value(QStringLiteral("--resolve")) != QStringLiteral("keep-both"))
            return fail(kExitFailure,
                        QStringLiteral("Unknown conflict resolution \"%1\"; only keep-both is "
                                       "supported")
                            .arg(invocation.value(QStringLiteral("--resolve"))));
    }
    auto bound = openBoundFolder(invocation.positionals.first());
    if (auto *error = std::get_if<int>(&bound))
        return *error;
    const BoundFolder &target = std::get<BoundFolder>(bound);
    std::optional<QStringList> only;
    if (invocation.flags.contains(QStringLiteral("--pull-only"))) {
        if (invocation.values.contains(QStringLiteral("--only")))
            return usageError(QStringLiteral("sync"));
        only = QStringList(); // selects nothing: nothing is pushed
    } else if (invocation.values.contains(QStringLiteral("--only"))) {
        only = QStringList();
        for (const QString &raw : invocation.values.value(QStringLiteral("--only"))) {
            QString candidate = raw;
            if (QDir::isAbsolutePath(raw)) {
                // An absolute path is accepted only when it names something inside the folder.
                const QString prefix = target.folder.root() + QLatin1Char('/');
                candidate = QDir::cleanPath(raw).startsWith(prefix)
                                ? QDir::cleanPath(raw).mid(prefix.size())
                                : QString();
            }
            const auto path = normaliseRelative(candidate);
            if (!path || !isSafeInside(target.folder.root(), *path, false))
                return fail(
                    kExitFailure,
                    QStringLiteral("--only %1 does not name a path inside the folder").arg(raw));
            only->append(*path);
        }
    }
    std::optional<User> user;
    if (auto error = requireUser(server, &user))
        return *error;
    if (auto error = checkAccess(server, *user, target.config))
        return *error;
    return runSync(server.store,
                   SyncOptions{target.folder.root(), target.config.repoId, only, dryRun});
}

int discard(const Server &server, const Invocation &invocation) {
    if (invocation.positionals.size() != 1)
        return usageError(QStringLiteral("discard"));
    const QString raw = invocation.positionals.first();
    const QString absolute =
        QDir::cleanPath(QDir::isAbsolutePath(raw) ? raw : QDir::current().absoluteFilePath(raw));
    if (raw.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return fail(kExitFailure, QStringLiteral("%1 leads outside the folder").arg(raw));
    const auto root = Folder::findRoot(QFileInfo(absolute).path());
    if (!root)
        return fail(kExitFailure, QStringLiteral("%1 is not inside a linked folder").arg(raw));
    const Folder folder(*root);
    const auto relative = normaliseRelative(absolute.mid(folder.root().size() + 1));
    if (!absolute.startsWith(folder.root() + QLatin1Char('/')) || !relative ||
        isHiddenPath(*relative) || !isSafeInside(folder.root(), *relative, false))
        return fail(kExitFailure, QStringLiteral("%1 leads outside the folder").arg(raw));

    const auto state = folder.loadState();
    if (!state)
        return fail(kExitFailure, QStringLiteral("The folder's sync state cannot be read"));
    const auto base = state->find(*relative);
    const auto here = folder.hashOne(*relative);
    const auto [parent, leaf] = splitParent(*relative);
    const QByteArray name = QFile::encodeName(leaf);
    if (here && base == state->end()) {
        const Fd dir = openDirectoryInside(folder.root(), parent, false);
        if (!dir.valid() || ::unlinkat(dir.get(), name.constData(), 0) != 0)
            return fail(kExitFailure, QStringLiteral("Could not remove %1").arg(*relative));
        removeEmptyParents(folder.root(), *relative);
        return success(QStringLiteral("Discarded %1").arg(*relative),
                       {{QStringLiteral("path"), *relative}, {QStringLiteral("change"), "A"}});
    }
    if (base == state->end() || (here && here->sha256 == base->second.sha256))
        return fail(kExitFailure,
                    QStringLiteral("%1 has no local change to discard").arg(*relative));

    std::optional<User> user;
    if (auto error = requireUser(server, &user))
        return *error;
    // Written next to the file, checked against its hash, and put in place only when the file
    // is still the one looked at above; never through a link.
    const Fd dir = openDirectoryInside(folder.root(), parent, true);
    if (!dir.valid())
        return fail(kExitFailure, QStringLiteral("%1 leads outside the folder").arg(raw));
    auto temporary = createTemporaryAt(dir.get(), 0666);
    if (!temporary)
        return fail(kExitFailure, QStringLiteral("Could not restore %1").arg(*relative));
    const Store::CopyOutcome outcome =
        server.store.copyObject(base->second.sha256, base->second.size, temporary->fd.get());
    temporary->fd = Fd();
    struct stat now {};
    const int statResult = ::fstatat(dir.get(), name.constData(), &now, AT_SYMLINK_NOFOLLOW);
    const bool unchanged =
        here ? statResult == 0 && sameFile(now, here->size, here->mtimeNs, here->inode)
             : statResult != 0 && errno == ENOENT;
    const bool placed =
        outcome == Store::CopyOutcome::Copied && unchanged &&
        (here ? ::renameat(dir.get(), temporary->name.constData(), dir.get(), name.constData()) == 0
              : renameNoReplace(dir.get(), temporary->name, name));
    if (!placed) {
        ::unlinkat(dir.get(), temporary->name.constData(), 0);
        if (outcome == Store::CopyOutcome::Missing || outcome == Store::CopyOutcome::Corrupt)
            return fail(kExitFailure, QStringLiteral("The synced version of %1 is %2 on the server")
                                          .arg(*relative, outcome == Store::CopyOutcome::Missing
                                                              ? QStringLiteral("missing")
                                                              : QStringLiteral("damaged")));
        return fail(kExitFailure, QStringLiteral("Could not restore %1").arg(*relative));
    }
    return success(
        QStringLiteral("Discarded %1").arg(*relative),
        {{QStringLiteral("path"), *relative}, {QStringLiteral("change"), here ? "M" : "D"}});
}

std::optional<Repo> repoForAdmin(const Store &store, const QString &slug) {
    const auto all = store.repos();
    if (!all)
        return std::nullopt;
    for (const Repo &repo : *all)
        if (repo.slug == slug || repo.id == slug)
            return repo;
    return std::nullopt;
}

// Changes one repo's manifest as another device would, under the repo's lock.
template <typename Change>
int changeManifest(const Store &store, const QString &slug, Change change) {
    const auto repo = repoForAdmin(store, slug);
    if (!repo)
        return fail(kExitFailure, QStringLiteral("No repo with the slug %1").arg(slug));
    LeaseLock lock(store.lockPath(repo->id));
    if (lock.acquire(10000) != LeaseLock::Outcome::Acquired)
        return fail(kExitFailure, QStringLiteral("The repo %1 is busy; try again").arg(slug));
    QString damage;
    qint64 generation = 0;
    auto manifest = store.loadManifest(repo->id, &damage, &generation);
    if (!manifest)
        return fail(kExitFailure,
                    QStringLiteral("The file list of %1 cannot be used (%2)").arg(slug, damage));
    if (const auto error = change(*manifest))
        return *error;
    if (!lock.isHeld() ||
        store.commitManifest(repo->id, *manifest, generation) != Store::CommitOutcome::Committed)
        return fail(kExitFailure, QStringLiteral("Could not write the manifest of %1").arg(slug));
    return kExitOk;
}

int adminPut(const Store &store, const QStringList &args) {
    const auto path = normaliseRelative(args.value(1));
    if (!path || isHiddenPath(*path))
        return fail(kExitFailure, QStringLiteral("Not a usable repo path: %1").arg(args.value(1)));
    QByteArray content;
    if (args.size() == 3) {
        QFile file(args.value(2));
        if (!file.open(QIODevice::ReadOnly))
            return fail(kExitFailure, QStringLiteral("Cannot read %1").arg(args.value(2)));
        content = file.readAll();
    } else {
        QFile input;
        if (!input.open(stdin, QIODevice::ReadOnly))
            return fail(kExitFailure, QStringLiteral("Cannot read standard input"));
        content = input.readAll();
    }
    const auto object = store.storeData(content);
    if (!object)
        return fail(kExitFailure, QStringLiteral("Could not store the content"));
    const int code =
        changeManifest(store, args.value(0), [&](Manifest &manifest) -> std::optional<int> {
            ManifestEntry &entry = manifest[*path];
            if (entry.version == std::numeric_limits<qint64>::max())
                return fail(kExitFailure,
                            QStringLiteral("%1 has no newer version number left").arg(*path));
            entry = ManifestEntry{object->sha256, object->size, entry.version + 1,
                                  isPrivatePath(*path)};
            return std::nullopt;
        });
    return code == kExitOk ? success(QStringLiteral("Put %1").arg(*path)) : code;
}

int adminRemove(const Store &store, const QStringList &args) {
    const auto path = normaliseRelative(args.value(1));
    if (!path)
        return fail(kExitFailure, QStringLiteral("Not a usable repo path: %1").arg(args.value(1)));
    const int code =
        changeManifest(store, args.value(0), [&](Manifest &manifest) -> std::optional<int> {
            if (manifest.erase(*path) == 0)
                return fail(kExitFailure, QStringLiteral("%1 is not in the repo").arg(*path));
            return std::nullopt;
        });
    return code == kExitOk ? success(QStringLiteral("Removed %1").arg(*path)) : code;
}

int seedDemo(const Store &store) {
    const QString email = QStringLiteral("demo@orvu.io");
    if (!store.ensureUser(email))
        return fail(kExitFailure, QStringLiteral("Could not write the store's users"));
    const QList<std::pair<QString, QList<std::pair<QString, QByteArray>>>> repos{
        {QStringLiteral("notes"),
         {{QStringLiteral("README.md"), "# Notes\n\nA demo repo of the offline Orvu server.\n"},
          {QStringLiteral("ideas/tray.md"), "- keep folders in step\n- show what waits\n"},
          {QStringLiteral("ideas/later.md"), "Nothing yet.\n"},
          {QStringLiteral("journal/2024-01-01.txt"), "A new year, a new folder.\n"}}},
        {QStringLiteral("photos"),
         {{QStringLiteral("albums/summer/list.txt"), "beach.jpg\nhills.jpg\n"},
          {QStringLiteral("albums/winter/list.txt"), "snow.jpg\n"},
          {QStringLiteral("credits.txt"), "All pictures by the demo user.\n"}}},
    };
    for (const auto &[slug, files] : repos) {
        const auto repo = store.createRepo(email, slug, slug.left(1).toUpper() + slug.mid(1));
        if (!repo)
            return fail(kExitFailure, QStringLiteral("Could not create the repo %1").arg(slug));
        const int code =
            changeManifest(store, repo->id, [&](Manifest &manifest) -> std::optional<int> {
                for (const auto &[path, content] : files) {
                    if (manifest.count(path))
                        continue;
                    const auto object = store.storeData(content);
                    if (!object)
                        return fail(kExitFailure, QStringLiteral("Could not store %1").arg(path));
                    manifest[path] = ManifestEntry{object->sha256, object->size, 1, false};
                }
                return std::nullopt;
            });
        if (code != kExitOk)
            return code;
    }
    return success(QStringLiteral("The demo user %1 has the repos notes and photos").arg(email));
}

int admin(const Server &server, const Invocation &invocation) {
    const QStringList &args = invocation.positionals;
    const QString action = args.value(0);
    const QStringList rest = args.mid(1);
    const Store &store = server.store;
    // The operator's side of the server: it works even while clients are "offline".
    if (!store.prepare())
        return fail(kExitFailure,
                    QStringLiteral("Cannot create the store at %1").arg(store.root()));
    if (action == QStringLiteral("put") && (rest.size() == 2 || rest.size() == 3))
        return adminPut(store, rest);
    if (action == QStringLiteral("rm") && rest.size() == 2)
        return adminRemove(store, rest);
    if (action == QStringLiteral("offline") && rest.size() == 1 &&
        (rest[0] == QStringLiteral("on") || rest[0] == QStringLiteral("off"))) {
        if (!store.setOffline(rest[0] == QStringLiteral("on")))
            return fail(kExitFailure, QStringLiteral("Could not change the offline switch"));
        return success(QStringLiteral("Offline ") + rest[0]);
    }
    if (action == QStringLiteral("mail") && rest.size() == 1) {
        const auto link = store.newestLink(rest[0]);
        if (!link)
            return fail(kExitFailure, QStringLiteral("No sign-in mail for %1").arg(rest[0]));
        const QByteArray text = link->toUtf8() + '\n';
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
        std::fflush(stdout);
        return kExitOk;
    }
    if (action == QStringLiteral("add-token") && rest.size() == 2) {
        if (!isEmailAddress(rest[0]) || rest[1].isEmpty())
            return usageError(QStringLiteral("admin"));
        if (!store.ensureUser(rest[0]) || !store.addLegacyToken(rest[0], rest[1]))
            return fail(kExitFailure, QStringLiteral("Could not write the store's users"));
        return success(QStringLiteral("Token added for %1").arg(rest[0]));
    }
    if (action == QStringLiteral("seed-demo") && rest.isEmpty())
        return seedDemo(store);
    return usageError(QStringLiteral("admin"));
}

} // namespace

std::optional<int> requireServer(const Server &server) {
    if ((server.mustExist && !server.store.exists()) || !server.store.prepare() ||
        server.store.isOffline())
        return fail(kExitNetwork, QStringLiteral("Network unavailable"));
    return std::nullopt;
}

std::optional<User> signedInUser(const Server &server, bool *damaged) {
    if (damaged)
        *damaged = false;
    const QJsonValue email = readSessions().value(server.store.root());
    if (!email.isString())
        return std::nullopt;
    return server.store.userByEmail(email.toString(), damaged);
}

std::optional<Invocation> parseArguments(const QStringList &arguments, int *exitCode) {
    Invocation invocation;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        // Admin arguments are names and paths, which may start with "--"; only --json, which
        // every command accepts, is an option there.
        if (argument.startsWith(QStringLiteral("--")) &&
            (invocation.command != QStringLiteral("admin") || argument == kJson)) {
            if (kFlags.contains(argument)) {
                invocation.flags.insert(argument);
                continue;
            }
            if (!kValueOptions.contains(argument) || i + 1 >= arguments.size()) {
                *exitCode = usageError(invocation.command);
                return std::nullopt;
            }
            const QString value = arguments[++i];
            if (argument == QStringLiteral("--server"))
                invocation.server = value;
            else
                invocation.values[argument].append(value);
        } else if (invocation.command.isEmpty()) {
            invocation.command = argument;
        } else {
            invocation.positionals.append(argument);
        }
    }
    if (!usages().contains(invocation.command)) {
        *exitCode = usageError(QString());
        return std::nullopt;
    }
    return invocation;
}

int runInvocation(const Invocation &invocation) {
    const auto location = storeLocationFor(invocation.server);
    if (!location)
        return fail(kExitFailure,
                    QStringLiteral("Not a usable server URL: %1 (use file:///absolute/dir or "
                                   "https://host)")
                        .arg(invocation.server));
    const Server server{invocation.server, Store(location->root), location->mustExist};
    const QString &command = invocation.command;
    if (command == QStringLiteral("login"))
        return login(server, invocation);
    if (command == QStringLiteral("whoami"))
        return whoami(server);
    if (command == QStringLiteral("logout")) {
        if (!writeSession(server, std::nullopt))
            return fail(kExitFailure, QStringLiteral("Could not end the sign-in"));
        return kExitOk;
    }
    if (command == QStringLiteral("repos"))
        return repos(server);
    if (command == QStringLiteral("init"))
        return init(server, invocation);
    if (command == QStringLiteral("status"))
        return status(server, invocation);
    if (command == QStringLiteral("sync"))
        return sync(server, invocation);
    if (command == QStringLiteral("discard"))
        return discard(server, invocation);
    return admin(server, invocation);
}

} // namespace orvu::local
