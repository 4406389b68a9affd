#include "tool_helpers.h"

#include <QRandomGenerator>
#include <QSet>
#include <QTest>
#include <QThread>

using namespace orvu::test;
using namespace Qt::StringLiterals;

namespace {

// Two devices bound to one repo take random steps (see the README). After every sync, every
// local edit that existed when it started or was made while it ran is on the server at its
// path, still here at its path, or kept as an underscore copy next to it.
class TwoDeviceWorld {
public:
    TwoDeviceWorld(OrvuLocalSandbox &sandbox, quint32 seed)
        : m_sandbox(sandbox), m_random(seed), m_seed(seed) {}

    bool setUp() {
        if (!m_sandbox.signIn(u"rand@example.org"_s))
            return false;
        for (int device = 0; device < 2; ++device) {
            m_folders[device] = m_sandbox.makeFolder(u"device-%1"_s.arg(device));
            if (m_sandbox.orvu({u"init"_s, m_folders[device], u"--repo"_s, u"shared"_s, kJson})
                    .exitCode != 0)
                return false;
        }
        m_repoId = repoIdOf(m_folders[0]);
        return !m_repoId.isEmpty();
    }

    // One random step; false with a message in `failure` when an invariant broke.
    bool step(int number) {
        const int device = m_random.bounded(2);
        const QString root = m_folders[device] + u'/';
        const int dice = m_random.bounded(100);
        const QByteArray content =
            u"seed %1 step %2 device %3"_s.arg(m_seed).arg(number).arg(device).toUtf8();
        const QMap<QString, QByteArray> files = folderFiles(root);
        const QStringList existing = files.keys();
        auto pick = [&] { return existing[m_random.bounded(int(existing.size()))]; };
        if (dice < 22 || (dice < 40 && !existing.isEmpty())) {
            edit(device, dice < 22 ? poolPath() : pick(), content);
        } else if (dice < 48 && !existing.isEmpty()) {
            QFile::remove(root + pick());
        } else if (dice < 55 && !existing.isEmpty()) {
            const QString from = pick();
            const QString to = poolPath();
            QDir().mkpath(QFileInfo(root + to).path());
            if (!files.contains(to) && QFile::rename(root + from, root + to))
                m_pending[device].insert(files.value(from)); // a rename is a new local file
        } else if (dice < 63) {
            m_sandbox.admin({u"put"_s, u"shared"_s, poolPath()}, content + " (server)");
        } else if (dice < 67) {
            const QStringList onServer = serverFiles(m_repoId).keys();
            if (!onServer.isEmpty())
                m_sandbox.admin(
                    {u"rm"_s, u"shared"_s, onServer[m_random.bounded(int(onServer.size()))]});
        } else {
            return sync(device, number);
        }
        return true;
    }

    // Syncs both devices until neither has anything left to do; then all three sides agree.
    bool converge() {
        for (int round = 0; round < 6; ++round) {
            bool quiet = true;
            for (const QString &folder : m_folders) {
                const auto result = m_sandbox.orvu(syncArgs(folder));
                if (result.exitCode != 0)
                    return fail(u"final sync failed: "_s + QString::fromUtf8(result.out));
                quiet = quiet && result.out.contains("Already up to date");
            }
            const auto server = serverFiles(m_repoId);
            if (quiet)
                return (folderFiles(m_folders[0]) == server &&
                        folderFiles(m_folders[1]) == server) ||
                       fail(u"devices differ from the server after the final syncs"_s);
        }
        return fail(u"the devices never settled"_s);
    }

    QString failure;
    int syncs = 0;
    int editedDuring = 0;

private:
    // Paths come from a small pool so that both devices and the server keep meeting on the
    // same files: that is where conflicts, and lost edits, would happen.
    QString poolPath() {
        static const QStringList directories{QString(), u"d1/"_s, u"d2/"_s, u"d1/e/"_s};
        return directories[m_random.bounded(int(directories.size()))] +
               u"f%1.txt"_s.arg(m_random.bounded(5));
    }

    // False when the write failed, e.g. because a sync just removed its folder.
    bool edit(int device, const QString &path, const QByteArray &content) {
        return writeFile(m_folders[device] + u'/' + path, content) &&
               (m_pending[device].insert(content), true);
    }

    bool fail(const QString &message) {
        failure = u"seed %1: %2"_s.arg(m_seed).arg(message);
        return false;
    }

    bool sync(int device, int number) {
        const QString root = m_folders[device];
        QMap<QString, QByteArray> before = folderFiles(root);
        const int mode = m_random.bounded(8); // 0, 1: stopped; 2, 3: edited while it runs
        QProcess process;
        startTool(process, m_sandbox, syncArgs(root), mode == 3 ? 10 : 0);
        if (mode < 2) {
            // Stop it after a random number of lines, or right at the start.
            for (int lines = m_random.bounded(3); lines > 0 && process.waitForReadyRead(5000);)
                lines -= int(process.readAll().count('\n'));
            process.terminate(); // SIGTERM, and nothing once the run has ended
        } else if (mode < 4) {
            QThread::msleep(m_random.bounded(40));
            const QString path = poolPath();
            const QByteArray content =
                u"seed %1 step %2 during a sync"_s.arg(m_seed).arg(number).toUtf8();
            if (edit(device, path, content))
                before[path] = content, ++editedDuring;
        }
        const auto result = finish(process, 60000);
        ++syncs;
        // -1: stopped before it could even set up its handlers.
        if (result.exitCode != 0 && !(mode < 2 && (result.exitCode == 4 || result.exitCode == -1)))
            return fail(
                u"sync exited %1: %2"_s.arg(result.exitCode).arg(QString::fromUtf8(result.out)));

        const QMap<QString, QByteArray> server = serverFiles(m_repoId);
        const QMap<QString, QByteArray> after = folderFiles(root);
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (!m_pending[device].contains(it.value()) || server.value(it.key()) == it.value() ||
                after.value(it.key()) == it.value())
                continue;
            const QString directory = it.key().section(u'/', 0, -2);
            bool kept = false;
            for (auto copy = after.cbegin(); copy != after.cend() && !kept; ++copy)
                kept = copy.value() == it.value() && copy.key().section(u'/', 0, -2) == directory &&
                       copy.key().section(u'/', -1).startsWith(u'_');
            if (!kept)
                return fail(u"the edit of %1 (\"%2\") was lost"_s.arg(
                    it.key(), QString::fromUtf8(it.value())));
        }
        // Once the server holds an edit, a later server-side change may replace it legitimately.
        for (const QByteArray &content : server)
            for (QSet<QByteArray> &pending : m_pending)
                pending.remove(content);
        return true;
    }

    OrvuLocalSandbox &m_sandbox;
    QRandomGenerator m_random;
    quint32 m_seed;
    QString m_folders[2];
    QString m_repoId;
    QSet<QByteArray> m_pending[2];
};

} // namespace

class OrvuLocalRandomTest : public QObject {
    Q_OBJECT

private slots:
    void twoDevicesLoseNothing_data() {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed : {1u, 7u, 42u, 1234u, 98765u})
            QTest::addRow("seed %u", seed) << seed;
    }

    void twoDevicesLoseNothing() {
        QFETCH(quint32, seed);
        constexpr int kSteps = 400;
        OrvuLocalSandbox sandbox;
        TwoDeviceWorld world(sandbox, seed);
        QVERIFY(world.setUp());
        for (int i = 0; i < kSteps; ++i)
            QVERIFY2(world.step(i), qPrintable(world.failure));
        QVERIFY2(world.converge(), qPrintable(world.failure));
        QVERIFY(world.syncs > kSteps / 5 && world.editedDuring > 0);
    }
};

QTEST_GUILESS_MAIN(OrvuLocalRandomTest)
#include "test_orvu_local_random.moc"
