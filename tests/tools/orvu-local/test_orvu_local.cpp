#include "tool_helpers.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QSet>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvu::test;
using Result = OrvuLocalSandbox::Result;

namespace {

const QString kEmail = u"ada@example.org"_s;

QString errorOf(const Result &result) {
    return firstOfType(result, u"error"_s).value(u"error"_s).toString();
}

// "A path" for each local change, or each remote one with `remote`.
QStringList changesOf(const QJsonObject &status, bool remote) {
    QStringList list;
    for (const QJsonValue &change : (remote ? status[u"remote"_s] : status)[u"changes"_s].toArray())
        list << change[u"change"_s].toString() + u' ' + change[u"path"_s].toString();
    return list;
}

// A signed-in sandbox with two folders bound to one repo, both synced empty.
struct TwoDevices {
    OrvuLocalSandbox sandbox;
    QString a = sandbox.makeFolder(u"a"_s);
    QString b = sandbox.makeFolder(u"b"_s);

    TwoDevices() {
        QVERIFY(sandbox.signIn(kEmail));
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
    QStringList changes(const QString &folder, bool remote = false) const {
        return changesOf(
            firstOfType(orvu({u"status"_s, folder, u"--remote"_s, kJson}), u"status"_s), remote);
    }
    // "path=content;..." writes each content, or removes the file when it is empty.
    static bool edit(const QString &folder, const QString &edits) {
        bool ok = true;
        for (const QString &edit : edits.split(u';')) {
            const QString path = folder + u'/' + edit.section(u'=', 0, 0);
            const QByteArray content = edit.section(u'=', 1).toUtf8();
            ok = ok && (content.isEmpty() ? QFile::remove(path) : writeFile(path, content));
        }
        return ok;
    }
    QMap<QString, QByteArray> server() const { return serverFiles(repoIdOf(a)); }
    // Starts a sync of `a` slowed by `delayMs` per transfer and waits until it is `ready`
    // (by default: it holds the repo's lock and has had time to scan).
    void startSync(QProcess &run, int delayMs, std::function<bool()> ready = {}) const {
        startTool(run, sandbox, syncArgs(a), delayMs);
        const QString lock = storeRoot() + u"/locks/"_s + repoIdOf(a) + u".lock"_s;
        if (!ready)
            ready = [&] { return QFileInfo::exists(lock); };
        QElapsedTimer started;
        started.start();
        while (!ready() && started.elapsed() < 20000)
            QThread::usleep(200);
        QThread::msleep(static_cast<unsigned long>(delayMs / 3));
    }
};

} // namespace

class OrvuLocalTest : public QObject {
    Q_OBJECT

private slots:
    // The rest of the sign-in runs through the app end to end (tests/e2e).
    void signInFlow() {
        OrvuLocalSandbox sandbox;
        const auto request = sandbox.orvu({u"login"_s, u"--email"_s, kEmail, kJson});
        QCOMPARE(firstOfType(request, u"auth"_s)[u"authState"_s].toString(), u"pending"_s);
        const QString link = QString::fromUtf8(sandbox.admin({u"mail"_s, kEmail}).out).trimmed();
        QVERIFY(link.startsWith(u"orvu://verify?token="_s));
        QVERIFY(link.mid(20).size() >= 32); // at least 128 random bits in hex
        for (const int code : {0, 1})       // a link works once
            QCOMPARE(sandbox.orvu({u"login"_s, u"--verify"_s, link, kJson}).exitCode, code);
        const QFileInfo session(qEnvironmentVariable("XDG_CONFIG_HOME") +
                                u"/orvu-local/session.json"_s);
        QCOMPARE(session.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                 QFileDevice::Permissions());
    }

    void exitCodesAndErrors_data() {
        QTest::addColumn<QString>("arguments"); // @F: a bound folder, @ROOT: the sandbox
        QTest::addColumn<QString>("state");     // run first: "logout" or "admin offline on"
        QTest::addColumn<QString>("error");     // the start of the error; none: success
        const auto row = [](const char *name, const char *arguments, const char *state,
                            const char *error) {
            QTest::newRow(name) << QString::fromLatin1(arguments) << QString::fromLatin1(state)
                                << QString::fromLatin1(error);
        };
        row("signed out: repos", "repos", "logout", "Not signed in");
        row("offline: sync", "sync @F --resolve keep-both", "admin offline on",
            "Network unavailable");
        // A file:/// store must exist; it is then a store of its own.
        row("missing store", "--server file://@ROOT/none whoami", "", "Network unavailable");
        row("store directory", "--server file://@ROOT whoami", "", "Not signed in");
        row("relative file URL", "--server file://relative/dir whoami", "", "Not a usable server");
        // --json is accepted everywhere, admin commands too.
        row("admin rm", "admin rm notes f.txt", "", "");
        row("init of a relative path", "init x --repo one", "", "The folder must be an absolute");
        row("init with a bad slug", "init @ROOT/x --repo ../bad", "", "\"../bad\" is not a valid");
        row("bad e-mail address", "login --email not-an-address", "", "\"not-an-address\" is not");
        row("unknown admin command", "admin explode", "", "Usage: orvu admin");
        row("unknown resolution", "sync /x --resolve keep-mine", "", "Unknown conflict resolution");
    }

    void exitCodesAndErrors() {
        QFETCH(QString, arguments);
        QFETCH(QString, state);
        QFETCH(QString, error);
        TwoDevices d;
        QVERIFY(writeFile(d.a + u"/f.txt"_s, "x"));
        QCOMPARE(d.sync(d.a).exitCode, 0);
        QVERIFY(writeFile(d.a + u"/g.txt"_s, "y"));
        if (!state.isEmpty())
            QCOMPARE(d.orvu(state.split(u' ')).exitCode, 0);
        arguments.replace(u"@F"_s, d.a).replace(u"@ROOT"_s, d.sandbox.root());
        const auto result = d.orvu(arguments.split(u' ') << kJson);
        const QMap<QString, int> codes{
            {{}, 0}, {u"Network unavailable"_s, 3}, {u"Not signed in"_s, 2}};
        QCOMPARE(result.exitCode, codes.value(error, 1));
        QVERIFY2(error.isEmpty() ? errorOf(result).isEmpty() : errorOf(result).startsWith(error),
                 result.out.constData());
        // The local status needs neither the server nor a user, and nothing was lost.
        QCOMPARE(changesOf(firstOfType(d.orvu({u"status"_s, d.a, kJson}), u"status"_s), false),
                 QStringList{u"A g.txt"_s});
    }

    // One scenario with every kind of change: the status, the plan and the run agree.
    void statusPlanAndRunAgree() {
        TwoDevices d;
        for (const char *name : {"same", "edit-here", "delete-here", "edit-there", "delete-there",
                                 "both", "_both", "here-vs-gone", "restored", "dir/deep"})
            QVERIFY(writeFile(d.a + u'/' + QLatin1String(name), QByteArray(name) + " v1"));
        QVERIFY(d.syncBoth(d.a, d.b));
        QVERIFY(d.edit(d.a, u"edit-here=local edit;delete-here=;added=new;.hidden/secret=never "
                            u"synced;both=mine;here-vs-gone=mine too;restored="_s));
        QVERIFY(d.edit(d.b, u"edit-there=remote edit;delete-there=;dir/deep=;both=theirs;"
                            u"here-vs-gone=;restored=theirs too;from-there=remote new"_s));
        QCOMPARE(d.sync(d.b).exitCode, 0);

        QCOMPARE(d.changes(d.a),
                 (QStringList{u"A added"_s, u"M both"_s, u"D delete-here"_s, u"M edit-here"_s,
                              u"M here-vs-gone"_s, u"D restored"_s}));
        QCOMPARE(
            d.changes(d.a, true),
            (QStringList{u"P edit-there"_s, u"P from-there"_s, u"RD delete-there"_s,
                         u"RD dir/deep"_s, u"C both"_s, u"C here-vs-gone"_s, u"C restored"_s}));
        // --only limits what is pushed; server changes come in regardless.
        const QStringList only{u"edit-here"_s, u"delete-here"_s, u"both"_s, u"added"_s};
        const auto before = folderFiles(d.a);
        const QJsonObject plan = firstOfType(d.orvu(syncArgs(d.a, only, true)), u"plan"_s);
        QCOMPARE(folderFiles(d.a), before); // a dry run changes nothing
        const auto run = d.sync(d.a, only);
        const QJsonObject complete = run.lines().last();
        for (const char *done : {"Push:pushed", "Pull:pulled", "DeleteServer:deletedServer",
                                 "DeleteLocal:deletedLocal"})
            QCOMPARE(plan[u"to"_s + QString::fromLatin1(done).section(u':', 0, 0)].toInt(),
                     complete[QString::fromLatin1(done).section(u':', 1)].toInt());
        QCOMPARE(plan[u"conflictFiles"_s].toArray(),
                 (QJsonArray{u"both"_s, u"here-vs-gone"_s, u"restored"_s}));
        QCOMPARE(complete[u"pushedFiles"_s].toArray(), (QJsonArray{u"added"_s, u"edit-here"_s}));
        QCOMPARE(complete[u"deletedServerFiles"_s].toArray(), (QJsonArray{u"delete-here"_s}));
        QCOMPARE(complete[u"pulledFiles"_s].toArray(),
                 (QJsonArray{u"both"_s, u"restored"_s, u"edit-there"_s, u"from-there"_s}));
        QCOMPARE(complete[u"deletedLocalFiles"_s].toArray(),
                 (QJsonArray{u"delete-there"_s, u"dir/deep"_s}));
        QVERIFY(!QFileInfo::exists(d.a + u"/dir"_s)); // emptied folders go too
        const QJsonObject push = firstOfType(run, u"push"_s);
        QCOMPARE(push[u"current"_s].toInt() * 10 + push[u"total"_s].toInt(), 12);
        // Conflicts keep both versions: the local one under a free underscore name.
        const auto conflicts = allOfType(run, u"conflict"_s);
        QCOMPARE(conflicts.size(), 3);
        QCOMPARE(conflicts[0][u"renamedTo"_s].toString(), u"_both (2)"_s);
        QCOMPARE(conflicts[2][u"resolution"_s].toString(), u"restored"_s);
        QCOMPARE(readFile(d.a + u"/_both (2)"_s) + readFile(d.a + u"/both"_s), "minetheirs"_ba);
        QCOMPARE(readFile(d.a + u"/_here-vs-gone"_s) + readFile(d.a + u"/restored"_s),
                 "mine tootheirs too"_ba);
        QCOMPARE(d.changes(d.a), (QStringList{u"A _both (2)"_s, u"A _here-vs-gone"_s}));

        QVERIFY(d.syncBoth(d.a, d.b));
        QCOMPARE(folderFiles(d.b), folderFiles(d.a));
        // The copies are private on the server.
        QVERIFY(
            readFile(storeRoot() + u"/manifests/"_s + repoIdOf(d.a)).contains("\t1\t_both (2)\n"));
    }

    void discardPaths_data() {
        QTest::addColumn<QString>("path"); // @ROOT: the sandbox, holding outside/secret.txt
        QTest::addColumn<QString>("kind"); // the change discarded; none: refused
        QTest::newRow("added, relative") << u"dir/file.txt"_s << u"A"_s;
        QTest::newRow("modified, relative") << u"same.txt"_s << u"M"_s;
        QTest::newRow("deleted, absolute") << u"@A/same.txt"_s << u"D"_s;
        QTest::newRow("absolute outside") << u"@ROOT/outside/secret.txt"_s << QString();
    }

    void discardPaths() {
        QFETCH(QString, path);
        QFETCH(QString, kind);
        TwoDevices d;
        const QString secret = d.sandbox.root() + u"/outside/secret.txt"_s;
        QVERIFY(writeFile(secret, "precious"));
        QVERIFY(writeFile(d.a + u"/same.txt"_s, "s"));
        QCOMPARE(d.sync(d.a).exitCode, 0);
        QVERIFY(writeFile(d.a + u"/dir/file.txt"_s, "f"));
        QVERIFY(kind == u"D"_s ? QFile::remove(d.a + u"/same.txt"_s)
                               : kind != u"M"_s || writeFile(d.a + u"/same.txt"_s, "edited"));
        path.replace(u"@ROOT"_s, d.sandbox.root()).replace(u"@A"_s, d.a);
        const auto result = d.orvu({u"discard"_s, path, kJson}, d.a);
        QCOMPARE(result.exitCode, kind.isEmpty() ? 1 : 0);
        QCOMPARE(errorOf(result).isEmpty(), !kind.isEmpty());
        QCOMPARE(readFile(secret) + '|' + readFile(d.a + u"/same.txt"_s), "precious|s"_ba);
        QCOMPARE(QFileInfo::exists(d.a + u"/dir/file.txt"_s), kind != u"A"_s);
        QVERIFY(QFileInfo::exists(d.a + u"/.orvu/config"_s));
        QCOMPARE(d.server().keys(), QStringList{u"same.txt"_s});
    }

    void interruptedSyncResumes_data() {
        QTest::addColumn<bool>("early"); // else after the first push line
        QTest::newRow("after the first push") << false;
        // Held back until the tool lets it through, as if it came before anything had run.
        QTest::newRow("before the tool has started") << true;
        QTest::newRow("killed (SIGKILL) after the first push") << false;
    }

    void interruptedSyncResumes() {
        QFETCH(bool, early);
        const bool kill = QByteArray(QTest::currentDataTag()).startsWith("killed");
        TwoDevices d;
        constexpr int kFiles = 40;
        for (int i = 0; i < kFiles; ++i)
            QVERIFY(writeFile(d.a + u"/f%1.txt"_s.arg(i, 2, 10, QLatin1Char('0')),
                              QByteArray::number(i)));
        const auto written = folderFiles(d.a);
        QProcess process;
        if (early)
            process.setChildProcessModifier([] {
                sigset_t blocked;
                sigemptyset(&blocked);
                sigaddset(&blocked, SIGTERM);
                sigprocmask(SIG_BLOCK, &blocked, nullptr);
            });
        startTool(process, d.sandbox, syncArgs(d.a), 25);
        QVERIFY(process.waitForStarted() && (early || process.waitForReadyRead(20000)));
        kill ? process.kill() : process.terminate(); // nothing once the run has ended
        const auto stopped = finish(process);
        const int pushedBefore = static_cast<int>(allOfType(stopped, u"push"_s).size());
        QVERIFY(early ? pushedBefore == 0 : pushedBefore >= 1 && pushedBefore < kFiles);
        if (!kill) {
            QVERIFY(stopped.exitCode == 4 && !errorOf(stopped).isEmpty());
            // What was sent is recorded on both sides; the rest stays pending.
            QCOMPARE(d.server().size(), pushedBefore);
            QCOMPARE(d.changes(d.a).size(), kFiles - pushedBefore);
        }
        // Killed or not, nothing is lost or left half-written, and the next run completes it.
        const auto resumed = d.sync(d.a);
        QCOMPARE(resumed.exitCode, 0);
        QVERIFY(kill ||
                firstOfType(resumed, u"complete"_s)[u"pushed"_s].toInt() == kFiles - pushedBefore);
        QVERIFY(folderFiles(d.a) == written && d.server() == written);
    }

    void editsDuringASyncAreKept_data() {
        QTest::addColumn<int>("delayMs"); // 0: a large download, edited while it is copied
        QTest::addColumn<bool>("synced"); // else the file is new on both sides
        QTest::newRow("edit while the download waits") << 900 << true;
        QTest::newRow("edit while a large download is copied") << 0 << true;
        QTest::newRow("new file while the download waits") << 900 << false;
    }

    void editsDuringASyncAreKept() {
        QFETCH(int, delayMs);
        QFETCH(bool, synced);
        TwoDevices d;
        const QString path = d.a + u"/f.bin"_s;
        if (synced) {
            QVERIFY(writeFile(path, "base"));
            QVERIFY(d.syncBoth(d.a, d.b));
        }
        const QByteArray theirs = delayMs > 0 ? "theirs"_ba : QByteArray(64 << 20, 't');
        QVERIFY(writeFile(d.b + u"/f.bin"_s, theirs));
        QCOMPARE(d.sync(d.b).exitCode, 0);
        // The edit lands after the scan: during the delay, or once the download has started.
        const QString objects = QFileInfo(storeRoot()).canonicalFilePath() + u"/objects/"_s;
        QProcess run;
        const std::function<bool()> downloading = [&] {
            const QString fds = u"/proc/%1/fd"_s.arg(run.processId());
            for (const QString &fd : QDir(fds).entryList(QDir::System | QDir::AllEntries))
                if (QFile::symLinkTarget(fds + u'/' + fd).startsWith(objects))
                    return true;
            return false;
        };
        d.startSync(run, delayMs, delayMs > 0 ? std::function<bool()>() : downloading);
        QVERIFY(writeFile(path, "mine"));
        QCOMPARE(finish(run).exitCode, 0);
        // Both versions stay (an edit that beat the scan is an ordinary conflict), and travel.
        QVERIFY(d.syncBoth(d.a, d.b));
        for (const QString &folder : {d.a, d.b})
            QCOMPARE((QSet{readFile(folder + u"/f.bin"_s), readFile(folder + u"/_f.bin"_s)}),
                     (QSet{"mine"_ba, theirs}));
    }

    // The scan: a name that is not UTF-8 is skipped with a warning, a path longer than
    // PATH_MAX syncs; what a status hashes goes to the cache's log, the cache left alone, and
    // neither an edit of the same size nor a line of a cache of an unknown kind yields a stale
    // hash. Hashes are plain SHA-256, also of files longer than one read.
    void scanAndHashCache() {
        TwoDevices d;
        const QString cache = d.a + u"/.orvu/hash-cache"_s;
        const QByteArray one(3 << 20, '1'), two(3 << 20, '2');
        const auto write = [&](const QByteArray &content, const QString &age) { // cacheable
            return writeFile(d.a + u"/f"_s, content) &&
                   QProcess::execute(u"touch"_s, {u"-d"_s, age, d.a + u"/f"_s}) == 0;
        };
        QVERIFY(write(one, u"1 minute ago"_s) && d.sync(d.a).exitCode == 0);
        QVERIFY(d.changes(d.a).isEmpty() && write(two, u"2 minutes ago"_s));
        const QByteArray whole = readFile(cache);
        QCOMPARE(d.changes(d.a), QStringList{u"M f"_s});
        QList<QByteArray> line = readFile(cache + u".log"_s).split('\t');
        QVERIFY(readFile(cache) == whole && whole.count('\n') == 2 && line.size() == 5);
        QCOMPARE(line[3], QCryptographicHash::hash(two, QCryptographicHash::Sha256).toHex());
        line[3] = whole.split('\t')[3]; // the old hash under the new stat
        QVERIFY(writeFile(cache, "orvu-hash-cache 0\n" + line.join('\t')));
        QVERIFY(QFile::remove(cache + u".log"_s) && d.changes(d.a) == QStringList{u"M f"_s});
        // Made one component at a time: no call could name the whole path at once.
        const QByteArray part(200, 'p');
        int fd = ::open(QFile::encodeName(d.a).constData(), O_DIRECTORY);
        for (int depth = 0; depth < 22; ++depth) {
            QCOMPARE(::mkdirat(fd, part.constData(), 0755), 0);
            ::close(std::exchange(fd, ::openat(fd, part.constData(), O_DIRECTORY)));
        }
        for (const char *name : {"deep.txt", "bad-\xff\xfe.txt"}) {
            const int file = ::openat(fd, name, O_CREAT | O_WRONLY, 0644);
            QVERIFY(::write(file, "deep", 4) == 4 && ::close(file) == 0);
        }
        const auto run = d.sync(d.a);
        QVERIFY(run.exitCode == 0 && run.err.contains("UTF-8") && ::close(fd) == 0);
        const QString deep = (QString::fromLatin1(part) + u'/').repeated(22) + u"deep.txt"_s;
        QCOMPARE(d.server(), (QMap<QString, QByteArray>{{deep, "deep"}, {u"f"_s, two}}));
        QCOMPARE(QProcess::execute(u"rm"_s, {u"-rf"_s, d.a}), 0); // beyond QTemporaryDir
    }

    void damagedStoresChangeNothing_data() {
        QTest::addColumn<QString>("damage");
        for (const char *damage :
             {"manifest missing", "manifest empty", "manifest cut short", "manifest binary",
              "manifest is a folder", "manifest is a FIFO", "hash not hex", "size not a number",
              "object missing", "object altered", "object is a FIFO", "users damaged",
              "repo id leads outside", "version at its limit"})
            QTest::newRow(damage) << QString::fromLatin1(damage);
    }

    void damagedStoresChangeNothing() {
        QFETCH(QString, damage);
        TwoDevices d;
        QVERIFY(d.edit(d.a, u"f.txt=v1;g.txt=g"_s));
        QVERIFY(d.syncBoth(d.a, d.b));
        QVERIFY(writeFile(d.a + u"/f.txt"_s, "v2"));
        QCOMPARE(d.sync(d.a).exitCode, 0);
        const QString id = repoIdOf(d.a);
        const QString manifest = storeRoot() + u"/manifests/"_s + id + u".versions/2"_s; // newest
        const QByteArray sha = QCryptographicHash::hash("v2", QCryptographicHash::Sha256).toHex();

        const QByteArray text = readFile(manifest);
        const QString target = damage.startsWith(u"object"_s) ? objectPath(sha) : manifest;
        const std::map<QString, QByteArray> contents{
            {u"manifest empty"_s, {}},
            {u"manifest cut short"_s, text.chopped(9)},
            {u"manifest binary"_s, QByteArray("\x00\xff\x7f\x01\n\x02", 6)},
            {u"hash not hex"_s, QByteArray(text).replace(sha, QByteArray(64, 'z'))},
            {u"size not a number"_s, QByteArray(text).replace(sha + "\t2\t", sha + "\t2x\t")},
            {u"version at its limit"_s,
             QByteArray(text).replace("\t1\t1\t0\tg.txt", "\t1\t9223372036854775807\t0\tg.txt")},
            {u"object altered"_s, "v3"}};
        if (damage == u"manifest missing"_s) // neither a version nor the plain name
            QVERIFY(QDir(storeRoot() + u"/manifests"_s).removeRecursively());
        else if (damage.contains(u"missing"_s) || damage.contains(u" is "_s))
            QVERIFY(QFile::remove(target));
        if (damage.endsWith(u"folder"_s))
            QVERIFY(QDir().mkdir(target));
        else if (damage.endsWith(u"FIFO"_s))
            QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0644), 0);
        else if (contents.count(damage))
            QVERIFY(writeFile(target, contents.at(damage)));
        else if (damage == u"users damaged"_s)
            QVERIFY(writeFile(storeRoot() + u"/users.json"_s, "{\"users\":"));
        for (const QString &file : {storeRoot() + u"/repos.json"_s, d.b + u"/.orvu/config"_s})
            if (damage == u"repo id leads outside"_s)
                QVERIFY(writeFile(file, readFile(file).replace(id.toUtf8(), "../../x")));
        QVERIFY(!damage.startsWith(u"version"_s) || writeFile(d.b + u"/g.txt"_s, "g2"));
        const auto before = folderFiles(d.b);
        const auto result = d.sync(d.b);
        // A store error, never "the server deleted everything" nor a success.
        QCOMPARE(result.exitCode, 1);
        QVERIFY(!errorOf(result).isEmpty());
        if (damage == u"version at its limit"_s)
            QVERIFY(readFile(manifest).contains("\t9223372036854775807\t0\tg.txt"));
        else
            QCOMPARE(folderFiles(d.b), before);
        QVERIFY(!QFileInfo::exists(storeRoot() + u"/../x"_s));
    }

    void unreadableFilesStayAsTheyWere_data() {
        QTest::addColumn<QString>("path");   // made unreadable in folder a (a manifest that
        QTest::newRow("folder") << u"dir"_s; // cannot be read: damagedStoresChangeNothing)
        QTest::newRow("edited file") << u"y.txt"_s;
    }

    void unreadableFilesStayAsTheyWere() {
        QFETCH(QString, path);
        const bool root = ::geteuid() == 0;
        if (root && QStandardPaths::findExecutable(u"setpriv"_s).isEmpty())
            QSKIP("Running as root without setpriv: no unprivileged user to be refused reading");
        TwoDevices d;
        QVERIFY(d.edit(d.a, u"dir/x.txt=x;y.txt=y"_s));
        QVERIFY(d.syncBoth(d.a, d.b));
        QVERIFY(path != u"y.txt"_s || writeFile(d.a + u"/y.txt"_s, "edited"));
        const QString target = d.a + u'/' + path;
        if (root &&
            QProcess::execute(u"chown"_s, {u"-R"_s, u"nobody:nogroup"_s, d.sandbox.root()}) != 0)
            QSKIP("Cannot hand the sandbox to the user nobody");
        QVERIFY(QFile::setPermissions(target, {}));
        const auto server = d.server();
        auto run = [&](const QStringList &arguments) {
            QProcess process;
            startTool(process, d.sandbox, arguments, 0, root);
            return finish(process);
        };
        const auto sync = run(syncArgs(d.a));
        const auto status = firstOfType(run({u"status"_s, d.a, kJson}), u"status"_s);
        QVERIFY(QFile::setPermissions(target, QFileDevice::Permissions(0x7000))); // rwx------
        QCOMPARE(d.server(), server); // neither pushed nor deleted
        QCOMPARE(sync.exitCode, 0);
        QCOMPARE(readFile(d.a + u"/dir/x.txt"_s), "x"_ba);
        QVERIFY2(sync.err.contains(path.toUtf8()), sync.err.constData());
        for (const QString &change : changesOf(status, false))
            QVERIFY2(!change.startsWith(u'D'), qPrintable(change));
    }

    void linksAndOtherKindsAreNeverFollowed_data() {
        QTest::addColumn<QString>("swap");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("folder swapped for a link during a download") << u"folder"_s << 0;
        QTest::newRow("file swapped for a FIFO during a push") << u"fifo"_s << 0;
        QTest::newRow("state folder is a link") << u"meta"_s << 1;
        QTest::newRow("discard through a linked bound folder") << u"discard"_s << 1;
    }

    void linksAndOtherKindsAreNeverFollowed() {
        QFETCH(QString, swap);
        QFETCH(int, exitCode);
        TwoDevices d;
        const QString outside = d.sandbox.root() + u"/outside"_s;
        QVERIFY(writeFile(outside + u"/secret.txt"_s, "precious"));
        for (const QString &file : {u"dir/f.txt"_s, u"p1.txt"_s, u"p2.txt"_s})
            QVERIFY(writeFile(d.a + u'/' + file, file.toUtf8()));
        QVERIFY(d.syncBoth(d.a, d.b));
        QProcess run;
        auto during = [&](const std::function<bool()> &change) {
            d.startSync(run, 900);
            return change();
        };
        QVERIFY(writeFile(d.b + u"/dir/f.txt"_s, "edited in b"));
        if (swap == u"folder"_s) {
            QCOMPARE(d.sandbox.admin({u"put"_s, u"notes"_s, u"dir/new.txt"_s}, "new").exitCode, 0);
            QVERIFY(during([&] {
                return QFile::rename(d.a + u"/dir"_s, d.a + u"/moved"_s) &&
                       QFile::link(outside, d.a + u"/dir"_s);
            }));
        } else if (swap == u"fifo"_s) {
            // Two copies run side by side: p2 waits behind p0 and p1 until after the swap.
            QVERIFY(d.edit(d.a, u"p0.txt=new 0;p1.txt=new 1;p2.txt=new 2"_s));
            QVERIFY(during([&] {
                const QByteArray p2 = QFile::encodeName(d.a + u"/p2.txt"_s);
                return ::unlink(p2.constData()) == 0 && ::mkfifo(p2.constData(), 0644) == 0;
            }));
        } else if (swap == u"meta"_s) {
            QVERIFY(QFile::rename(d.a + u"/.orvu"_s, outside + u"/meta"_s));
            QVERIFY(QFile::link(outside + u"/meta"_s, d.a + u"/.orvu"_s));
            QVERIFY(writeFile(d.a + u"/new.txt"_s, "new"));
        } else {
            QVERIFY(QFile::link(d.b, d.a + u"/linked"_s));
        }
        const auto outsideBefore = folderFiles(outside);
        const auto bBefore = folderFiles(d.b);
        const auto result = swap == u"discard"_s
                                ? d.orvu({u"discard"_s, d.a + u"/linked/dir/f.txt"_s, kJson})
                            : run.state() != QProcess::NotRunning ? finish(run)
                                                                  : d.sync(d.a);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(folderFiles(outside), outsideBefore);
        QCOMPARE(folderFiles(d.b), bBefore);
        if (swap == u"fifo"_s) // the FIFO is not read; the edit that was read went out
            QCOMPARE(d.server().value(u"p1.txt"_s), "new 1"_ba);
    }
};

QTEST_GUILESS_MAIN(OrvuLocalTest)
#include "test_orvu_local.moc"
