#include "lease_lock.h"
#include "store.h"
#include "tool_helpers.h"

#include <QElapsedTimer>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

using namespace orvu::local;
using namespace Qt::StringLiterals;
using orvu::test::readFile;
using orvu::test::writeFile;

namespace {

Manifest oneFile(const QString &path, qint64 version) {
    return {{path, ManifestEntry{QByteArray(64, 'a'), 1, version, false}}};
}

} // namespace

class LeaseCommitTest : public QObject {
    Q_OBJECT

private slots:
    void whoGetsTheLock_data() {
        QTest::addColumn<QString>("holder"); // what happens to the first holder
        QTest::addColumn<bool>("taken");     // a second run gets the lock
        QTest::addColumn<bool>("stillHeld"); // the first holder may still commit
        QTest::newRow("renewed: kept") << u"renews"_s << false << true;
        QTest::newRow("renewal fails: stale after the lease") << u"fails"_s << true << false;
        QTest::newRow("token changed: holder gives up") << u"replaced"_s << false << false;
        QTest::newRow("dead run on this computer: at once") << u"dies"_s << true << false;
        QTest::newRow("left empty by a run that died making it") << u"empty"_s << true << false;
    }

    void whoGetsTheLock() {
        QFETCH(QString, holder);
        QFETCH(bool, taken);
        QFETCH(bool, stillHeld);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"r.lock"_s);
        constexpr qint64 kLeaseMs = 1000;
        LeaseLock first(path, holder == u"dies"_s ? 60000 : kLeaseMs, [&](int fd) {
            return holder != u"fails"_s && ::futimens(fd, nullptr) == 0;
        });
        if (holder == u"dies"_s) { // a run that ends without releasing its lock
            const pid_t child = ::fork();
            if (child == 0)
                ::_exit(first.acquire(0) == LeaseLock::Outcome::Acquired ? 0 : 1);
            int status = 0;
            QVERIFY(::waitpid(child, &status, 0) == child && WEXITSTATUS(status) == 0);
        } else if (holder == u"empty"_s) {
            QVERIFY(writeFile(path, {}));
        } else {
            QCOMPARE(first.acquire(0), LeaseLock::Outcome::Acquired);
            QVERIFY(first.isHeld());
        }
        const QByteArray foreign = readFile(path).replace(13, 4, "zzzz"); // another token
        if (holder == u"replaced"_s) // another computer took it over while this one slept
            QVERIFY(QFile::remove(path) && writeFile(path, foreign));
        LeaseLock second(path, kLeaseMs);
        QElapsedTimer waited;
        waited.start();
        const int waitMs = holder == u"replaced"_s ? 0 : 2500;
        QCOMPARE(second.acquire(waitMs) == LeaseLock::Outcome::Acquired, taken);
        // At once from a dead or ownerless holder, after the lease from a silent one.
        QVERIFY(taken ? (waited.elapsed() >= kLeaseMs) == (holder == u"fails"_s)
                      : second.holder() == QSysInfo::machineHostName());
        QCOMPARE(first.isHeld(), stillHeld);
        // Letting go never removes a lock that is no longer ours.
        const QByteArray current = readFile(path);
        first.release();
        QCOMPARE(readFile(path).isEmpty(), stillHeld);
        QVERIFY(stillHeld || readFile(path) == current);
    }

    // Each version is made once: of two commits on one version only the first counts, and a
    // run that slept through several commits never brings back an old file list.
    void commitsCompareAndSwap() {
        QTemporaryDir dir;
        const Store store(dir.path());
        QVERIFY(store.prepare());
        const QString plain = dir.filePath(u"manifests/r"_s);
        using Outcome = Store::CommitOutcome;
        QCOMPARE(store.commitManifest(u"r"_s, oneFile(u"mine"_s, 1), 0), Outcome::Committed);
        QCOMPARE(store.commitManifest(u"r"_s, oneFile(u"theirs"_s, 1), 0), Outcome::Superseded);
        for (qint64 base = 1; base < 8; ++base) {
            if (base == 7) // a run that slept through six commits gets a number pruning freed
                QCOMPARE(store.commitManifest(u"r"_s, oneFile(u"late"_s, 1), 1),
                         Outcome::Superseded);
            QCOMPARE(store.commitManifest(u"r"_s, oneFile(u"mine"_s, base + 1), base),
                     Outcome::Committed);
        }
        QString error;
        qint64 generation = -1;
        const auto newest = store.loadManifest(u"r"_s, &error, &generation);
        QVERIFY(newest && newest->size() == 1 && newest->at(u"mine"_s).version == 8);
        QCOMPARE(generation, 8);
        QCOMPARE(readFile(plain), readFile(plain + u".versions/8"_s)); // the plain name follows
        QCOMPARE(QDir(plain + u".versions"_s).entryList(QDir::Files).size(), 4); // old ones go
    }
};

QTEST_GUILESS_MAIN(LeaseCommitTest)
#include "test_lease_commit.moc"
