#include "core/sync/file_watcher.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace orvu;

namespace {

// A chain of directories whose deepest paths exceed PATH_MAX, so no watch can be added there.
// Built and removed through directory descriptors, which path-based helpers cannot do.
struct DeepChain {
    explicit DeepChain(const QString &base) {
        fds.push_back(::open(QFile::encodeName(base).constData(), O_DIRECTORY | O_CLOEXEC));
        for (qsizetype length = base.size(); length < 4400; length += name.size() + 1) {
            if (::mkdirat(fds.back(), name.constData(), 0700) != 0)
                return;
            fds.push_back(::openat(fds.back(), name.constData(), O_DIRECTORY | O_CLOEXEC));
        }
    }
    ~DeepChain() {
        for (std::size_t i = fds.size() - 1; i > 0; --i) {
            ::close(fds[i]);
            ::unlinkat(fds[i - 1], name.constData(), AT_REMOVEDIR);
        }
        ::close(fds.front());
    }
    bool complete() const { return fds.size() > 20 && fds.back() >= 0; }

    const QByteArray name{200, 'd'};
    std::vector<int> fds;
};

// One step of a scenario: operations on its folders once the watcher runs ("mkdir p",
// "write p", "mv p q", "rm p", "rmtree p", "chmod p", "ln target link"; "~/" marks a path
// outside the watched folder), then the paths that must be reported and those that must not.
struct Stage {
    QStringList ops;
    QStringList expected;
    QStringList forbidden = {};
};
struct Scenario {
    QStringList setup;
    QList<Stage> stages;
};

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

// Started, with its tree walked: start() returns before that, and changes in folders not
// reached yet would go unseen.
std::shared_ptr<FileWatcher> armedWatcher(const QString &path, Recorder &recorder) {
    auto watcher = std::make_shared<FileWatcher>(
        path, [&recorder](const QStringList &paths) { recorder.batches.append(paths); },
        [&recorder] { ++recorder.missed; });
    watcher->start();
    static_cast<void>(QTest::qWaitFor([&] { return watcher->isArmed(); }, 10000));
    return watcher; // the caller checks isArmed()
}

void writeFile(const QString &path, const QByteArray &content = "x") {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Append), qPrintable(path));
    file.write(content);
}

void apply(const QDir &root, const QDir &outside, const QStringList &ops) {
    for (const QString &op : ops) {
        QStringList args = op.split(u' ');
        const QString verb = args.takeFirst();
        for (QString &arg : args)
            arg = arg.startsWith("~/") ? outside.filePath(arg.mid(2)) : root.filePath(arg);
        const QString &path = args.first();
        bool ok = true;
        if (verb == "mkdir")
            ok = QDir().mkpath(path);
        else if (verb == "write")
            writeFile(path);
        else if (verb == "mv")
            ok = QDir().rename(path, args.last());
        else if (verb == "rm")
            ok = QFile::remove(path);
        else if (verb == "rmtree")
            ok = QDir(path).removeRecursively();
        else if (verb == "chmod")
            ok = QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        else if (verb == "ln")
            ok = QFile::link(path, args.last());
        QVERIFY2(ok, qPrintable(op));
    }
}

QStringList under(const QDir &root, QStringList paths) {
    for (QString &path : paths)
        path = root.filePath(path);
    return paths;
}

QStringList missingFrom(const Recorder &recorder, QStringList expected) {
    const QSet<QString> seen = recorder.all();
    expected.removeIf([&](const QString &path) { return seen.contains(path); });
    return expected;
}

// Overflows the kernel's event queue while the event loop cannot read it: attribute changes
// alternate between two files, because the kernel merges an event identical to the last one.
void floodQueue(const QDir &dir) {
    const QByteArray a = QFile::encodeName(dir.filePath(QStringLiteral("flood-a")));
    const QByteArray b = QFile::encodeName(dir.filePath(QStringLiteral("flood-b")));
    writeFile(QFile::decodeName(a));
    writeFile(QFile::decodeName(b));
    QFile limit(QStringLiteral("/proc/sys/fs/inotify/max_queued_events"));
    const int events =
        (limit.open(QIODevice::ReadOnly) ? limit.readAll().trimmed().toInt() : 16384) + 1000;
    for (int i = 0; i < events; ++i)
        QCOMPARE(::chmod((i % 2 ? a : b).constData(), (i / 2) % 2 ? 0644 : 0600), 0);
}

} // namespace

class TestFileWatcher : public QObject {
    Q_OBJECT

private slots:
    // Every scenario works in its own sub-folder under one watcher, so each stage of all of
    // them waits for one batch together. A burst of writes also comes in the first stage.
    void reportsChanges() {
        const QList<Scenario> scenarios{
            // Files in a nested folder.
            {{"mkdir a/b/c", "write a/b/c/old.txt"},
             {{{"write a/b/c/new.txt", "write a/b/c/old.txt"},
               {"a/b/c/new.txt", "a/b/c/old.txt"}}}},
            // New folders written at once, then written into.
            {{},
             {{{"mkdir n/x/y", "write n/x/y/f.txt", "write n/top.txt"},
               {"n", "n/x", "n/x/y", "n/x/y/f.txt", "n/top.txt"}},
              {{"write n/x/y/g.txt"}, {"n/x/y/g.txt"}}}},
            // Renamed folder.
            {{"mkdir a/b"},
             {{{"mv a c"}, {"a", "c"}}, {{"write c/b/new.txt"}, {"c/b/new.txt"}, {"a/b/new.txt"}}}},
            // Folder moved into another folder.
            {{"mkdir a/m/k", "mkdir b"},
             {{{"mv a/m b/m"}, {"a/m", "b/m"}},
              {{"write b/m/k/x.txt"}, {"b/m/k/x.txt"}, {"a/m/k/x.txt"}}}},
            // Tree moved in.
            {{"mkdir ~/t/sub", "write ~/t/sub/f.txt"},
             {{{"mv ~/t t"}, {"t", "t/sub", "t/sub/f.txt"}},
              {{"write t/sub/g.txt"}, {"t/sub/g.txt"}}}},
            // Folder moved out.
            {{"mkdir d/e"},
             {{{"mv d ~/d"}, {"d"}},
              {{"write ~/d/e/x.txt", "write marker.txt"}, {"marker.txt"}, {"d/e/x.txt"}}}},
            // Deletions, then the same names again.
            {{"mkdir d/e", "write d/e/f.txt", "write g.txt"},
             {{{"rm g.txt", "rmtree d"}, {"g.txt", "d", "d/e", "d/e/f.txt"}},
              {{"mkdir d/e", "write d/e/h.txt"}, {"d", "d/e", "d/e/h.txt"}}}},
            // Attribute change and file rename.
            {{"write f.txt"}, {{{"chmod f.txt", "mv f.txt g.txt"}, {"f.txt", "g.txt"}}}},
            // A linked folder is not followed.
            {{"mkdir ~/o", "ln ~/o link"},
             {{{"write ~/o/f.txt", "write marker.txt"}, {"marker.txt"}, {"link/f.txt"}}}},
        };
        QTemporaryDir rootDir;
        QTemporaryDir outsideDir;
        const auto dirs = [&](qsizetype i) {
            const QString name = QString::number(i);
            return std::pair{QDir(rootDir.filePath(name)), QDir(outsideDir.filePath(name))};
        };
        for (qsizetype i = 0; i < scenarios.size(); ++i) {
            const auto [root, outside] = dirs(i);
            QVERIFY(QDir().mkpath(root.path()) && QDir().mkpath(outside.path()));
            apply(root, outside, scenarios[i].setup);
        }
        Recorder recorder;
        Running running{armedWatcher(rootDir.path(), recorder)};
        QVERIFY(running.watcher->isArmed());

        QStringList burst;
        QList<QStringList> history;
        for (qsizetype stage = 0; stage < 2; ++stage) {
            history += std::exchange(recorder.batches, {});
            QStringList expected, forbidden;
            for (qsizetype i = 0; i < scenarios.size(); ++i) {
                if (stage >= scenarios[i].stages.size())
                    continue;
                const auto [root, outside] = dirs(i);
                const Stage &step = scenarios[i].stages[stage];
                apply(root, outside, step.ops);
                expected << under(root, step.expected);
                forbidden << under(root, step.forbidden);
            }
            for (int i = 0; stage == 0 && i < 300; ++i) {
                burst << rootDir.filePath(QStringLiteral("f%1").arg(i, 3, 10, QLatin1Char('0')));
                writeFile(burst.last());
            }
            QTRY_COMPARE_WITH_TIMEOUT(
                missingFrom(recorder, stage == 0 ? expected + burst : expected), QStringList(),
                5000);
            const QSet<QString> seen = recorder.all();
            for (const QString &path : forbidden)
                QVERIFY2(!seen.contains(path), qPrintable(path));
            for (const QStringList &batch : recorder.batches)
                QCOMPARE(QSet<QString>(batch.begin(), batch.end()).size(), batch.size());
        }
        // The burst came as one batch, in the order written, and never again.
        history += recorder.batches;
        QList<QStringList> withBurst;
        for (const QStringList &batch : history) {
            QStringList mine;
            for (const QString &path : batch)
                if (path.startsWith(rootDir.filePath("f")))
                    mine << path;
            if (!mine.isEmpty())
                withBurst << mine;
        }
        QCOMPARE(withBurst, QList<QStringList>{burst});
        QCOMPARE(recorder.missed, 0);
    }

    // Once stopped, a watcher delivers nothing more, not even a batch or a missed-events
    // report already under way; without an owner it keeps running until it is stopped.
    void stopsForGood_data() {
        QTest::addColumn<bool>("inCallback"); // else by its last holder, batch pending
        QTest::addColumn<bool>("held");       // by someone other than the callback
        QTest::newRow("stopped with a batch pending, nobody else holding it") << false << false;
        QTest::newRow("stops itself from its callback, still held") << true << true;
        // The callback then releases the last reference while the watcher is delivering.
        QTest::newRow("stops itself from its callback, nobody else holding it") << true << false;
    }
    void stopsForGood() {
        QFETCH(bool, inCallback);
        QFETCH(bool, held);
        QTemporaryDir rootDir;
        const QDir root(rootDir.path());
        Recorder recorder;
        std::weak_ptr<FileWatcher> weak;
        auto watcher = std::make_shared<FileWatcher>(
            root.path(),
            [&](const QStringList &paths) {
                recorder.batches.append(paths);
                if (inCallback)
                    weak.lock()->stop();
            },
            [&] { ++recorder.missed; });
        weak = watcher;
        Running running{held ? watcher : nullptr};
        watcher->start();
        QVERIFY(watcher->isRunning());
        QTRY_VERIFY(watcher->isArmed());
        watcher.reset();
        QVERIFY(!weak.expired());

        if (inCallback) {
            floodQueue(root); // a batch, then a missed-events report that must not come
            QTRY_COMPARE_WITH_TIMEOUT(recorder.batches.size(), 1, 5000);
        } else {
            writeFile(root.filePath("one.txt"));
            QTRY_COMPARE_WITH_TIMEOUT(recorder.batches.size(), 1, 5000);
            writeFile(root.filePath("two.txt"));
            QTest::qWait(200); // read, but still waiting for the batch to close
            weak.lock()->stop();
        }
        QCOMPARE(weak.expired(), !held);
        if (held) { // stopping again does nothing, and a stopped watcher stays stopped
            running.watcher->stop();
            running.watcher->start();
            QVERIFY(!running.watcher->isRunning());
        }
        writeFile(root.filePath("three.txt"));
        QTest::qWait(1500);
        QCOMPARE(recorder.batches.size(), 1);
        QCOMPARE(recorder.missed, 0);
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
        QVERIFY(root.mkpath("shallow"));
        std::unique_ptr<DeepChain> deep;
        if (!overflow) {
            deep = std::make_unique<DeepChain>(root.path());
            QVERIFY(deep->complete());
        }
        Recorder recorder;
        Running running{armedWatcher(root.path(), recorder)};
        QVERIFY(running.watcher->isArmed());

        if (overflow) {
            floodQueue(root);
            // Created after the queue filled up, so only a fresh look at the tree finds it.
            QVERIFY(root.mkpath("late"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(recorder.missed, 1, 5000);

        // What could be watched still is, including folders whose events were lost.
        recorder.batches.clear();
        const QStringList expected =
            under(root, QStringList{"shallow/f.txt", "late/f.txt"}.mid(0, overflow ? 2 : 1));
        for (const QString &path : expected)
            writeFile(path);
        QTRY_COMPARE_WITH_TIMEOUT(missingFrom(recorder, expected), QStringList(), 5000);
        QCOMPARE(recorder.missed, 1);
    }
};

QTEST_GUILESS_MAIN(TestFileWatcher)
#include "test_file_watcher.moc"
