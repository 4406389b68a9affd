#include "core/sync/debouncer.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <cstdlib>
#include <thread>

using namespace orvu;
using namespace std::chrono_literals;

class TestDebouncer : public QObject {
    Q_OBJECT

private slots:
    // Calls at the given offsets (ms); a negative one is made from another thread.
    void runsTrailingActions_data() {
        QTest::addColumn<QList<int>>("offsetsMs");
        QTest::addColumn<bool>("destroyed");          // right after the last call
        QTest::addColumn<QList<int>>("expectedRuns"); // indexes of the calls whose action runs
        QTest::newRow("burst 100 ms apart") << QList<int>{0, 100, 200} << false << QList<int>{2};
        QTest::newRow("calls 700 ms apart") << QList<int>{0, 700} << false << QList<int>{0, 1};
        QTest::newRow("last call from another thread")
            << QList<int>{0, -100} << false << QList<int>{1};
        QTest::newRow("destroyed while waiting") << QList<int>{0} << true << QList<int>{};
        QTest::newRow("destroyed with a call still posted from another thread")
            << QList<int>{-1} << true << QList<int>{};
    }
    void runsTrailingActions() {
        QFETCH(QList<int>, offsetsMs);
        QFETCH(bool, destroyed);
        QFETCH(QList<int>, expectedRuns);
        auto debouncer = std::make_unique<Debouncer>(500ms);
        QElapsedTimer clock;
        QList<qint64> calledAt(offsetsMs.size());
        QList<int> runs;
        const auto call = [&](int index) {
            calledAt[index] = clock.elapsed();
            debouncer->debounce([&, index] {
                QCOMPARE(QThread::currentThread(), debouncer->thread());
                // Trailing edge: never before the delay has passed since the call it answers.
                QVERIFY(clock.elapsed() - calledAt[index] >= 500);
                runs.append(index);
            });
        };
        clock.start();
        for (int i = 0; i < offsetsMs.size(); ++i) {
            QTimer::singleShot(std::abs(offsetsMs[i]), Qt::PreciseTimer, this, [&, i] {
                if (offsetsMs[i] < 0)
                    std::thread([&call, i] { call(i); }).join();
                else
                    call(i);
                if (destroyed && i == offsetsMs.size() - 1)
                    debouncer.reset();
            });
        }
        QTRY_COMPARE_WITH_TIMEOUT(runs.size(), expectedRuns.size(), 5000);
        QTest::qWait(800); // long enough for a wrongly kept action to show up as well
        QCOMPARE(runs, expectedRuns);
    }
};

QTEST_GUILESS_MAIN(TestDebouncer)
#include "test_debouncer.moc"
