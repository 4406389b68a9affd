#include "core/sync/debouncer.h"

#include <QElapsedTimer>
#include <QList>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>
#include <thread>

using namespace orvu;
using namespace std::chrono_literals;

namespace {
struct Run {
    int index;
    qint64 at;
    QThread *thread;
};
} // namespace

class TestDebouncer : public QObject {
    Q_OBJECT

private slots:
    void runsTrailingActions_data() {
        QTest::addColumn<QList<int>>("gapsMs");
        QTest::addColumn<QList<int>>("expectedRuns");
        QTest::newRow("single call") << QList<int>{} << QList<int>{0};
        QTest::newRow("burst 100 ms apart") << QList<int>{100, 100} << QList<int>{2};
        QTest::newRow("calls 700 ms apart") << QList<int>{700} << QList<int>{0, 1};
    }

    void runsTrailingActions() {
        QFETCH(QList<int>, gapsMs);
        QFETCH(QList<int>, expectedRuns);
        constexpr auto delay = 500ms;

        Debouncer debouncer(delay);
        QElapsedTimer clock;
        QList<qint64> calledAt;
        QList<Run> runs;
        auto call = [&](int index) {
            calledAt.append(clock.elapsed());
            debouncer.debounce([&runs, &clock, index] {
                runs.append(Run{index, clock.elapsed(), QThread::currentThread()});
            });
        };

        clock.start();
        call(0);
        int offset = 0;
        for (int i = 0; i < gapsMs.size(); ++i) {
            offset += gapsMs[i];
            QTimer::singleShot(offset, Qt::PreciseTimer, &debouncer, [&call, i] { call(i + 1); });
        }

        QTRY_COMPARE_WITH_TIMEOUT(runs.size(), expectedRuns.size(), 5000);
        // Long enough for a wrongly kept action to show up as well.
        QTest::qWait(int(delay.count()) + 300);
        QCOMPARE(runs.size(), expectedRuns.size());
        for (int i = 0; i < runs.size(); ++i) {
            QCOMPARE(runs[i].index, expectedRuns[i]);
            QCOMPARE(runs[i].thread, QThread::currentThread());
            // Trailing edge: never before the delay has passed since the call it answers.
            QVERIFY2(
                runs[i].at - calledAt[runs[i].index] >= delay.count(),
                qPrintable(
                    QStringLiteral("ran after %1 ms").arg(runs[i].at - calledAt[runs[i].index])));
        }
    }

    void callsFromAnotherThreadRunOnItsOwn() {
        Debouncer debouncer(100ms);
        QList<Run> runs;
        auto action = [&runs](int index) {
            return [&runs, index] { runs.append(Run{index, 0, QThread::currentThread()}); };
        };

        debouncer.debounce(action(0));
        std::thread other([&] {
            for (int i = 1; i <= 3; ++i)
                debouncer.debounce(action(i));
        });
        other.join();

        QTRY_COMPARE_WITH_TIMEOUT(runs.size(), 1, 5000);
        QTest::qWait(300);
        QCOMPARE(runs.size(), 1);
        QCOMPARE(runs[0].index, 3);
        QCOMPARE(runs[0].thread, QThread::currentThread());
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
        auto action = [&ran] { ran = true; };
        if (fromOtherThread)
            std::thread([&] { debouncer->debounce(action); }).join();
        else
            debouncer->debounce(action);

        debouncer.reset();
        QTest::qWait(400);
        QVERIFY(!ran);
    }

    void actionMayDebounceAgain() {
        Debouncer debouncer(50ms);
        int runs = 0;
        std::function<void()> action = [&] {
            if (++runs < 3)
                debouncer.debounce(action);
        };
        debouncer.debounce(action);
        QTRY_COMPARE_WITH_TIMEOUT(runs, 3, 5000);
    }
};

QTEST_GUILESS_MAIN(TestDebouncer)
#include "test_debouncer.moc"
