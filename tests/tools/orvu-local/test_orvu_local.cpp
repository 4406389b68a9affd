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

namespace {

const QString kEmail = QStringLiteral("ada@example.org");

QStringList changesOf(const QJsonObject &status, bool remote) {
    const QJsonArray changes = remote ? status.value(QStringLiteral("remote"))
                                            .toObject()
                                            .value(QStringLiteral("changes"))
                                            .toArray()
                                      : status.value(QStringLiteral("changes")).toArray();
    QStringList list;
    for (const QJsonValue &change : changes)
        list << change.toObject().value(QStringLiteral("change")).toString() + QLatin1Char(' ') +
                    change.toObject().value(QStringLiteral("path")).toString();
    return list;
}

QStringList strings(const QJsonValue &value) {
    QStringList list;
    for (const QJsonValue &item : value.toArray())
        list << item.toString();
    return list;
}

// A signed-in sandbox with two folders bound to one repo, both synced empty.
struct TwoDevices {
    OrvuLocalSandbox sandbox;
    QString a;
    QString b;

    TwoDevices() {
        QVERIFY(sandbox.signIn(kEmail));
        a = sandbox.makeFolder(QStringLiteral("a"));
        b = sandbox.makeFolder(QStringLiteral("b"));
        for (const QString &folder : {a, b})
            QCOMPARE(sandbox
                         .orvu({QStringLiteral("init"), folder, QStringLiteral("--repo"),
                                QStringLiteral("notes"), kJson})
                         .exitCode,
                     0);
    }
    OrvuLocalSandbox::Result sync(const QString &folder, const QStringList &only = {}) const {
        return sandbox.orvu(syncArgs(folder, only));
    }
    QJsonObject status(const QString &folder) const {
        return firstOfType(
            sandbox.orvu({QStringLiteral("status"), folder, QStringLiteral("--remote"), kJson}),
            QStringLiteral("status"));
    }
};

} // namespace

class OrvuLocalTest : public QObject {
    Q_OBJECT

private slots:
    void signInFlow();
    void verifyAcceptsTokenOrLink_data();
    void verifyAcceptsTokenOrLink();
    void legacyToken();
    void commandsNeedASignIn_data();
    void commandsNeedASignIn();
    void reposListsOnlyOwnRepos();
    void initLinksAndGuardsFolders();
    void statusReportsEveryKind();
    void syncMovesChangesBothWays();
    void conflictsKeepBothVersions_data();
    void conflictsKeepBothVersions();
    void onlyLimitsWhatIsPushed();
    void dryRunAgreesWithTheRun();
    void discardRestoresTheSyncedState_data();
    void discardRestoresTheSyncedState();
    void discardRefusesWhatIsNotAChange_data();
    void discardRefusesWhatIsNotAChange();
    void offlineStoreFailsWithNetworkError();
    void interruptedSyncResumes();
    void secondSyncWaitsForTheLock();
    void pathsCannotEscapeTheFolder_data();
    void pathsCannotEscapeTheFolder();
    void serverPathsThroughLocalLinksAreRefused();
    void usageErrorsNameTheForm_data();
    void usageErrorsNameTheForm();
    void explicitStoreDirectory();
    void unchangedFilesAreNotRead();
    void namesThatAreNotUtf8AreSkipped();
};

void OrvuLocalTest::signInFlow() {
    OrvuLocalSandbox sandbox;
    auto who = sandbox.orvu({QStringLiteral("whoami"), kJson});
    QCOMPARE(who.exitCode, 2);
    QCOMPARE(firstOfType(who, QStringLiteral("error")).value(QStringLiteral("error")).toString(),
             QStringLiteral("Not signed in"));

    auto bad = sandbox.orvu({QStringLiteral("login"), QStringLiteral("--email"),
                             QStringLiteral("not-an-address"), kJson});
    QCOMPARE(bad.exitCode, 1);
    QVERIFY(!firstOfType(bad, QStringLiteral("error")).isEmpty());

    auto request =
        sandbox.orvu({QStringLiteral("login"), QStringLiteral("--email"), kEmail, kJson});
    QCOMPARE(request.exitCode, 0);
    const QJsonObject pending = firstOfType(request, QStringLiteral("auth"));
    QCOMPARE(pending.value(QStringLiteral("authState")).toString(), QStringLiteral("pending"));
    QCOMPARE(pending.value(QStringLiteral("email")).toString(), kEmail);
    QVERIFY(request.err.contains("outbox"));
    // Still nobody is signed in until the link is used.
    QCOMPARE(sandbox.orvu({QStringLiteral("whoami"), kJson}).exitCode, 2);

    const QString link =
        QString::fromUtf8(sandbox.admin({QStringLiteral("mail"), kEmail}).out).trimmed();
    QVERIFY(link.startsWith(QStringLiteral("orvu://verify?token=")));
    QVERIFY(link.mid(20).size() >= 32); // at least 128 random bits in hex
    auto verify = sandbox.orvu({QStringLiteral("login"), QStringLiteral("--verify"), link, kJson});
    QCOMPARE(verify.exitCode, 0);
    const QJsonObject auth = firstOfType(verify, QStringLiteral("auth"));
    QCOMPARE(auth.value(QStringLiteral("authState")).toString(), QStringLiteral("signedIn"));
    QCOMPARE(auth.value(QStringLiteral("email")).toString(), kEmail);
    QCOMPARE(auth.value(QStringLiteral("username")).toString(), QStringLiteral("ada"));

    // A link works once.
    auto again = sandbox.orvu({QStringLiteral("login"), QStringLiteral("--verify"), link, kJson});
    QCOMPARE(again.exitCode, 1);
    QCOMPARE(firstOfType(again, QStringLiteral("error")).value(QStringLiteral("error")).toString(),
             QStringLiteral("This sign-in link is invalid or has expired"));

    who = sandbox.orvu({QStringLiteral("whoami"), kJson});
    QCOMPARE(who.exitCode, 0);
    QCOMPARE(firstOfType(who, QStringLiteral("auth")).value(QStringLiteral("username")).toString(),
             QStringLiteral("ada"));
    // Asking again for the signed-in address needs no mail.
    request = sandbox.orvu({QStringLiteral("login"), QStringLiteral("--email"), kEmail, kJson});
    QCOMPARE(
        firstOfType(request, QStringLiteral("auth")).value(QStringLiteral("authState")).toString(),
        QStringLiteral("signedIn"));

    const QFileInfo session(qEnvironmentVariable("XDG_CONFIG_HOME") +
                            QStringLiteral("/orvu-local/session.json"));
    QCOMPARE(session.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
             QFileDevice::Permissions());

    QCOMPARE(sandbox.orvu({QStringLiteral("logout")}).exitCode, 0);
    QCOMPARE(sandbox.orvu({QStringLiteral("whoami"), kJson}).exitCode, 2);
    QCOMPARE(sandbox.orvu({QStringLiteral("logout")}).exitCode, 0);
}

void OrvuLocalTest::verifyAcceptsTokenOrLink_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("whole link") << QStringLiteral("link") << true;
    QTest::newRow("bare token") << QStringLiteral("token") << true;
    QTest::newRow("link in a web address") << QStringLiteral("web") << true;
    QTest::newRow("altered token") << QStringLiteral("altered") << false;
    QTest::newRow("empty") << QStringLiteral("empty") << false;
}

void OrvuLocalTest::verifyAcceptsTokenOrLink() {
    QFETCH(QString, form);
    QFETCH(bool, accepted);
    OrvuLocalSandbox sandbox;
    QCOMPARE(
        sandbox.orvu({QStringLiteral("login"), QStringLiteral("--email"), kEmail, kJson}).exitCode,
        0);
    const QString link =
        QString::fromUtf8(sandbox.admin({QStringLiteral("mail"), kEmail}).out).trimmed();
    const QString token = link.section(QLatin1Char('='), 1);
    QString typed;
    if (form == QStringLiteral("link"))
        typed = link;
    else if (form == QStringLiteral("token"))
        typed = token;
    else if (form == QStringLiteral("web"))
        typed = QStringLiteral("https://orvu.io/verify?token=") + token + QStringLiteral("&x=1");
    else if (form == QStringLiteral("altered"))
        typed = token.left(token.size() - 1) + (token.endsWith(QLatin1Char('0')) ? u'1' : u'0');
    auto result = sandbox.orvu({QStringLiteral("login"), QStringLiteral("--verify"), typed, kJson});
    QCOMPARE(result.exitCode, accepted ? 0 : 1);
    QCOMPARE(sandbox.orvu({QStringLiteral("whoami"), kJson}).exitCode, accepted ? 0 : 2);
}

void OrvuLocalTest::legacyToken() {
    OrvuLocalSandbox sandbox;
    auto refused = sandbox.orvu(
        {QStringLiteral("login"), QStringLiteral("--token"), QStringLiteral("old-secret"), kJson});
    QCOMPARE(refused.exitCode, 1);
    QVERIFY(!firstOfType(refused, QStringLiteral("error")).isEmpty());
    QCOMPARE(
        sandbox.admin({QStringLiteral("add-token"), kEmail, QStringLiteral("old-secret")}).exitCode,
        0);
    auto accepted = sandbox.orvu(
        {QStringLiteral("login"), QStringLiteral("--token"), QStringLiteral("old-secret"), kJson});
    QCOMPARE(accepted.exitCode, 0);
    QCOMPARE(
        firstOfType(accepted, QStringLiteral("auth")).value(QStringLiteral("email")).toString(),
        kEmail);
}

void OrvuLocalTest::commandsNeedASignIn_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("repos") << QStringList{QStringLiteral("repos"), kJson};
    QTest::newRow("init") << QStringList{QStringLiteral("init"), QStringLiteral("@FOLDER"),
                                         QStringLiteral("--repo"), QStringLiteral("x"), kJson};
    QTest::newRow("remote status") << QStringList{
        QStringLiteral("status"), QStringLiteral("@FOLDER"), QStringLiteral("--remote"), kJson};
    QTest::newRow("sync") << syncArgs(QStringLiteral("@FOLDER"));
    QTest::newRow("dry run") << dryRunArgs(QStringLiteral("@FOLDER"));
}

void OrvuLocalTest::commandsNeedASignIn() {
    QFETCH(QStringList, arguments);
    TwoDevices devices;
    QCOMPARE(devices.sandbox.orvu({QStringLiteral("logout")}).exitCode, 0);
    arguments.replaceInStrings(QStringLiteral("@FOLDER"), devices.a);
    const auto result = devices.sandbox.orvu(arguments);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(firstOfType(result, QStringLiteral("error")).value(QStringLiteral("error")).toString(),
             QStringLiteral("Not signed in"));
    // The local status needs nobody.
    QCOMPARE(devices.sandbox.orvu({QStringLiteral("status"), devices.a, kJson}).exitCode, 0);
}

void OrvuLocalTest::reposListsOnlyOwnRepos() {
    OrvuLocalSandbox sandbox;
    QVERIFY(sandbox.signIn(QStringLiteral("bob@example.org")));
    QCOMPARE(sandbox
                 .orvu({QStringLiteral("init"), sandbox.makeFolder(QStringLiteral("b")),
                        QStringLiteral("--repo"), QStringLiteral("bobs"), kJson})
                 .exitCode,
             0);
    QVERIFY(sandbox.signIn(kEmail));
    auto empty = sandbox.orvu({QStringLiteral("repos"), kJson});
    QCOMPARE(empty.exitCode, 0);
    QVERIFY(firstOfType(empty, QStringLiteral("repos")).value(QStringLiteral("repos")).isArray());
    QCOMPARE(
        firstOfType(empty, QStringLiteral("repos")).value(QStringLiteral("repos")).toArray().size(),
        0);

    QCOMPARE(sandbox
                 .orvu({QStringLiteral("init"), sandbox.makeFolder(QStringLiteral("a")),
                        QStringLiteral("--repo"), QStringLiteral("notes"), kJson,
                        QStringLiteral("--name"), QStringLiteral("My Notes")})
                 .exitCode,
             0);
    const QJsonArray repos =
        firstOfType(sandbox.orvu({QStringLiteral("repos"), kJson}), QStringLiteral("repos"))
            .value(QStringLiteral("repos"))
            .toArray();
    QCOMPARE(repos.size(), 1);
    const QJsonObject repo = repos.first().toObject();
    QCOMPARE(repo.value(QStringLiteral("slug")).toString(), QStringLiteral("notes"));
    QCOMPARE(repo.value(QStringLiteral("name")).toString(), QStringLiteral("My Notes"));
    QCOMPARE(repo.value(QStringLiteral("visibility")).toString(), QStringLiteral("public"));
    QVERIFY(!repo.value(QStringLiteral("id")).toString().isEmpty());
}

void OrvuLocalTest::initLinksAndGuardsFolders() {
    OrvuLocalSandbox sandbox;
    QVERIFY(sandbox.signIn(kEmail));
    const QString folder = sandbox.root() + QStringLiteral("/new/deep");
    auto init = [&](const QString &path, const QString &slug, bool force) {
        QStringList arguments{QStringLiteral("init"), path, QStringLiteral("--repo"), slug, kJson};
        if (force)
            arguments << QStringLiteral("--force");
        return sandbox.orvu(arguments);
    };
    QCOMPARE(init(folder, QStringLiteral("one"), false).exitCode, 0);
    QVERIFY(QFileInfo(folder).isDir());
    const QJsonObject config =
        QJsonDocument::fromJson(readFile(folder + QStringLiteral("/.orvu/config"))).object();
    QVERIFY(!config.value(QStringLiteral("repoId")).toString().isEmpty());
    QCOMPARE(config.value(QStringLiteral("slug")).toString(), QStringLiteral("one"));
    QCOMPARE(config.value(QStringLiteral("server")).toString(), QStringLiteral("https://orvu.io"));

    // Linking again to the same repo keeps the history: nothing becomes pending.
    QVERIFY(writeFile(folder + QStringLiteral("/f.txt"), "x"));
    QCOMPARE(sandbox.orvu(syncArgs(folder)).exitCode, 0);
    QCOMPARE(init(folder, QStringLiteral("one"), false).exitCode, 0);
    QVERIFY(changesOf(firstOfType(sandbox.orvu({QStringLiteral("status"), folder, kJson}),
                                  QStringLiteral("status")),
                      false)
                .isEmpty());

    auto elsewhere = init(folder, QStringLiteral("two"), false);
    QCOMPARE(elsewhere.exitCode, 1);
    QVERIFY(firstOfType(elsewhere, QStringLiteral("error"))
                .value(QStringLiteral("error"))
                .toString()
                .contains(QStringLiteral("one")));
    QCOMPARE(QJsonDocument::fromJson(readFile(folder + QStringLiteral("/.orvu/config")))
                 .object()
                 .value(QStringLiteral("slug"))
                 .toString(),
             QStringLiteral("one"));

    QCOMPARE(init(folder, QStringLiteral("two"), true).exitCode, 0);
    // A new link starts without history: the existing file is an addition for the new repo.
    QCOMPARE(changesOf(firstOfType(sandbox.orvu({QStringLiteral("status"), folder, kJson}),
                                   QStringLiteral("status")),
                       false),
             QStringList{QStringLiteral("A f.txt")});

    QCOMPARE(init(QStringLiteral("relative/path"), QStringLiteral("one"), false).exitCode, 1);
    QCOMPARE(init(sandbox.root() + QStringLiteral("/x"), QStringLiteral("../bad"), false).exitCode,
             1);
}

void OrvuLocalTest::statusReportsEveryKind() {
    TwoDevices d;
    for (const char *name : {"same.txt", "edit-here.txt", "delete-here.txt", "edit-there.txt",
                             "delete-there.txt", "both.txt", "here-vs-gone.txt"})
        QVERIFY(writeFile(d.a + QLatin1Char('/') + QLatin1String(name), QByteArray(name) + " v1"));
    QCOMPARE(d.sync(d.a).exitCode, 0);
    QCOMPARE(d.sync(d.b).exitCode, 0);

    QVERIFY(writeFile(d.a + QStringLiteral("/edit-here.txt"), "local edit"));
    QVERIFY(QFile::remove(d.a + QStringLiteral("/delete-here.txt")));
    QVERIFY(writeFile(d.a + QStringLiteral("/added.txt"), "new"));
    QVERIFY(writeFile(d.a + QStringLiteral("/.hidden/secret.txt"), "never synced"));
    QVERIFY(writeFile(d.a + QStringLiteral("/both.txt"), "mine"));
    QVERIFY(writeFile(d.a + QStringLiteral("/here-vs-gone.txt"), "mine too"));

    QVERIFY(writeFile(d.b + QStringLiteral("/edit-there.txt"), "remote edit"));
    QVERIFY(QFile::remove(d.b + QStringLiteral("/delete-there.txt")));
    QVERIFY(writeFile(d.b + QStringLiteral("/both.txt"), "theirs"));
    QVERIFY(QFile::remove(d.b + QStringLiteral("/here-vs-gone.txt")));
    QVERIFY(writeFile(d.b + QStringLiteral("/from-there.txt"), "remote new"));
    QCOMPARE(d.sync(d.b).exitCode, 0);

    const QJsonObject status = d.status(d.a);
    QCOMPARE(changesOf(status, false),
             (QStringList{QStringLiteral("A added.txt"), QStringLiteral("M both.txt"),
                          QStringLiteral("D delete-here.txt"), QStringLiteral("M edit-here.txt"),
                          QStringLiteral("M here-vs-gone.txt")}));
    QCOMPARE(changesOf(status, true),
             (QStringList{QStringLiteral("P edit-there.txt"), QStringLiteral("P from-there.txt"),
                          QStringLiteral("RD delete-there.txt"), QStringLiteral("C both.txt"),
                          QStringLiteral("C here-vs-gone.txt")}));
    const QJsonObject remote = status.value(QStringLiteral("remote")).toObject();
    QCOMPARE(remote.value(QStringLiteral("toPull")).toInt(), 2);
    QCOMPARE(remote.value(QStringLiteral("toDelete")).toInt(), 1);
    QCOMPARE(remote.value(QStringLiteral("conflicts")).toInt(), 2);

    // The local status carries no remote part.
    const QJsonObject local = firstOfType(d.sandbox.orvu({QStringLiteral("status"), d.a, kJson}),
                                          QStringLiteral("status"));
    QVERIFY(!local.contains(QStringLiteral("remote")));
    QCOMPARE(changesOf(local, false), changesOf(status, false));
}

void OrvuLocalTest::syncMovesChangesBothWays() {
    TwoDevices d;
    QVERIFY(writeFile(d.a + QStringLiteral("/one.txt"), "1"));
    QVERIFY(writeFile(d.a + QStringLiteral("/dir/two.txt"), "2"));
    QVERIFY(writeFile(d.a + QStringLiteral("/gone.txt"), "3"));
    auto push = d.sync(d.a);
    QCOMPARE(push.exitCode, 0);
    const auto pushes = allOfType(push, QStringLiteral("push"));
    QCOMPARE(pushes.size(), 3);
    for (qsizetype i = 0; i < pushes.size(); ++i) {
        QCOMPARE(pushes[i].value(QStringLiteral("current")).toInt(), i + 1);
        QCOMPARE(pushes[i].value(QStringLiteral("total")).toInt(), 3);
    }
    const QJsonObject complete = firstOfType(push, QStringLiteral("complete"));
    QCOMPARE(complete.value(QStringLiteral("pushed")).toInt(), 3);
    QCOMPARE(strings(complete.value(QStringLiteral("pushedFiles"))),
             (QStringList{QStringLiteral("dir/two.txt"), QStringLiteral("gone.txt"),
                          QStringLiteral("one.txt")}));
    QCOMPARE(push.lines().last().value(QStringLiteral("type")).toString(),
             QStringLiteral("complete"));

    auto pull = d.sync(d.b);
    QCOMPARE(firstOfType(pull, QStringLiteral("complete")).value(QStringLiteral("pulled")).toInt(),
             3);
    QCOMPARE(folderFiles(d.b), folderFiles(d.a));

    // Deletions travel both ways, and empty folders left behind go too.
    QVERIFY(QFile::remove(d.a + QStringLiteral("/gone.txt")));
    QVERIFY(QFile::remove(d.a + QStringLiteral("/dir/two.txt")));
    auto deleteServer = d.sync(d.a);
    QCOMPARE(allOfType(deleteServer, QStringLiteral("delete")).size(), 2);
    const QJsonObject c1 = firstOfType(deleteServer, QStringLiteral("complete"));
    QCOMPARE(c1.value(QStringLiteral("deletedServer")).toInt(), 2);
    QCOMPARE(strings(c1.value(QStringLiteral("deletedServerFiles"))),
             (QStringList{QStringLiteral("dir/two.txt"), QStringLiteral("gone.txt")}));
    auto deleteLocal = d.sync(d.b);
    const QJsonObject c2 = firstOfType(deleteLocal, QStringLiteral("complete"));
    QCOMPARE(c2.value(QStringLiteral("deletedLocal")).toInt(), 2);
    QVERIFY(!QFileInfo::exists(d.b + QStringLiteral("/gone.txt")));
    QVERIFY(!QFileInfo::exists(d.b + QStringLiteral("/dir")));
    QCOMPARE(folderFiles(d.b), folderFiles(d.a));

    auto upToDate = d.sync(d.b);
    QCOMPARE(upToDate.exitCode, 0);
    QCOMPARE(firstOfType(upToDate, QStringLiteral("success"))
                 .value(QStringLiteral("message"))
                 .toString(),
             QStringLiteral("Already up to date"));
    QVERIFY(firstOfType(upToDate, QStringLiteral("complete")).isEmpty());

    const auto unknown = d.sandbox.orvu({QStringLiteral("sync"), d.a, kJson,
                                         QStringLiteral("--resolve"), QStringLiteral("keep-mine")});
    QCOMPARE(unknown.exitCode, 1);
    QVERIFY(!firstOfType(unknown, QStringLiteral("error")).isEmpty());
}

void OrvuLocalTest::conflictsKeepBothVersions_data() {
    QTest::addColumn<QByteArray>("local");  // empty: deleted here
    QTest::addColumn<QByteArray>("remote"); // empty: deleted on the server
    QTest::addColumn<QString>("copy");      // where the local version is kept
    QTest::newRow("both edited") << QByteArray("mine") << QByteArray("theirs")
                                 << QStringLiteral("sub/_notes.txt");
    QTest::newRow("edited here, deleted there")
        << QByteArray("mine") << QByteArray() << QStringLiteral("sub/_notes.txt");
    QTest::newRow("deleted here, edited there")
        << QByteArray() << QByteArray("theirs") << QString();
    QTest::newRow("copy name taken")
        << QByteArray("mine") << QByteArray("theirs") << QStringLiteral("sub/_notes (2).txt");
}

void OrvuLocalTest::conflictsKeepBothVersions() {
    QFETCH(QByteArray, local);
    QFETCH(QByteArray, remote);
    QFETCH(QString, copy);
    TwoDevices d;
    const QString path = QStringLiteral("sub/notes.txt");
    QVERIFY(writeFile(d.a + QLatin1Char('/') + path, "base"));
    if (copy.contains(QStringLiteral("(2)"))) {
        QVERIFY(writeFile(d.a + QStringLiteral("/sub/_notes.txt"), "an older copy"));
    }
    QCOMPARE(d.sync(d.a).exitCode, 0);
    QCOMPARE(d.sync(d.b).exitCode, 0);
    if (remote.isEmpty())
        QVERIFY(QFile::remove(d.b + QLatin1Char('/') + path));
    else
        QVERIFY(writeFile(d.b + QLatin1Char('/') + path, remote));
    QCOMPARE(d.sync(d.b).exitCode, 0);
    if (local.isEmpty())
        QVERIFY(QFile::remove(d.a + QLatin1Char('/') + path));
    else
        QVERIFY(writeFile(d.a + QLatin1Char('/') + path, local));

    const auto plan = firstOfType(d.sandbox.orvu(dryRunArgs(d.a)), QStringLiteral("plan"));
    QCOMPARE(plan.value(QStringLiteral("conflicts")).toInt(), 1);
    QCOMPARE(strings(plan.value(QStringLiteral("conflictFiles"))), QStringList{path});

    const auto run = d.sync(d.a);
    QCOMPARE(run.exitCode, 0);
    const QJsonObject conflict = firstOfType(run, QStringLiteral("conflict"));
    QCOMPARE(conflict.value(QStringLiteral("file")).toString(), path);
    if (!copy.isEmpty()) {
        QCOMPARE(conflict.value(QStringLiteral("renamedTo")).toString(), copy);
        QCOMPARE(readFile(d.a + QLatin1Char('/') + copy), local);
    }
    QCOMPARE(QFileInfo::exists(d.a + QLatin1Char('/') + path), !remote.isEmpty());
    if (!remote.isEmpty())
        QCOMPARE(readFile(d.a + QLatin1Char('/') + path), remote);

    // The kept copy is an ordinary new file, private on the server once pushed.
    if (!copy.isEmpty()) {
        const QJsonObject status = d.status(d.a);
        QVERIFY(changesOf(status, false).contains(QStringLiteral("A ") + copy));
        QCOMPARE(d.sync(d.a).exitCode, 0);
        const QByteArray manifest =
            readFile(storeRoot() + QStringLiteral("/manifests/") + repoIdOf(d.a));
        QVERIFY(manifest.contains("\t1\t" + copy.toUtf8()));
    }
    QCOMPARE(d.sync(d.b).exitCode, 0);
    QCOMPARE(folderFiles(d.a), folderFiles(d.b));
}

void OrvuLocalTest::onlyLimitsWhatIsPushed() {
    TwoDevices d;
    QVERIFY(writeFile(d.a + QStringLiteral("/keep.txt"), "k"));
    QVERIFY(writeFile(d.a + QStringLiteral("/old.txt"), "o"));
    QCOMPARE(d.sync(d.a).exitCode, 0);
    QCOMPARE(d.sync(d.b).exitCode, 0);
    QVERIFY(writeFile(d.a + QStringLiteral("/chosen.txt"), "c"));
    QVERIFY(writeFile(d.a + QStringLiteral("/docs/later.txt"), "l"));
    QVERIFY(QFile::remove(d.a + QStringLiteral("/old.txt")));
    QVERIFY(writeFile(d.b + QStringLiteral("/from-b.txt"), "b"));
    QCOMPARE(d.sync(d.b).exitCode, 0);

    const auto run = d.sync(d.a, {QStringLiteral("chosen.txt"), QStringLiteral("old.txt")});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject complete = firstOfType(run, QStringLiteral("complete"));
    QCOMPARE(strings(complete.value(QStringLiteral("pushedFiles"))),
             QStringList{QStringLiteral("chosen.txt")});
    QCOMPARE(strings(complete.value(QStringLiteral("deletedServerFiles"))),
             QStringList{QStringLiteral("old.txt")});
    // Server-side changes come in regardless.
    QCOMPARE(strings(complete.value(QStringLiteral("pulledFiles"))),
             QStringList{QStringLiteral("from-b.txt")});
    QCOMPARE(changesOf(d.status(d.a), false), QStringList{QStringLiteral("A docs/later.txt")});
    // A folder given to --only selects what lies beneath it.
    const auto rest = d.sync(d.a, {QStringLiteral("./docs/")});
    QCOMPARE(
        strings(firstOfType(rest, QStringLiteral("complete")).value(QStringLiteral("pushedFiles"))),
        QStringList{QStringLiteral("docs/later.txt")});
}

void OrvuLocalTest::dryRunAgreesWithTheRun() {
    TwoDevices d;
    for (int i = 0; i < 6; ++i)
        QVERIFY(writeFile(d.a + QStringLiteral("/f%1.txt").arg(i), QByteArray::number(i)));
    QCOMPARE(d.sync(d.a).exitCode, 0);
    QCOMPARE(d.sync(d.b).exitCode, 0);
    QVERIFY(writeFile(d.a + QStringLiteral("/f0.txt"), "a0")); // push
    QVERIFY(QFile::remove(d.a + QStringLiteral("/f1.txt")));   // delete on the server
    QVERIFY(writeFile(d.a + QStringLiteral("/f2.txt"), "a2")); // conflict
    QVERIFY(writeFile(d.a + QStringLiteral("/new.txt"), "n")); // push, not selected below
    QVERIFY(writeFile(d.b + QStringLiteral("/f2.txt"), "b2"));
    QVERIFY(writeFile(d.b + QStringLiteral("/f3.txt"), "b3")); // pull
    QVERIFY(QFile::remove(d.b + QStringLiteral("/f4.txt")));   // delete here
    QCOMPARE(d.sync(d.b).exitCode, 0);

    const QStringList only{QStringLiteral("f0.txt"), QStringLiteral("f1.txt"),
                           QStringLiteral("f2.txt")};
    const auto before = folderFiles(d.a);
    const QJsonObject plan =
        firstOfType(d.sandbox.orvu(dryRunArgs(d.a, only)), QStringLiteral("plan"));
    QCOMPARE(folderFiles(d.a), before); // a dry run changes nothing
    QCOMPARE(changesOf(d.status(d.a), true).size(), 3);

    const QJsonObject complete = firstOfType(d.sync(d.a, only), QStringLiteral("complete"));
    QCOMPARE(plan.value(QStringLiteral("toPush")).toInt(),
             complete.value(QStringLiteral("pushed")).toInt());
    QCOMPARE(plan.value(QStringLiteral("toPull")).toInt(),
             complete.value(QStringLiteral("pulled")).toInt());
    QCOMPARE(plan.value(QStringLiteral("toDeleteServer")).toInt(),
             complete.value(QStringLiteral("deletedServer")).toInt());
    QCOMPARE(plan.value(QStringLiteral("toDeleteLocal")).toInt(),
             complete.value(QStringLiteral("deletedLocal")).toInt());
    QCOMPARE(plan.value(QStringLiteral("toPush")).toInt(), 1);
    QCOMPARE(plan.value(QStringLiteral("toPull")).toInt(), 2); // f3 and the server's f2
    QCOMPARE(plan.value(QStringLiteral("toDeleteServer")).toInt(), 1);
    QCOMPARE(plan.value(QStringLiteral("toDeleteLocal")).toInt(), 1);
    QCOMPARE(strings(plan.value(QStringLiteral("conflictFiles"))),
             QStringList{QStringLiteral("f2.txt")});
}

void OrvuLocalTest::discardRestoresTheSyncedState_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("relative");
    QTest::newRow("added, absolute") << QStringLiteral("A") << false;
    QTest::newRow("added, relative") << QStringLiteral("A") << true;
    QTest::newRow("modified") << QStringLiteral("M") << true;
    QTest::newRow("deleted") << QStringLiteral("D") << false;
}

void OrvuLocalTest::discardRestoresTheSyncedState() {
    QFETCH(QString, kind);
    QFETCH(bool, relative);
    TwoDevices d;
    const QString path = QStringLiteral("dir/file.txt");
    const QString absolute = d.a + QLatin1Char('/') + path;
    if (kind != QStringLiteral("A")) {
        QVERIFY(writeFile(absolute, "synced"));
        QCOMPARE(d.sync(d.a).exitCode, 0);
    }
    if (kind == QStringLiteral("D"))
        QVERIFY(QFile::remove(absolute));
    else
        QVERIFY(writeFile(absolute, "edited"));
    QCOMPARE(changesOf(d.status(d.a), false), QStringList{kind + QLatin1Char(' ') + path});

    const auto result =
        d.sandbox.orvu({QStringLiteral("discard"), relative ? path : absolute, kJson}, {}, d.a);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(changesOf(d.status(d.a), false).isEmpty());
    if (kind == QStringLiteral("A"))
        QVERIFY(!QFileInfo::exists(absolute));
    else
        QCOMPARE(readFile(absolute), QByteArray("synced"));
}

void OrvuLocalTest::discardRefusesWhatIsNotAChange_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("unchanged file") << QStringLiteral("same.txt");
    QTest::newRow("unknown file") << QStringLiteral("nothing.txt");
    QTest::newRow("parent escape") << QStringLiteral("../outside.txt");
    QTest::newRow("absolute outside") << QStringLiteral("@ROOT/outside.txt");
    QTest::newRow("through a link") << QStringLiteral("link/outside.txt");
    QTest::newRow("the config") << QStringLiteral(".orvu/config");
}

void OrvuLocalTest::discardRefusesWhatIsNotAChange() {
    QFETCH(QString, path);
    TwoDevices d;
    QVERIFY(writeFile(d.a + QStringLiteral("/same.txt"), "s"));
    QCOMPARE(d.sync(d.a).exitCode, 0);
    QVERIFY(writeFile(d.sandbox.root() + QStringLiteral("/outside.txt"), "precious"));
    QVERIFY(QFile::link(d.sandbox.root(), d.a + QStringLiteral("/link")));
    path.replace(QStringLiteral("@ROOT"), d.sandbox.root());
    const auto result = d.sandbox.orvu({QStringLiteral("discard"), path, kJson}, {}, d.a);
    QCOMPARE(result.exitCode, 1);
    QVERIFY(!firstOfType(result, QStringLiteral("error")).isEmpty());
    QCOMPARE(readFile(d.sandbox.root() + QStringLiteral("/outside.txt")), QByteArray("precious"));
    QCOMPARE(readFile(d.a + QStringLiteral("/same.txt")), QByteArray("s"));
    QVERIFY(QFileInfo::exists(d.a + QStringLiteral("/.orvu/config")));
}

void OrvuLocalTest::offlineStoreFailsWithNetworkError() {
    TwoDevices d;
    QVERIFY(writeFile(d.a + QStringLiteral("/f.txt"), "x"));
    QCOMPARE(d.sandbox.admin({QStringLiteral("offline"), QStringLiteral("on")}).exitCode, 0);
    const QList<QStringList> commands{
        syncArgs(d.a),
        dryRunArgs(d.a),
        {QStringLiteral("status"), d.a, QStringLiteral("--remote"), kJson},
        {QStringLiteral("repos"), kJson},
        {QStringLiteral("whoami"), kJson}};
    for (const QStringList &arguments : commands) {
        const auto result = d.sandbox.orvu(arguments);
        QCOMPARE(result.exitCode, 3);
        QCOMPARE(
            firstOfType(result, QStringLiteral("error")).value(QStringLiteral("error")).toString(),
            QStringLiteral("Network unavailable"));
    }
    QCOMPARE(d.sandbox.orvu({QStringLiteral("status"), d.a, kJson}).exitCode, 0);
    QCOMPARE(d.sandbox.admin({QStringLiteral("offline"), QStringLiteral("off")}).exitCode, 0);
    QCOMPARE(d.sync(d.a).exitCode, 0);
}

void OrvuLocalTest::interruptedSyncResumes() {
    TwoDevices d;
    constexpr int kFiles = 40;
    for (int i = 0; i < kFiles; ++i)
        QVERIFY(writeFile(d.a + QStringLiteral("/f%1.txt").arg(i, 2, 10, QLatin1Char('0')),
                          QByteArray::number(i)));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ORVU_LOCAL_TRANSFER_DELAY_MS"), QStringLiteral("25"));
    process.setProcessEnvironment(environment);
    process.start(d.sandbox.toolDirectory() + QStringLiteral("/orvu"),
                  QStringList{QStringLiteral("--server"), QStringLiteral("https://orvu.io")} +
                      syncArgs(d.a));
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
    QCOMPARE(serverFiles(repoIdOf(d.a)).size(), pushedBefore);
    QCOMPARE(changesOf(d.status(d.a), false).size(), kFiles - pushedBefore);

    const auto resumed = d.sync(d.a);
    QCOMPARE(resumed.exitCode, 0);
    QCOMPARE(
        firstOfType(resumed, QStringLiteral("complete")).value(QStringLiteral("pushed")).toInt(),
        kFiles - pushedBefore);
    QCOMPARE(serverFiles(repoIdOf(d.a)), folderFiles(d.a));
}

void OrvuLocalTest::secondSyncWaitsForTheLock() {
    TwoDevices d;
    QVERIFY(writeFile(d.a + QStringLiteral("/f.txt"), "x"));
    QLockFile held(storeRoot() + QStringLiteral("/locks/") + repoIdOf(d.a) +
                   QStringLiteral(".lock"));
    QVERIFY(held.tryLock(0));
    QElapsedTimer timer;
    timer.start();
    const auto blocked = d.sync(d.a);
    QCOMPARE(blocked.exitCode, 1);
    QVERIFY(timer.elapsed() >= 9000);
    QVERIFY(firstOfType(blocked, QStringLiteral("error"))
                .value(QStringLiteral("error"))
                .toString()
                .contains(QStringLiteral("still running")));
    QVERIFY(serverFiles(repoIdOf(d.a)).isEmpty());
    held.unlock();
    QCOMPARE(d.sync(d.a).exitCode, 0);
}

void OrvuLocalTest::pathsCannotEscapeTheFolder_data() {
    QTest::addColumn<QString>("only");
    QTest::newRow("parent") << QStringLiteral("../secret.txt");
    QTest::newRow("nested parent") << QStringLiteral("dir/../../secret.txt");
    QTest::newRow("absolute outside") << QStringLiteral("/etc/passwd");
    QTest::newRow("through a link") << QStringLiteral("link/secret.txt");
}

void OrvuLocalTest::pathsCannotEscapeTheFolder() {
    QFETCH(QString, only);
    TwoDevices d;
    QVERIFY(writeFile(d.sandbox.root() + QStringLiteral("/outside/secret.txt"), "secret"));
    QVERIFY(
        QFile::link(d.sandbox.root() + QStringLiteral("/outside"), d.a + QStringLiteral("/link")));
    QVERIFY(writeFile(d.a + QStringLiteral("/dir/f.txt"), "f"));
    const auto result = d.sync(d.a, {only});
    QCOMPARE(result.exitCode, 1);
    QVERIFY(!firstOfType(result, QStringLiteral("error")).isEmpty());
    QVERIFY(serverFiles(repoIdOf(d.a)).isEmpty());
    // A link inside the folder is neither followed nor synced.
    QCOMPARE(d.sync(d.a).exitCode, 0);
    QCOMPARE(serverFiles(repoIdOf(d.a)).keys(), QStringList{QStringLiteral("dir/f.txt")});
}

void OrvuLocalTest::serverPathsThroughLocalLinksAreRefused() {
    TwoDevices d;
    QVERIFY(QDir().mkpath(d.sandbox.root() + QStringLiteral("/outside")));
    QVERIFY(
        QFile::link(d.sandbox.root() + QStringLiteral("/outside"), d.a + QStringLiteral("/link")));
    QCOMPARE(d.sandbox
                 .admin({QStringLiteral("put"), QStringLiteral("notes"),
                         QStringLiteral("link/evil.txt")},
                        "evil")
                 .exitCode,
             0);
    QCOMPARE(
        d.sandbox
            .admin({QStringLiteral("put"), QStringLiteral("notes"), QStringLiteral("../evil.txt")},
                   "evil")
            .exitCode,
        1);
    QCOMPARE(
        d.sandbox
            .admin({QStringLiteral("put"), QStringLiteral("notes"), QStringLiteral("fine.txt")},
                   "fine")
            .exitCode,
        0);
    const auto run = d.sync(d.a);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(!QFileInfo::exists(d.sandbox.root() + QStringLiteral("/outside/evil.txt")));
    QCOMPARE(readFile(d.a + QStringLiteral("/fine.txt")), QByteArray("fine"));
}

void OrvuLocalTest::usageErrorsNameTheForm_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("form");
    QTest::newRow("no command") << QStringList{} << QStringLiteral("Usage: orvu");
    QTest::newRow("unknown command")
        << QStringList{QStringLiteral("fly")} << QStringLiteral("Usage: orvu");
    QTest::newRow("init without repo")
        << QStringList{QStringLiteral("init"), QStringLiteral("/x"), kJson}
        << QStringLiteral("Usage: orvu init");
    QTest::newRow("login without form")
        << QStringList{QStringLiteral("login"), kJson} << QStringLiteral("Usage: orvu login");
    QTest::newRow("unknown option")
        << QStringList{QStringLiteral("status"), QStringLiteral("/x"), QStringLiteral("--fast")}
        << QStringLiteral("Usage: orvu status");
    QTest::newRow("admin") << QStringList{QStringLiteral("admin"), QStringLiteral("explode")}
                           << QStringLiteral("Usage: orvu admin");
}

void OrvuLocalTest::usageErrorsNameTheForm() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, form);
    OrvuLocalSandbox sandbox;
    const auto result = sandbox.orvu(arguments);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(firstOfType(result, QStringLiteral("error"))
                 .value(QStringLiteral("error"))
                 .toString()
                 .startsWith(form),
             result.out.constData());
}

void OrvuLocalTest::explicitStoreDirectory() {
    OrvuLocalSandbox sandbox;
    const QString store = sandbox.root() + QStringLiteral("/server");
    const QString url = QStringLiteral("file://") + store;
    QProcess process;
    auto run = [&](const QStringList &arguments) {
        process.start(sandbox.toolDirectory() + QStringLiteral("/orvu"),
                      QStringList{QStringLiteral("--server"), url} + arguments);
        process.waitForFinished();
        return process.exitCode();
    };
    // A missing store directory is an unreachable server.
    QCOMPARE(run({QStringLiteral("login"), QStringLiteral("--email"), kEmail, kJson}), 3);
    QVERIFY(QDir().mkpath(store));
    QCOMPARE(run({QStringLiteral("login"), QStringLiteral("--email"), kEmail, kJson}), 0);
    QVERIFY(!QDir(store + QStringLiteral("/outbox")).entryList(QDir::Files).isEmpty());
    // The default server's store is a different one.
    QVERIFY(sandbox.admin({QStringLiteral("mail"), kEmail}).exitCode != 0);
}

void OrvuLocalTest::unchangedFilesAreNotRead() {
    TwoDevices d;
    const QString path = d.a + QStringLiteral("/cached.txt");
    QVERIFY(writeFile(path, "first"));
    QCOMPARE(d.sync(d.a).exitCode, 0);
    QVERIFY(changesOf(d.status(d.a), false).isEmpty());
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
    QVERIFY(changesOf(d.status(d.a), false).isEmpty());
    // Any change of the modification time makes it read again.
    const struct timespec later[2] = {before.st_atim, {before.st_mtim.tv_sec + 1, 0}};
    QCOMPARE(::utimensat(AT_FDCWD, native.constData(), later, 0), 0);
    QCOMPARE(changesOf(d.status(d.a), false), QStringList{QStringLiteral("M cached.txt")});
}

void OrvuLocalTest::namesThatAreNotUtf8AreSkipped() {
    TwoDevices d;
    const QByteArray badName = QFile::encodeName(d.a) + "/bad-\xff\xfe.txt";
    const int fd = ::open(badName.constData(), O_CREAT | O_WRONLY, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);
    QVERIFY(writeFile(d.a + QStringLiteral("/good.txt"), "g"));
    const auto run = d.sync(d.a);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.err.contains("UTF-8"));
    QCOMPARE(serverFiles(repoIdOf(d.a)).keys(), QStringList{QStringLiteral("good.txt")});
    ::unlink(badName.constData()); // QTemporaryDir cannot name it to remove it
}

QTEST_GUILESS_MAIN(OrvuLocalTest)
#include "test_orvu_local.moc"
