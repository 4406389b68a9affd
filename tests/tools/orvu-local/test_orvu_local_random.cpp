#include "tool_helpers.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>

using namespace orvu::test;

namespace {

// Paths come from a small pool so that both devices and the server keep meeting on the same
// files: that is where conflicts, and lost edits, would happen.
QString poolPath(QRandomGenerator &random) {
    static const QStringList directories{QString(), QStringLiteral("d1/"), QStringLiteral("d2/"),
                                         QStringLiteral("d1/e/")};
    return directories[random.bounded(static_cast<int>(directories.size()))] +
           QStringLiteral("f%1.txt").arg(random.bounded(5));
}

class TwoDeviceWorld {
public:
    TwoDeviceWorld(OrvuLocalSandbox &sandbox, quint32 seed)
        : m_sandbox(sandbox), m_random(seed), m_seed(seed) {}

    bool setUp() {
        if (!m_sandbox.signIn(QStringLiteral("rand@example.org")))
            return false;
        m_folders[0] = m_sandbox.makeFolder(QStringLiteral("device-a"));
        m_folders[1] = m_sandbox.makeFolder(QStringLiteral("device-b"));
        for (const QString &folder : m_folders)
            if (m_sandbox
                    .orvu({QStringLiteral("init"), folder, QStringLiteral("--repo"),
                           QStringLiteral("shared"), kJson})
                    .exitCode != 0)
                return false;
        m_repoId = repoIdOf(m_folders[0]);
        return !m_repoId.isEmpty();
    }

    // One random step; false with a message in `failure` when an invariant broke.
    bool step(int number) {
        const int device = m_random.bounded(2);
        const QString root = m_folders[device];
        const int dice = m_random.bounded(100);
        const QByteArray content = QStringLiteral("seed %1 step %2 device %3")
                                       .arg(m_seed)
                                       .arg(number)
                                       .arg(device)
                                       .toUtf8();
        const QMap<QString, QByteArray> files = folderFiles(root);
        const QStringList existing = files.keys();
        auto pick = [&] { return existing[m_random.bounded(static_cast<int>(existing.size()))]; };

        if (dice < 22) {
            const QString path = poolPath(m_random);
            writeFile(root + QLatin1Char('/') + path, content);
            m_pending[device].insert(content);
        } else if (dice < 40 && !existing.isEmpty()) {
            writeFile(root + QLatin1Char('/') + pick(), content);
            m_pending[device].insert(content);
        } else if (dice < 48 && !existing.isEmpty()) {
            QFile::remove(root + QLatin1Char('/') + pick());
        } else if (dice < 55 && !existing.isEmpty()) {
            const QString from = pick();
            const QString to = poolPath(m_random);
            if (!files.contains(to)) {
                QDir().mkpath(QFileInfo(root + QLatin1Char('/') + to).path());
                QFile::rename(root + QLatin1Char('/') + from, root + QLatin1Char('/') + to);
                m_pending[device].insert(files.value(from)); // a rename is a new local file
            }
        } else if (dice < 63) {
            m_sandbox.admin({QStringLiteral("put"), QStringLiteral("shared"), poolPath(m_random)},
                            content + " (server)");
        } else if (dice < 67) {
            const QStringList onServer = serverFiles(m_repoId).keys();
            if (!onServer.isEmpty())
                m_sandbox.admin({QStringLiteral("rm"), QStringLiteral("shared"),
                                 onServer[m_random.bounded(static_cast<int>(onServer.size()))]});
        } else {
            return sync(device, m_random.bounded(4) == 0);
        }
        return true;
    }

    // Syncs both devices until neither has anything left to do; then all three sides agree.
    bool converge() {
        for (int round = 0; round < 6; ++round) {
            bool quiet = true;
            for (int device = 0; device < 2; ++device) {
                const auto result = m_sandbox.orvu(syncArgs(m_folders[device]));
                if (result.exitCode != 0)
                    return fail(QStringLiteral("final sync failed: ") +
                                QString::fromUtf8(result.out));
                quiet = quiet && result.out.contains("Already up to date");
            }
            if (quiet) {
                const auto server = serverFiles(m_repoId);
                if (folderFiles(m_folders[0]) != server || folderFiles(m_folders[1]) != server)
                    return fail(
                        QStringLiteral("devices differ from the server after the final syncs"));
                return true;
            }
        }
        return fail(QStringLiteral("the devices never settled"));
    }

    QString failure;
    int syncs = 0;
    int interrupted = 0;

private:
    bool fail(const QString &message) {
        failure = QStringLiteral("seed %1: %2").arg(m_seed).arg(message);
        return false;
    }

    bool sync(int device, bool interrupt) {
        const QString root = m_folders[device];
        const QMap<QString, QByteArray> before = folderFiles(root);
        QProcess process;
        process.start(m_sandbox.toolDirectory() + QStringLiteral("/orvu"),
                      QStringList{QStringLiteral("--server"), QStringLiteral("https://orvu.io")} +
                          syncArgs(root));
        if (!process.waitForStarted())
            return fail(QStringLiteral("could not start the tool"));
        if (interrupt) {
            // Stop it after a random number of lines, or right at the start.
            int lines = m_random.bounded(3);
            while (lines > 0 && process.waitForReadyRead(5000))
                lines -= static_cast<int>(process.readAll().count('\n'));
            process.terminate(); // SIGTERM, and nothing once the run has ended
        }
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(60000))
            return fail(QStringLiteral("a sync hung"));
        ++syncs;
        const int code = process.exitCode();
        if (process.exitStatus() == QProcess::NormalExit && code != 0 && code != 4)
            return fail(QStringLiteral("sync exited %1: %2")
                            .arg(code)
                            .arg(QString::fromUtf8(process.readAllStandardOutput())));
        if (code == 4 || process.exitStatus() != QProcess::NormalExit)
            ++interrupted;

        // Every local edit that existed when the sync started is on the server at its path,
        // still here at its path, or kept as an underscore copy next to it.
        const QMap<QString, QByteArray> server = serverFiles(m_repoId);
        const QMap<QString, QByteArray> after = folderFiles(root);
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (!m_pending[device].contains(it.value()))
                continue;
            if (server.value(it.key()) == it.value() || after.value(it.key()) == it.value())
                continue;
            const QString directory = it.key().section(QLatin1Char('/'), 0, -2);
            bool kept = false;
            for (auto copy = after.cbegin(); copy != after.cend() && !kept; ++copy)
                kept = copy.value() == it.value() &&
                       copy.key().section(QLatin1Char('/'), 0, -2) == directory &&
                       copy.key().section(QLatin1Char('/'), -1).startsWith(QLatin1Char('_'));
            if (!kept)
                return fail(QStringLiteral("the edit of %1 (\"%2\") was lost")
                                .arg(it.key(), QString::fromUtf8(it.value())));
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
    void twoDevicesLoseNothing_data();
    void twoDevicesLoseNothing();
};

void OrvuLocalRandomTest::twoDevicesLoseNothing_data() {
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("steps");
    for (quint32 seed : {1u, 7u, 42u, 1234u, 98765u})
        QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed << 400;
}

void OrvuLocalRandomTest::twoDevicesLoseNothing() {
    QFETCH(quint32, seed);
    QFETCH(int, steps);
    OrvuLocalSandbox sandbox;
    TwoDeviceWorld world(sandbox, seed);
    QVERIFY(world.setUp());
    for (int i = 0; i < steps; ++i)
        QVERIFY2(world.step(i), qPrintable(world.failure));
    QVERIFY2(world.converge(), qPrintable(world.failure));
    QVERIFY(world.syncs > steps / 5);
    qInfo("seed %u: %d syncs, %d interrupted", seed, world.syncs, world.interrupted);
}

QTEST_GUILESS_MAIN(OrvuLocalRandomTest)
#include "test_orvu_local_random.moc"
