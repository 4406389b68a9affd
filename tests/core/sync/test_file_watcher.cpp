#include "core/sync/file_watcher.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace orvu;

namespace {

using Action = std::function<void(QDir root, QDir outside)>;

// One step of a scenario: what is done to the folders once the watcher runs, which paths
// (relative to the watched root) must then be reported, and which must not.
struct Stage {
    Action act;
    QStringList expected;
    QStringList forbidden = {};
};
using Stages = QList<Stage>;

struct Recorder {
    QList<QStringList> batches;
    int missed = 0;

    QSet<QString> all() const {
        QSet<QString> paths;
        for (const QStringList &batch : batches)
            paths.unite(QSet<QString>(batch.begin(), batch.end()));
        return paths;
    }
};

// Stops the watcher however the test ends, so no callback outlives the recorder.
struct Running {
    std::shared_ptr<FileWatcher> watcher;
    ~Running() {
        if (watcher)
            watcher->stop();
    }
};

std::shared_ptr<FileWatcher> makeWatcher(const QString &path, Recorder &recorder) {
    return std::make_shared<FileWatcher>(
        path, [&recorder](const QStringList &paths) { recorder.batches.append(paths); },
        [&recorder] { ++recorder.missed; });
}

void writeFile(const QString &path, const QByteArray &content = "x") {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Append), qPrintable(path));
    file.write(content);
}

void makePath(const QDir &base, const QString &relative) {
    QVERIFY(base.mkpath(relative));
}

QStringList under(const QDir &root, const QStringList &relative) {
    QStringList paths;
    for (const QString &path : relative)
        paths.append(root.filePath(path));
    return paths;
}

QStringList missingFrom(const Recorder &recorder, const QStringList &expected) {
    const QSet<QString> seen = recorder.all();
    QStringList missing;
    for (const QString &path : expected) {
        if (!seen.contains(path))
            missing.append(path);
    }
    return missing;
}

int maxQueuedEvents() {
    QFile limit(QStringLiteral("/proc/sys/fs/inotify/max_queued_events"));
    if (limit.open(QIODevice::ReadOnly))
        return limit.readAll().trimmed().toInt();
    return 16384;
}

// Overflows the kernel's event queue while the event loop cannot read it: attribute changes
// alternate between two files, because the kernel merges an event identical to the last one.
void floodQueue(const QDir &dir) {
    const QByteArray a = QFile::encodeName(dir.filePath(QStringLiteral("flood-a")));
    const QByteArray b = QFile::encodeName(dir.filePath(QStringLiteral("flood-b")));
    writeFile(QFile::decodeName(a));
    writeFile(QFile::decodeName(b));
    const int events = maxQueuedEvents() + 1000;
    for (int i = 0; i < events; ++i)
        QCOMPARE(::chmod((i % 2 ? a : b).constData(), (i / 2) % 2 ? 0644 : 0600), 0);
}

// A chain of directories whose deepest paths exceed PATH_MAX, so no watch can be added there.
// Built and removed through directory descriptors, which path-based helpers cannot do.
class DeepChain {
public:
    explicit DeepChain(const QString &base) : m_name(200, 'd') {
        m_fds.push_back(::open(QFile::encodeName(base).constData(), O_DIRECTORY | O_CLOEXEC));
        for (qsizetype length = base.size(); length < 4400;
             length += qsizetype(m_name.size()) + 1) {
            if (::mkdirat(m_fds.back(), m_name.c_str(), 0700) != 0)
                return;
            m_fds.push_back(::openat(m_fds.back(), m_name.c_str(), O_DIRECTORY | O_CLOEXEC));
        }
    }
    ~DeepChain() {
        for (std::size_t i = m_fds.size() - 1; i > 0; --i) {
            ::close(m_fds[i]);
            ::unlinkat(m_fds[i - 1], m_name.c_str(), AT_REMOVEDIR);
        }
        ::close(m_fds.front());
    }
    bool complete() const { return m_fds.size() > 20 && m_fds.back() >= 0; }

private:
    std::string m_name;
    std::vector<int> m_fds;
};

} // namespace

Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(Stages)

class TestFileWatcher : public QObject {
    Q_OBJECT

private slots:
    void reportsChanges_data() {
        QTest::addColumn<Action>("setup");
        QTest::addColumn<Stages>("stages");

        QTest::newRow("files in a nested folder")
            << Action([](QDir root, QDir) {
                   makePath(root, "a/b/c");
                   writeFile(root.filePath("a/b/c/old.txt"));
               })
            << Stages{{[](QDir root, QDir) {
                           writeFile(root.filePath("a/b/c/new.txt"));
                           writeFile(root.filePath("a/b/c/old.txt"), "more");
                       },
                       {"a/b/c/new.txt", "a/b/c/old.txt"}}};

        QTest::newRow("new folders written at once")
            << Action([](QDir, QDir) {})
            << Stages{{[](QDir root, QDir) {
                           makePath(root, "n/x/y");
                           writeFile(root.filePath("n/x/y/f.txt"));
                           writeFile(root.filePath("n/top.txt"));
                       },
                       {"n", "n/x", "n/x/y", "n/x/y/f.txt", "n/top.txt"}},
                      {[](QDir root, QDir) { writeFile(root.filePath("n/x/y/g.txt")); },
                       {"n/x/y/g.txt"}}};

        QTest::newRow("renamed folder")
            << Action([](QDir root, QDir) {
                   makePath(root, "a/b");
                   writeFile(root.filePath("a/b/old.txt"));
               })
            << Stages{{[](QDir root, QDir) { QVERIFY(root.rename("a", "c")); }, {"a", "c"}},
                      {[](QDir root, QDir) { writeFile(root.filePath("c/b/new.txt")); },
                       {"c/b/new.txt"},
                       {"a/b/new.txt"}}};

        QTest::newRow("folder moved into another folder")
            << Action([](QDir root, QDir) {
                   makePath(root, "a/m/k");
                   makePath(root, "b");
               })
            << Stages{{[](QDir root, QDir) { QVERIFY(root.rename("a/m", "b/m")); }, {"a/m", "b/m"}},
                      {[](QDir root, QDir) { writeFile(root.filePath("b/m/k/x.txt")); },
                       {"b/m/k/x.txt"},
                       {"a/m/k/x.txt"}}};

        QTest::newRow("tree moved in")
            << Action([](QDir, QDir outside) {
                   makePath(outside, "t/sub");
                   writeFile(outside.filePath("t/sub/f.txt"));
               })
            << Stages{{[](QDir root, QDir outside) {
                           QVERIFY(QDir().rename(outside.filePath("t"), root.filePath("t")));
                       },
                       {"t", "t/sub", "t/sub/f.txt"}},
                      {[](QDir root, QDir) { writeFile(root.filePath("t/sub/g.txt")); },
                       {"t/sub/g.txt"}}};

        QTest::newRow("folder moved out")
            << Action([](QDir root, QDir) { makePath(root, "d/e"); })
            << Stages{{[](QDir root, QDir outside) {
                           QVERIFY(QDir().rename(root.filePath("d"), outside.filePath("d")));
                       },
                       {"d"}},
                      {[](QDir root, QDir outside) {
                           writeFile(outside.filePath("d/e/x.txt"));
                           writeFile(root.filePath("marker.txt"));
                       },
                       {"marker.txt"},
                       {"d/e/x.txt"}}};

        QTest::newRow("deletions, then the same names again")
            << Action([](QDir root, QDir) {
                   makePath(root, "d/e");
                   writeFile(root.filePath("d/e/f.txt"));
                   writeFile(root.filePath("g.txt"));
               })
            << Stages{{[](QDir root, QDir) {
                           QVERIFY(root.remove("g.txt"));
                           QVERIFY(QDir(root.filePath("d")).removeRecursively());
                       },
                       {"g.txt", "d", "d/e", "d/e/f.txt"}},
                      {[](QDir root, QDir) {
                           makePath(root, "d/e");
                           writeFile(root.filePath("d/e/h.txt"));
                       },
                       {"d", "d/e", "d/e/h.txt"}}};

        QTest::newRow("attribute change and file rename")
            << Action([](QDir root, QDir) { writeFile(root.filePath("f.txt")); })
            << Stages{{[](QDir root, QDir) {
                           QVERIFY(QFile::setPermissions(root.filePath("f.txt"),
                                                         QFile::ReadOwner | QFile::WriteOwner));
                           QVERIFY(root.rename("f.txt", "g.txt"));
                       },
                       {"f.txt", "g.txt"}}};

        QTest::newRow("linked folder not followed")
            << Action([](QDir root, QDir outside) {
                   makePath(outside, "o");
                   QVERIFY(QFile::link(outside.filePath("o"), root.filePath("link")));
               })
            << Stages{{[](QDir root, QDir outside) {
                           writeFile(outside.filePath("o/f.txt"));
                           writeFile(root.filePath("marker.txt"));
                       },
                       {"marker.txt"},
                       {"link/f.txt"}}};
    }

    void reportsChanges() {
        QFETCH(Action, setup);
        QFETCH(Stages, stages);
        QTemporaryDir rootDir;
        QTemporaryDir outsideDir;
        const QDir root(rootDir.path());
        const QDir outside(outsideDir.path());
        setup(root, outside);

        Recorder recorder;
        Running running{makeWatcher(root.path(), recorder)};
        running.watcher->start();

        for (const Stage &stage : stages) {
            recorder.batches.clear();
            stage.act(root, outside);
            QTRY_COMPARE_WITH_TIMEOUT(missingFrom(recorder, under(root, stage.expected)),
                                      QStringList(), 5000);
            const QSet<QString> seen = recorder.all();
            for (const QString &path : under(root, stage.forbidden))
                QVERIFY2(!seen.contains(path), qPrintable(path));
            for (const QStringList &batch : recorder.batches)
                QCOMPARE(QSet<QString>(batch.begin(), batch.end()).size(), batch.size());
        }
        QCOMPARE(recorder.missed, 0);
    }

    void burstIsOneOrderedBatch() {
        QTemporaryDir rootDir;
        const QDir root(rootDir.path());
        Recorder recorder;
        Running running{makeWatcher(root.path(), recorder)};
        running.watcher->start();

        QStringList written;
        for (int i = 0; i < 300; ++i) {
            written.append(
                root.filePath(QStringLiteral("f%1.txt").arg(i, 3, 10, QLatin1Char('0'))));
            writeFile(written.last());
        }
        QTRY_COMPARE_WITH_TIMEOUT(recorder.batches.size(), 1, 5000);
        QTest::qWait(1500);
        QCOMPARE(recorder.batches.size(), 1);
        QCOMPARE(recorder.batches.first(), written);
    }

    void noDeliveryAfterStop_data() {
        QTest::addColumn<bool>("fromCallback");
        QTest::newRow("batch pending") << false;
        QTest::newRow("stopped from its own callback") << true;
    }

    void noDeliveryAfterStop() {
        QFETCH(bool, fromCallback);
        QTemporaryDir rootDir;
        const QDir root(rootDir.path());
        Recorder recorder;
        std::weak_ptr<FileWatcher> weak;
        auto watcher = std::make_shared<FileWatcher>(
            root.path(),
            [&](const QStringList &paths) {
                recorder.batches.append(paths);
                if (auto self = weak.lock())
                    self->stop();
            },
            [&] { ++recorder.missed; });
        weak = watcher;
        Running running{watcher};
        watcher->start();
        QVERIFY(watcher->isRunning());

        writeFile(root.filePath("one.txt"));
        if (fromCallback) {
            QTRY_COMPARE_WITH_TIMEOUT(recorder.batches.size(), 1, 5000);
        } else {
            QTest::qWait(200); // read, but still waiting for the batch to close
            watcher->stop();
        }
        QVERIFY(!watcher->isRunning());
        writeFile(root.filePath("two.txt"));
        QTest::qWait(1500);
        QCOMPARE(recorder.batches.size(), fromCallback ? 1 : 0);
    }

    void stopIsIdempotent() {
        QTemporaryDir rootDir;
        Recorder recorder;
        auto never = makeWatcher(rootDir.path(), recorder);
        never->stop();
        QVERIFY(!never->isRunning());

        auto twice = makeWatcher(rootDir.path(), recorder);
        std::weak_ptr<FileWatcher> weak = twice;
        twice->start();
        twice->stop();
        twice->stop();
        QVERIFY(!twice->isRunning());
        // A stopped watcher stays stopped; start() is once per watcher.
        twice->start();
        QVERIFY(!twice->isRunning());
        twice.reset();
        QVERIFY(weak.expired());
    }

    void keepsDeliveringWhenItsOwnerLetsGo() {
        QTemporaryDir rootDir;
        const QDir root(rootDir.path());
        Recorder recorder;
        auto watcher = makeWatcher(root.path(), recorder);
        std::weak_ptr<FileWatcher> weak = watcher;
        watcher->start();
        watcher.reset();
        QVERIFY(!weak.expired());

        writeFile(root.filePath("f.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.all().contains(root.filePath("f.txt")), true, 5000);
        weak.lock()->stop();
        QVERIFY(weak.expired());
    }

    void reportsMissedEvents_data() {
        QTest::addColumn<bool>("overflow");
        QTest::newRow("queue overflow") << true;
        QTest::newRow("folder path too long to watch") << false;
    }

    void reportsMissedEvents() {
        QFETCH(bool, overflow);
        QTemporaryDir rootDir;
        const QDir root(rootDir.path());
        makePath(root, "shallow");
        std::unique_ptr<DeepChain> deep;
        if (!overflow) {
            deep = std::make_unique<DeepChain>(root.path());
            QVERIFY(deep->complete());
        }
        Recorder recorder;
        Running running{makeWatcher(root.path(), recorder)};
        running.watcher->start();

        if (overflow) {
            floodQueue(root);
            // Created after the queue filled up, so only a fresh look at the tree finds it.
            makePath(root, "late");
        }
        QTRY_COMPARE_WITH_TIMEOUT(recorder.missed, 1, 5000);

        // What could be watched still is, including folders whose events were lost.
        recorder.batches.clear();
        writeFile(root.filePath("shallow/f.txt"));
        if (overflow)
            writeFile(root.filePath("late/f.txt"));
        const QStringList expected = overflow ? under(root, {"shallow/f.txt", "late/f.txt"})
                                              : under(root, {"shallow/f.txt"});
        QTRY_COMPARE_WITH_TIMEOUT(missingFrom(recorder, expected), QStringList(), 5000);
        QCOMPARE(recorder.missed, 1);
    }

    void missedEventsNotReportedAfterStopInCallback() {
        QTemporaryDir rootDir;
        const QDir root(rootDir.path());
        Recorder recorder;
        std::weak_ptr<FileWatcher> weak;
        auto watcher = std::make_shared<FileWatcher>(
            root.path(),
            [&](const QStringList &paths) {
                recorder.batches.append(paths);
                weak.lock()->stop();
            },
            [&] { ++recorder.missed; });
        weak = watcher;
        Running running{watcher};
        watcher->start();

        floodQueue(root);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.batches.size(), 1, 5000);
        QTest::qWait(300);
        QCOMPARE(recorder.missed, 0);
    }
};

QTEST_GUILESS_MAIN(TestFileWatcher)
#include "test_file_watcher.moc"
