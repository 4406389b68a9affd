#include "tool_helpers.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QLockFile>
#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using orvu::test::OrvuLocalSandbox;
using namespace orvu::test;
using namespace Qt::StringLiterals;
using Result = OrvuLocalSandbox::Result;

namespace {

const QString kEmail = u"ada@example.org"_s;

QString errorOf(const Result &result) {
    return firstOfType(result, u"error"_s).value(u"error"_s).toString();
}

QStringList strings(const QJsonValue &value) {
    QStringList list;
    for (const QJsonValue &item : value.toArray())
        list << item.toString();
    return list;
}

// "A path" for each local change, or each remote one with `remote`.
QStringList changesOf(const QJsonObject &status, bool remote) {
    const QJsonObject holder = remote ? status.value(u"remote"_s).toObject() : status;
    QStringList list;
    for (const QJsonValue &change : holder.value(u"changes"_s).toArray())
        list << change[u"change"_s].toString() + u' ' + change[u"path"_s].toString();
    return list;
}

// A signed-in sandbox with two folders bound to one repo, both synced empty.
struct TwoDevices {
    OrvuLocalSandbox sandbox;
    QString a;
    QString b;

    TwoDevices() {
        QVERIFY(sandbox.signIn(kEmail));
        a = sandbox.makeFolder(u"a"_s);
        b = sandbox.makeFolder(u"b"_s);
        for (const QString &folder : {a, b})
            QCOMPARE(orvu({u"init"_s, folder, u"--repo"_s, u"notes"_s, kJson}).exitCode, 0);
    }
    Result orvu(const QStringList &arguments, const QString &workingDirectory = {}) const {
        return sandbox.orvu(arguments, {}, workingDirectory);
    }
    Result sync(const QString &folder, const QStringList &only = {}) const {
        return orvu(syncArgs(folder, only));
    }
    // Syncs `from`, then `to`, so both start a case from the same synced files.
    bool syncBoth(const QString &from, const QString &to) const {
        return sync(from).exitCode == 0 && sync(to).exitCode == 0;
    }
    QJsonObject status(const QString &folder) const {
        return firstOfType(orvu({u"status"_s, folder, u"--remote"_s, kJson}), u"status"_s);
    }
    QStringList localChanges(const QString &folder) const {
        return changesOf(status(folder), false);
    }
    // Writes each path's content, or removes the file when the content is empty.
    static bool edit(const QString &folder, const QList<std::pair<QString, QByteArray>> &edits) {
        bool ok = true;
        for (const auto &[path, content] : edits)
            ok = ok && (content.isEmpty() ? QFile::remove(folder + u'/' + path)
                                          : writeFile(folder + u'/' + path, content));
        return ok;
    }
    QMap<QString, QByteArray> server() const { return serverFiles(repoIdOf(a)); }
};

} // namespace

class OrvuLocalTest : public QObject {
    Q_OBJECT

private slots:
    void signInFlow() {
        OrvuLocalSandbox sandbox;
        const QStringList whoami{u"whoami"_s, kJson};
        const QStringList login{u"login"_s, u"--email"_s, kEmail, kJson};
        auto who = sandbox.orvu(whoami);
        QCOMPARE(who.exitCode, 2);
        QCOMPARE(errorOf(who), u"Not signed in"_s);

        auto bad = sandbox.orvu({u"login"_s, u"--email"_s, u"not-an-address"_s, kJson});
        QCOMPARE(bad.exitCode, 1);
        QVERIFY(!errorOf(bad).isEmpty());

        auto request = sandbox.orvu(login);
        QCOMPARE(request.exitCode, 0);
        const QJsonObject pending = firstOfType(request, u"auth"_s);
        QCOMPARE(pending.value(u"authState"_s).toString(), u"pending"_s);
        QCOMPARE(pending.value(u"email"_s).toString(), kEmail);
        QVERIFY(request.err.contains("outbox"));
        QCOMPARE(sandbox.orvu(whoami).exitCode, 2); // nobody until the link is used

        const QString link = QString::fromUtf8(sandbox.admin({u"mail"_s, kEmail}).out).trimmed();
        QVERIFY(link.startsWith(u"orvu://verify?token="_s));
        QVERIFY(link.mid(20).size() >= 32); // at least 128 random bits in hex
        auto verify = sandbox.orvu({u"login"_s, u"--verify"_s, link, kJson});
        QCOMPARE(verify.exitCode, 0);
        const QJsonObject auth = firstOfType(verify, u"auth"_s);
        QCOMPARE(auth.value(u"authState"_s).toString(), u"signedIn"_s);
        QCOMPARE(auth.value(u"email"_s).toString(), kEmail);
        QCOMPARE(auth.value(u"username"_s).toString(), u"ada"_s);

        auto again = sandbox.orvu({u"login"_s, u"--verify"_s, link, kJson}); // a link works once
        QCOMPARE(again.exitCode, 1);
        QCOMPARE(errorOf(again), u"This sign-in link is invalid or has expired"_s);

        who = sandbox.orvu(whoami);
        QCOMPARE(who.exitCode, 0);
        QCOMPARE(firstOfType(who, u"auth"_s).value(u"username"_s).toString(), u"ada"_s);
        // Asking again for the signed-in address needs no mail.
        QCOMPARE(firstOfType(sandbox.orvu(login), u"auth"_s).value(u"authState"_s).toString(),
                 u"signedIn"_s);

        const QFileInfo session(qEnvironmentVariable("XDG_CONFIG_HOME") +
                                u"/orvu-local/session.json"_s);
        QCOMPARE(session.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                 QFileDevice::Permissions());

        QCOMPARE(sandbox.orvu({u"logout"_s}).exitCode, 0);
        QCOMPARE(sandbox.orvu(whoami).exitCode, 2);
        QCOMPARE(sandbox.orvu({u"logout"_s}).exitCode, 0);
    }

    void verifyAcceptsTokenOrLink_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("form"); // @T: the mailed token, @T! with its last digit changed
        QTest::addColumn<bool>("accepted");
        QTest::newRow("bare token") << u"--verify"_s << u"@T"_s << true;
        QTest::newRow("link in a web address")
            << u"--verify"_s << u"https://orvu.io/verify?token=@T&x=1"_s << true;
        QTest::newRow("altered token") << u"--verify"_s << u"@T!"_s << false;
        QTest::newRow("empty") << u"--verify"_s << QString() << false;
        QTest::newRow("known legacy token") << u"--token"_s << u"old-secret"_s << true;
        QTest::newRow("unknown legacy token") << u"--token"_s << u"older-secret"_s << false;
    }

    void verifyAcceptsTokenOrLink() {
        QFETCH(QString, option);
        QFETCH(QString, form);
        QFETCH(bool, accepted);
        OrvuLocalSandbox sandbox;
        QCOMPARE(sandbox.orvu({u"login"_s, u"--email"_s, kEmail, kJson}).exitCode, 0);
        QCOMPARE(sandbox.admin({u"add-token"_s, kEmail, u"old-secret"_s}).exitCode, 0);
        const QString token =
            QString::fromUtf8(sandbox.admin({u"mail"_s, kEmail}).out).trimmed().section(u'=', 1);
        const QString altered = token.left(token.size() - 1) + (token.endsWith(u'0') ? u'1' : u'0');
        form.replace(u"@T!"_s, altered).replace(u"@T"_s, token);
        const auto result = sandbox.orvu({u"login"_s, option, form, kJson});
        QCOMPARE(result.exitCode, accepted ? 0 : 1);
        QCOMPARE(firstOfType(result, u"auth"_s).value(u"email"_s).toString(),
                 accepted ? kEmail : QString());
        QCOMPARE(errorOf(result).isEmpty(), accepted);
        QCOMPARE(sandbox.orvu({u"whoami"_s, kJson}).exitCode, accepted ? 0 : 2);
    }

    void serverCommandsFailWhenUnavailable_data() {
        QTest::addColumn<QStringList>("arguments"); // @F: a bound folder
        QTest::addColumn<bool>("offline");          // else signed out
        const QStringList remoteStatus{u"status"_s, u"@F"_s, u"--remote"_s, kJson};
        const QStringList init{u"init"_s, u"@F"_s, u"--repo"_s, u"x"_s, kJson};
        const QStringList repos{u"repos"_s, kJson};
        for (const bool offline : {false, true}) {
            const char *state = offline ? "offline" : "signed out";
            QTest::addRow("%s: repos", state) << repos << offline;
            QTest::addRow("%s: remote status", state) << remoteStatus << offline;
            QTest::addRow("%s: sync", state) << syncArgs(u"@F"_s) << offline;
        }
        QTest::newRow("signed out: init") << init << false;
        QTest::newRow("offline: dry run") << dryRunArgs(u"@F"_s) << true;
        QTest::newRow("offline: whoami") << QStringList{u"whoami"_s, kJson} << true;
    }

    void serverCommandsFailWhenUnavailable() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, offline);
        TwoDevices d;
        QVERIFY(writeFile(d.a + u"/f.txt"_s, "x"));
        if (offline)
            QCOMPARE(d.sandbox.admin({u"offline"_s, u"on"_s}).exitCode, 0);
        else
            QCOMPARE(d.orvu({u"logout"_s}).exitCode, 0);
        const auto result = d.orvu(arguments.replaceInStrings(u"@F"_s, d.a));
        QCOMPARE(result.exitCode, offline ? 3 : 2);
        QCOMPARE(errorOf(result), offline ? u"Network unavailable"_s : u"Not signed in"_s);
        // The local status needs neither the server nor a user.
        QCOMPARE(d.orvu({u"status"_s, d.a, kJson}).exitCode, 0);
        if (offline) {
            QCOMPARE(d.sandbox.admin({u"offline"_s, u"off"_s}).exitCode, 0);
            QCOMPARE(d.sync(d.a).exitCode, 0);
        }
    }

    void initLinksAndListsRepos() {
        OrvuLocalSandbox sandbox;
        const QString folder = sandbox.root() + u"/new/deep"_s;
        auto init = [&](const QString &path, const QString &slug, const QStringList &more = {}) {
            return sandbox.orvu(QStringList{u"init"_s, path, u"--repo"_s, slug, kJson} + more);
        };
        auto repos = [&] {
            const QJsonValue list =
                firstOfType(sandbox.orvu({u"repos"_s, kJson}), u"repos"_s).value(u"repos"_s);
            return list.isArray() ? list.toArray() : QJsonArray{u"not a list"_s};
        };
        auto config = [&] {
            return QJsonDocument::fromJson(readFile(folder + u"/.orvu/config"_s)).object();
        };
        auto changes = [&] {
            return changesOf(firstOfType(sandbox.orvu({u"status"_s, folder, kJson}), u"status"_s),
                             false);
        };
        // Another user's repo is never listed.
        QVERIFY(sandbox.signIn(u"bob@example.org"_s));
        QCOMPARE(init(sandbox.root() + u"/bob"_s, u"bobs"_s).exitCode, 0);
        QVERIFY(sandbox.signIn(kEmail));
        QCOMPARE(repos().size(), 0);

        QCOMPARE(init(folder, u"one"_s, {u"--name"_s, u"My Notes"_s}).exitCode, 0);
        QCOMPARE(repos().size(), 1);
        const QJsonObject repo = repos().first().toObject();
        QCOMPARE(repo.value(u"slug"_s).toString(), u"one"_s);
        QCOMPARE(repo.value(u"name"_s).toString(), u"My Notes"_s);
        QCOMPARE(repo.value(u"visibility"_s).toString(), u"public"_s);
        QCOMPARE(repo.value(u"id"_s).toString(), config().value(u"repoId"_s).toString());
        QVERIFY(QFileInfo(folder).isDir());
        QVERIFY(!config().value(u"repoId"_s).toString().isEmpty());
        QCOMPARE(config().value(u"slug"_s).toString(), u"one"_s);
        QCOMPARE(config().value(u"server"_s).toString(), u"https://orvu.io"_s);

        // Linking again to the same repo keeps the history: nothing becomes pending.
        QVERIFY(writeFile(folder + u"/f.txt"_s, "x"));
        QCOMPARE(sandbox.orvu(syncArgs(folder)).exitCode, 0);
        QCOMPARE(init(folder, u"one"_s).exitCode, 0);
        QVERIFY(changes().isEmpty());

        auto elsewhere = init(folder, u"two"_s);
        QCOMPARE(elsewhere.exitCode, 1);
        QVERIFY(errorOf(elsewhere).contains(u"one"_s));
        QCOMPARE(config().value(u"slug"_s).toString(), u"one"_s);

        QCOMPARE(init(folder, u"two"_s, {u"--force"_s}).exitCode, 0);
        QCOMPARE(repos().size(), 2);
        // A new link starts without history: the existing file is an addition for the new repo.
        QCOMPARE(changes(), QStringList{u"A f.txt"_s});

        QCOMPARE(init(u"relative/path"_s, u"one"_s).exitCode, 1);
        QCOMPARE(init(sandbox.root() + u"/x"_s, u"../bad"_s).exitCode, 1);
    }

    void statusReportsEveryKind() {
        TwoDevices d;
        for (const char *name : {"same.txt", "edit-here.txt", "delete-here.txt", "edit-there.txt",
                                 "delete-there.txt", "both.txt", "here-vs-gone.txt"})
            QVERIFY(writeFile(d.a + u'/' + QLatin1String(name), QByteArray(name) + " v1"));
        QVERIFY(d.syncBoth(d.a, d.b));

        QVERIFY(d.edit(d.a, {{u"edit-here.txt"_s, "local edit"},
                             {u"delete-here.txt"_s, {}},
                             {u"added.txt"_s, "new"},
                             {u".hidden/secret.txt"_s, "never synced"},
                             {u"both.txt"_s, "mine"},
                             {u"here-vs-gone.txt"_s, "mine too"}}));
        QVERIFY(d.edit(d.b, {{u"edit-there.txt"_s, "remote edit"},
                             {u"delete-there.txt"_s, {}},
                             {u"both.txt"_s, "theirs"},
                             {u"here-vs-gone.txt"_s, {}},
                             {u"from-there.txt"_s, "remote new"}}));
        QCOMPARE(d.sync(d.b).exitCode, 0);

        const QJsonObject status = d.status(d.a);
        QCOMPARE(changesOf(status, false),
                 (QStringList{u"A added.txt"_s, u"M both.txt"_s, u"D delete-here.txt"_s,
                              u"M edit-here.txt"_s, u"M here-vs-gone.txt"_s}));
        QCOMPARE(changesOf(status, true),
                 (QStringList{u"P edit-there.txt"_s, u"P from-there.txt"_s,
                              u"RD delete-there.txt"_s, u"C both.txt"_s, u"C here-vs-gone.txt"_s}));
        const QJsonObject remote = status.value(u"remote"_s).toObject();
        QCOMPARE(remote.value(u"toPull"_s).toInt(), 2);
        QCOMPARE(remote.value(u"toDelete"_s).toInt(), 1);
        QCOMPARE(remote.value(u"conflicts"_s).toInt(), 2);

        // The local status carries no remote part.
        const QJsonObject local = firstOfType(d.orvu({u"status"_s, d.a, kJson}), u"status"_s);
        QVERIFY(!local.contains(u"remote"_s));
        QCOMPARE(changesOf(local, false), changesOf(status, false));
    }

    void syncMovesChangesBothWays() {
        TwoDevices d;
        for (const QString &path : {u"one.txt"_s, u"dir/two.txt"_s, u"gone.txt"_s})
            QVERIFY(writeFile(d.a + u'/' + path, path.toUtf8()));
        auto push = d.sync(d.a);
        QCOMPARE(push.exitCode, 0);
        const auto pushes = allOfType(push, u"push"_s);
        QCOMPARE(pushes.size(), 3);
        for (qsizetype i = 0; i < pushes.size(); ++i) {
            QCOMPARE(pushes[i].value(u"current"_s).toInt(), i + 1);
            QCOMPARE(pushes[i].value(u"total"_s).toInt(), 3);
        }
        const QJsonObject complete = firstOfType(push, u"complete"_s);
        QCOMPARE(complete.value(u"pushed"_s).toInt(), 3);
        QCOMPARE(strings(complete.value(u"pushedFiles"_s)),
                 (QStringList{u"dir/two.txt"_s, u"gone.txt"_s, u"one.txt"_s}));
        QCOMPARE(push.lines().last().value(u"type"_s).toString(), u"complete"_s);

        QCOMPARE(firstOfType(d.sync(d.b), u"complete"_s).value(u"pulled"_s).toInt(), 3);
        QCOMPARE(folderFiles(d.b), folderFiles(d.a));

        // Deletions travel both ways, and empty folders left behind go too.
        QVERIFY(d.edit(d.a, {{u"gone.txt"_s, {}}, {u"dir/two.txt"_s, {}}}));
        auto deleteServer = d.sync(d.a);
        QCOMPARE(allOfType(deleteServer, u"delete"_s).size(), 2);
        const QJsonObject c1 = firstOfType(deleteServer, u"complete"_s);
        QCOMPARE(c1.value(u"deletedServer"_s).toInt(), 2);
        QCOMPARE(strings(c1.value(u"deletedServerFiles"_s)),
                 (QStringList{u"dir/two.txt"_s, u"gone.txt"_s}));
        QCOMPARE(firstOfType(d.sync(d.b), u"complete"_s).value(u"deletedLocal"_s).toInt(), 2);
        QVERIFY(!QFileInfo::exists(d.b + u"/gone.txt"_s));
        QVERIFY(!QFileInfo::exists(d.b + u"/dir"_s));
        QCOMPARE(folderFiles(d.b), folderFiles(d.a));

        auto upToDate = d.sync(d.b);
        QCOMPARE(upToDate.exitCode, 0);
        QCOMPARE(firstOfType(upToDate, u"success"_s).value(u"message"_s).toString(),
                 u"Already up to date"_s);
        QVERIFY(firstOfType(upToDate, u"complete"_s).isEmpty());
    }

    void conflictsKeepBothVersions_data() {
        QTest::addColumn<QByteArray>("local");  // empty: deleted here
        QTest::addColumn<QByteArray>("remote"); // empty: deleted on the server
        QTest::addColumn<QString>("copy");      // where the local version is kept
        QTest::newRow("both edited") << "mine"_ba
                                     << "theirs"_ba << u"sub/_notes.txt"_s;
        QTest::newRow("edited here, deleted there")
            << "mine"_ba << QByteArray() << u"sub/_notes.txt"_s;
        QTest::newRow("deleted here, edited there") << QByteArray() << "theirs"_ba << QString();
        QTest::newRow("copy name taken") << "mine"_ba
                                         << "theirs"_ba << u"sub/_notes (2).txt"_s;
    }

    void conflictsKeepBothVersions() {
        QFETCH(QByteArray, local);
        QFETCH(QByteArray, remote);
        QFETCH(QString, copy);
        TwoDevices d;
        const QString path = u"sub/notes.txt"_s;
        QVERIFY(writeFile(d.a + u'/' + path, "base"));
        if (copy.contains(u"(2)"_s))
            QVERIFY(writeFile(d.a + u"/sub/_notes.txt"_s, "an older copy"));
        QVERIFY(d.syncBoth(d.a, d.b));
        QVERIFY(d.edit(d.b, {{path, remote}}));
        QCOMPARE(d.sync(d.b).exitCode, 0);
        QVERIFY(d.edit(d.a, {{path, local}}));

        const auto plan = firstOfType(d.orvu(dryRunArgs(d.a)), u"plan"_s);
        QCOMPARE(plan.value(u"conflicts"_s).toInt(), 1);
        QCOMPARE(strings(plan.value(u"conflictFiles"_s)), QStringList{path});

        const auto run = d.sync(d.a);
        QCOMPARE(run.exitCode, 0);
        const QJsonObject conflict = firstOfType(run, u"conflict"_s);
        QCOMPARE(conflict.value(u"file"_s).toString(), path);
        QCOMPARE(QFileInfo::exists(d.a + u'/' + path), !remote.isEmpty());
        if (!remote.isEmpty())
            QCOMPARE(readFile(d.a + u'/' + path), remote);
        if (!copy.isEmpty()) {
            QCOMPARE(conflict.value(u"renamedTo"_s).toString(), copy);
            QCOMPARE(readFile(d.a + u'/' + copy), local);
            // The kept copy is an ordinary new file, private on the server once pushed.
            QVERIFY(d.localChanges(d.a).contains(u"A "_s + copy));
            QCOMPARE(d.sync(d.a).exitCode, 0);
            QVERIFY(readFile(storeRoot() + u"/manifests/"_s + repoIdOf(d.a))
                        .contains("\t1\t" + copy.toUtf8()));
        }
        QCOMPARE(d.sync(d.b).exitCode, 0);
        QCOMPARE(folderFiles(d.a), folderFiles(d.b));
    }

    void onlyAndDryRunAgreeWithTheRun() {
        TwoDevices d;
        for (int i = 0; i < 5; ++i)
            QVERIFY(writeFile(d.a + u"/f%1.txt"_s.arg(i), QByteArray::number(i)));
        QVERIFY(d.syncBoth(d.a, d.b));
        // f0 pushed, f1 deleted on the server, f2 a conflict, docs/later.txt not selected at
        // first; f3 pulled, f4 deleted here.
        QVERIFY(d.edit(d.a, {{u"f0.txt"_s, "a0"},
                             {u"f1.txt"_s, {}},
                             {u"f2.txt"_s, "a2"},
                             {u"docs/later.txt"_s, "l"}}));
        QVERIFY(d.edit(d.b, {{u"f2.txt"_s, "b2"}, {u"f3.txt"_s, "b3"}, {u"f4.txt"_s, {}}}));
        QCOMPARE(d.sync(d.b).exitCode, 0);

        const QStringList only{u"f0.txt"_s, u"f1.txt"_s, u"f2.txt"_s};
        const auto before = folderFiles(d.a);
        const QJsonObject plan = firstOfType(d.orvu(dryRunArgs(d.a, only)), u"plan"_s);
        QCOMPARE(folderFiles(d.a), before); // a dry run changes nothing
        QCOMPARE(changesOf(d.status(d.a), true).size(), 3);

        const QJsonObject complete = firstOfType(d.sync(d.a, only), u"complete"_s);
        const QList<std::pair<QString, QString>> counts{{u"toPush"_s, u"pushed"_s},
                                                        {u"toPull"_s, u"pulled"_s},
                                                        {u"toDeleteServer"_s, u"deletedServer"_s},
                                                        {u"toDeleteLocal"_s, u"deletedLocal"_s}};
        for (const auto &[planned, done] : counts)
            QCOMPARE(plan.value(planned).toInt(), complete.value(done).toInt());
        QCOMPARE(strings(complete.value(u"pushedFiles"_s)), QStringList{u"f0.txt"_s});
        QCOMPARE(strings(complete.value(u"deletedServerFiles"_s)), QStringList{u"f1.txt"_s});
        // Server changes come in regardless of --only: f3 and the server's f2.
        QCOMPARE(strings(complete.value(u"pulledFiles"_s)),
                 (QStringList{u"f2.txt"_s, u"f3.txt"_s}));
        QCOMPARE(strings(complete.value(u"deletedLocalFiles"_s)), QStringList{u"f4.txt"_s});
        QCOMPARE(strings(plan.value(u"conflictFiles"_s)), QStringList{u"f2.txt"_s});
        QCOMPARE(d.localChanges(d.a), (QStringList{u"A _f2.txt"_s, u"A docs/later.txt"_s}));

        // A folder given to --only selects what lies beneath it.
        const auto rest = d.sync(d.a, {u"./docs/"_s});
        QCOMPARE(strings(firstOfType(rest, u"complete"_s).value(u"pushedFiles"_s)),
                 QStringList{u"docs/later.txt"_s});
    }

    void discardRestoresTheSyncedState_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("relative");
        QTest::newRow("added, relative") << u"A"_s << true;
        QTest::newRow("modified, relative") << u"M"_s << true;
        QTest::newRow("deleted, absolute") << u"D"_s << false;
    }

    void discardRestoresTheSyncedState() {
        QFETCH(QString, kind);
        QFETCH(bool, relative);
        TwoDevices d;
        const QString path = u"dir/file.txt"_s;
        const QString absolute = d.a + u'/' + path;
        if (kind != u"A"_s) {
            QVERIFY(writeFile(absolute, "synced"));
            QCOMPARE(d.sync(d.a).exitCode, 0);
        }
        QVERIFY(kind == u"D"_s ? QFile::remove(absolute) : writeFile(absolute, "edited"));
        QCOMPARE(d.localChanges(d.a), QStringList{kind + u' ' + path});

        QCOMPARE(d.orvu({u"discard"_s, relative ? path : absolute, kJson}, d.a).exitCode, 0);
        QVERIFY(d.localChanges(d.a).isEmpty());
        if (kind == u"A"_s)
            QVERIFY(!QFileInfo::exists(absolute));
        else
            QCOMPARE(readFile(absolute), "synced"_ba);
    }

    void refusedPathsTouchNothing_data() {
        QTest::addColumn<bool>("discard"); // else sync --only
        QTest::addColumn<QString>("path"); // @ROOT: the sandbox, holding outside/secret.txt
        QTest::newRow("discard: unchanged file") << true << u"same.txt"_s;
        QTest::newRow("discard: unknown file") << true << u"nothing.txt"_s;
        QTest::newRow("discard: parent escape") << true << u"../outside/secret.txt"_s;
        QTest::newRow("discard: absolute outside") << true << u"@ROOT/outside/secret.txt"_s;
        QTest::newRow("discard: through a link") << true << u"link/secret.txt"_s;
        QTest::newRow("discard: the config") << true << u".orvu/config"_s;
        QTest::newRow("only: parent") << false << u"../secret.txt"_s;
        QTest::newRow("only: nested parent") << false << u"dir/../../secret.txt"_s;
        QTest::newRow("only: absolute outside") << false << u"/etc/passwd"_s;
        QTest::newRow("only: through a link") << false << u"link/secret.txt"_s;
    }

    void refusedPathsTouchNothing() {
        QFETCH(bool, discard);
        QFETCH(QString, path);
        TwoDevices d;
        const QString secret = d.sandbox.root() + u"/outside/secret.txt"_s;
        QVERIFY(writeFile(secret, "precious"));
        QVERIFY(QFile::link(d.sandbox.root() + u"/outside"_s, d.a + u"/link"_s));
        QVERIFY(writeFile(d.a + u"/same.txt"_s, "s"));
        QCOMPARE(d.sync(d.a).exitCode, 0);
        // A link inside the folder is neither followed nor synced.
        QCOMPARE(d.server().keys(), QStringList{u"same.txt"_s});
        QVERIFY(writeFile(d.a + u"/dir/f.txt"_s, "f"));
        path.replace(u"@ROOT"_s, d.sandbox.root());
        const auto result =
            discard ? d.orvu({u"discard"_s, path, kJson}, d.a) : d.sync(d.a, {path});
        QCOMPARE(result.exitCode, 1);
        QVERIFY(!errorOf(result).isEmpty());
        QCOMPARE(readFile(secret), "precious"_ba);
        QCOMPARE(readFile(d.a + u"/same.txt"_s), "s"_ba);
        QVERIFY(QFileInfo::exists(d.a + u"/.orvu/config"_s));
        QCOMPARE(d.server().keys(), QStringList{u"same.txt"_s});
    }

    void interruptedSyncResumes() {
        TwoDevices d;
        constexpr int kFiles = 40;
        for (int i = 0; i < kFiles; ++i)
            QVERIFY(writeFile(d.a + u"/f%1.txt"_s.arg(i, 2, 10, QLatin1Char('0')),
                              QByteArray::number(i)));
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"ORVU_LOCAL_TRANSFER_DELAY_MS"_s, u"25"_s);
        process.setProcessEnvironment(environment);
        process.start(d.sandbox.toolDirectory() + u"/orvu"_s,
                      QStringList{u"--server"_s, u"https://orvu.io"_s} + syncArgs(d.a));
        QVERIFY(process.waitForStarted());
        QVERIFY(process.waitForReadyRead(20000));
        process.terminate(); // SIGTERM, and nothing once the run has ended
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 4);
        const QByteArray out = process.readAllStandardOutput();
        QVERIFY(out.contains("\"type\":\"error\""));
        const int pushedBefore = static_cast<int>(out.count("\"type\":\"push\""));
        QVERIFY(pushedBefore >= 1);
        QVERIFY(pushedBefore < kFiles);
        // What was sent is recorded on both sides; the rest stays pending.
        QCOMPARE(d.server().size(), pushedBefore);
        QCOMPARE(d.localChanges(d.a).size(), kFiles - pushedBefore);

        const auto resumed = d.sync(d.a);
        QCOMPARE(resumed.exitCode, 0);
        QCOMPARE(firstOfType(resumed, u"complete"_s).value(u"pushed"_s).toInt(),
                 kFiles - pushedBefore);
        QCOMPARE(d.server(), folderFiles(d.a));
    }

    void secondSyncWaitsForTheLock() {
        TwoDevices d;
        QVERIFY(writeFile(d.a + u"/f.txt"_s, "x"));
        QLockFile held(storeRoot() + u"/locks/"_s + repoIdOf(d.a) + u".lock"_s);
        QVERIFY(held.tryLock(0));
        QElapsedTimer timer;
        timer.start();
        const auto blocked = d.sync(d.a);
        QCOMPARE(blocked.exitCode, 1);
        QVERIFY(timer.elapsed() >= 9000);
        QVERIFY(errorOf(blocked).contains(u"still running"_s));
        QVERIFY(d.server().isEmpty());
        held.unlock();
        QCOMPARE(d.sync(d.a).exitCode, 0);
    }

    void serverPathsThroughLocalLinksAreRefused() {
        TwoDevices d;
        QVERIFY(QDir().mkpath(d.sandbox.root() + u"/outside"_s));
        QVERIFY(QFile::link(d.sandbox.root() + u"/outside"_s, d.a + u"/link"_s));
        auto put = [&](const QString &path) {
            return d.sandbox.admin({u"put"_s, u"notes"_s, path}, path.toUtf8()).exitCode;
        };
        QCOMPARE(put(u"link/evil.txt"_s), 0);
        QCOMPARE(put(u"../evil.txt"_s), 1);
        QCOMPARE(put(u"fine.txt"_s), 0);
        QCOMPARE(d.sync(d.a).exitCode, 0);
        QVERIFY(!QFileInfo::exists(d.sandbox.root() + u"/outside/evil.txt"_s));
        QCOMPARE(readFile(d.a + u"/fine.txt"_s), "fine.txt"_ba);
    }

    void usageErrorsNameTheForm_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("form");
        QTest::newRow("no command") << QStringList{} << u"Usage: orvu"_s;
        QTest::newRow("unknown command") << QStringList{u"fly"_s} << u"Usage: orvu"_s;
        QTest::newRow("init without repo")
            << QStringList{u"init"_s, u"/x"_s, kJson} << u"Usage: orvu init"_s;
        QTest::newRow("login without form")
            << QStringList{u"login"_s, kJson} << u"Usage: orvu login"_s;
        QTest::newRow("unknown option")
            << QStringList{u"status"_s, u"/x"_s, u"--fast"_s} << u"Usage: orvu status"_s;
        QTest::newRow("admin") << QStringList{u"admin"_s, u"explode"_s} << u"Usage: orvu admin"_s;
        QTest::newRow("unknown resolution")
            << QStringList{u"sync"_s, u"/x"_s, kJson, u"--resolve"_s, u"keep-mine"_s}
            << u"Unknown conflict resolution"_s;
    }

    void usageErrorsNameTheForm() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, form);
        OrvuLocalSandbox sandbox;
        const auto result = sandbox.orvu(arguments);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(errorOf(result).startsWith(form), result.out.constData());
    }

    void explicitStoreDirectory() {
        OrvuLocalSandbox sandbox;
        const QString store = sandbox.root() + u"/server"_s;
        auto login = [&] {
            QProcess process;
            process.start(
                sandbox.toolDirectory() + u"/orvu"_s,
                {u"--server"_s, u"file://"_s + store, u"login"_s, u"--email"_s, kEmail, kJson});
            process.waitForFinished();
            return process.exitCode();
        };
        QCOMPARE(login(), 3); // a missing store directory is an unreachable server
        QVERIFY(QDir().mkpath(store));
        QCOMPARE(login(), 0);
        QVERIFY(!QDir(store + u"/outbox"_s).entryList(QDir::Files).isEmpty());
        // The default server's store is a different one.
        QVERIFY(sandbox.admin({u"mail"_s, kEmail}).exitCode != 0);
    }

    void unchangedFilesAreNotRead() {
        TwoDevices d;
        const QString path = d.a + u"/cached.txt"_s;
        QVERIFY(writeFile(path, "first"));
        QCOMPARE(d.sync(d.a).exitCode, 0);
        QVERIFY(d.localChanges(d.a).isEmpty());
        // Same size, same inode, same modification time: the cache answers without reading.
        const QByteArray native = QFile::encodeName(path);
        struct stat before {};
        QCOMPARE(::stat(native.constData(), &before), 0);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QCOMPARE(file.write("FIRST"), 5);
        }
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        QCOMPARE(::utimensat(AT_FDCWD, native.constData(), times, 0), 0);
        QVERIFY(d.localChanges(d.a).isEmpty());
        // Any change of the modification time makes it read again.
        const struct timespec later[2] = {before.st_atim, {before.st_mtim.tv_sec + 1, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, native.constData(), later, 0), 0);
        QCOMPARE(d.localChanges(d.a), QStringList{u"M cached.txt"_s});
    }

    void namesThatAreNotUtf8AreSkipped() {
        TwoDevices d;
        const QByteArray badName = QFile::encodeName(d.a) + "/bad-\xff\xfe.txt";
        const int fd = ::open(badName.constData(), O_CREAT | O_WRONLY, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
        QVERIFY(writeFile(d.a + u"/good.txt"_s, "g"));
        const auto run = d.sync(d.a);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.err.contains("UTF-8"));
        QCOMPARE(d.server().keys(), QStringList{u"good.txt"_s});
        ::unlink(badName.constData()); // QTemporaryDir cannot name it to remove it
    }
};

QTEST_GUILESS_MAIN(OrvuLocalTest)
#include "test_orvu_local.moc"
