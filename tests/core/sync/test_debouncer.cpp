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
        QTest::addColumn<QList<int>>("expectedRuns"); // indexes of the calls whose action runs
        QTest::newRow("single call") << QList<int>{0} << QList<int>{0};
        QTest::newRow("burst 100 ms apart") << QList<int>{0, 100, 200} << QList<int>{2};
        QTest::newRow("calls 700 ms apart") << QList<int>{0, 700} << QList<int>{0, 1};
        QTest::newRow("last call from another thread") << QList<int>{0, -100} << QList<int>{1};
    }
    void runsTrailingActions() {
        QFETCH(QList<int>, offsetsMs);
        QFETCH(QList<int>, expectedRuns);
        Debouncer debouncer(500ms);
        QElapsedTimer clock;
        QList<qint64> calledAt(offsetsMs.size());
        QList<int> runs;
        const auto call = [&](int index) {
            calledAt[index] = clock.elapsed();
            debouncer.debounce([&, index] {
                QCOMPARE(QThread::currentThread(), debouncer.thread());
                // Trailing edge: never before the delay has passed since the call it answers.
                QVERIFY(clock.elapsed() - calledAt[index] >= 500);
                runs.append(index);
            });
        };
        clock.start();
        for (int i = 0; i < offsetsMs.size(); ++i) {
            QTimer::singleShot(std::abs(offsetsMs[i]), Qt::PreciseTimer, &debouncer, [&, i] {
                if (offsetsMs[i] < 0)
                    std::thread([&call, i] { call(i); }).join();
                else
                    call(i);
            });
        }
        QTRY_COMPARE_WITH_TIMEOUT(runs.size(), expectedRuns.size(), 5000);
        QTest::qWait(800); // long enough for a wrongly kept action to show up as well
        QCOMPARE(runs, expectedRuns);
    }

    void destroyingDropsTheWaitingAction_data() {
        QTest::addColumn<bool>("fromOtherThread");
        QTest::newRow("scheduled") << false;
        QTest::newRow("still posted from another thread") << true;
    }
    void destroyingDropsTheWaitingAction() {
        QFETCH(bool, fromOtherThread);
        auto debouncer = std::make_unique<Debouncer>(100ms);
        bool ran = false;
        const auto action = [&ran] { ran = true; };
        if (fromOtherThread)
            std::thread([&] { debouncer->debounce(action); }).join();
        else
            debouncer->debounce(action);
        debouncer.reset();
        QTest::qWait(400);
        QVERIFY(!ran);
    }
};

QTEST_GUILESS_MAIN(TestDebouncer)
#include "test_debouncer.moc"
