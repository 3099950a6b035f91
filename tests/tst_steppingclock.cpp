// SPDX-License-Identifier: MIT
// The stepping clock's rules: one tick per expiry, no bursts after lateness, never two steps
// closer than 0.9 ms, stop is immediate, start while running keeps the stream, a wake-up from
// another thread ends any wait.
#include "motor/steppingclock.h"
#include "motor/steppingclockgrid.h"

#include <QtTest>
#include <thread>

namespace {
constexpr std::int64_t ms = 1'000'000;
constexpr std::int64_t us = 1'000;

void BusyWait(std::int64_t nanoseconds)
{
    const std::int64_t until = MonotonicNanoseconds() + nanoseconds;
    while (MonotonicNanoseconds() < until) {
    }
}
} // namespace

class TestSteppingClock : public QObject {
    Q_OBJECT
private slots:
    void schedule_data();
    void schedule();
    void gapCountsFromTheEndOfATick();
    void startWhileRunningKeepsPhase();
    void stoppedScheduleNeverTicks();
    void realClockDropsMissedExpiries();
    void realClockStopIsImmediate();
    void realClockKeepsOneStream_data();
    void realClockKeepsOneStream();
};

using Wakes = QList<qint64>;
using Ticks = QList<bool>;

void TestSteppingClock::schedule_data()
{
    // Started at 0; each wake-up time, whether it ticks, and when the timer is armed after it:
    // a grid point less the wake-up lead, or exactly the end of a 0.9 ms gap.
    QTest::addColumn<Wakes>("wakes");
    QTest::addColumn<Ticks>("ticks");
    QTest::addColumn<Wakes>("armed");
    const std::int64_t lead = SteppingClockGrid::WakeLead;
    QTest::newRow("on time") << Wakes{1 * ms + 50 * us, 2 * ms + 40 * us, 3 * ms + 60 * us}
                             << Ticks{true, true, true}
                             << Wakes{2 * ms - lead, 3 * ms - lead, 4 * ms - lead};
    QTest::newRow("late wake-up does not shift the grid")
        << Wakes{1 * ms + 400 * us, 2 * ms + 350 * us} << Ticks{true, true}
        << Wakes{2 * ms - lead, 3 * ms - lead};
    QTest::newRow("missed expiries give one tick, not a burst")
        << Wakes{1 * ms + 10 * us, 5 * ms + 500 * us, 6 * ms + 10 * us, 6 * ms + 400 * us}
        << Ticks{true, true, false, true}
        << Wakes{2 * ms - lead, 6 * ms - lead, 6 * ms + 400 * us, 7 * ms - lead};
    QTest::newRow("too close after a late tick waits for 0.9 ms")
        << Wakes{1 * ms + 300 * us, 2 * ms + 50 * us,  2 * ms + 200 * us,
                 3 * ms + 20 * us,  3 * ms + 100 * us, 4 * ms + 20 * us}
        << Ticks{true, false, true, false, true, true}
        << Wakes{2 * ms - lead,     2 * ms + 200 * us, 3 * ms - lead,
                 3 * ms + 100 * us, 4 * ms - lead,     5 * ms - lead};
    QTest::newRow("wake-up within the lead ticks for that deadline")
        << Wakes{1 * ms - lead, 2 * ms - 10 * us} << Ticks{true, true}
        << Wakes{2 * ms - lead, 3 * ms - lead};
    QTest::newRow("early wake-up is ignored")
        << Wakes{500 * us, 1 * ms} << Ticks{false, true} << Wakes{1 * ms - lead, 2 * ms - lead};
}

void TestSteppingClock::schedule()
{
    QFETCH(Wakes, wakes);
    QFETCH(Ticks, ticks);
    QFETCH(Wakes, armed);
    SteppingClockGrid grid;
    grid.Start(0);
    QCOMPARE(grid.ArmAt(), 1 * ms - SteppingClockGrid::WakeLead);
    for (int i = 0; i < wakes.size(); ++i) {
        QCOMPARE(grid.OnWake(wakes[i]), ticks[i]);
        QCOMPARE(grid.ArmAt(), armed[i]);
    }
}

void TestSteppingClock::gapCountsFromTheEndOfATick()
{
    SteppingClockGrid grid;
    grid.Start(0);
    QVERIFY(grid.OnWake(1 * ms));
    grid.TickEnded(1 * ms + 300 * us); // a tick that took long to reach its write
    QVERIFY(!grid.OnWake(2 * ms));
    QCOMPARE(grid.ArmAt(), 2 * ms + 200 * us);
    QVERIFY(grid.OnWake(2 * ms + 200 * us));
    QCOMPARE(grid.ArmAt(), 3 * ms - SteppingClockGrid::WakeLead);
}

void TestSteppingClock::startWhileRunningKeepsPhase()
{
    SteppingClockGrid grid;
    grid.Start(0);
    QVERIFY(grid.OnWake(1 * ms + 100 * us));
    grid.Start(1 * ms + 500 * us);
    QCOMPARE(grid.ArmAt(), 2 * ms - SteppingClockGrid::WakeLead);
    // After a stop, starting anew begins a new grid one period on.
    grid.Stop();
    grid.Start(7 * ms + 300 * us);
    QCOMPARE(grid.ArmAt(), 8 * ms + 300 * us - SteppingClockGrid::WakeLead);
}

void TestSteppingClock::stoppedScheduleNeverTicks()
{
    SteppingClockGrid grid;
    QVERIFY(!grid.OnWake(5 * ms));
    grid.Start(0);
    grid.Stop();
    QVERIFY(!grid.OnWake(5 * ms));
}

void TestSteppingClock::realClockDropsMissedExpiries()
{
    TimerfdSteppingClock clock;
    clock.Start();
    QVERIFY(clock.WaitForTick());
    // The thread is held up for 20 periods; what comes after is one tick, then a full gap.
    BusyWait(20 * ms);
    QVERIFY(clock.WaitForTick());
    const std::int64_t late = MonotonicNanoseconds();
    clock.TickEnded();
    QVERIFY(clock.WaitForTick());
    QVERIFY(MonotonicNanoseconds() - late >= SteppingClockGrid::MinimumGap);
}

void TestSteppingClock::realClockStopIsImmediate()
{
    TimerfdSteppingClock clock;
    clock.Start();
    QVERIFY(clock.WaitForTick());
    BusyWait(3 * ms); // an expiry is pending when the stop comes
    clock.Stop();
    // Only the wake-up ends the wait: the pending expiry gives no tick.
    std::thread waker([&] {
        BusyWait(30 * ms);
        clock.Wake();
    });
    QVERIFY(!clock.WaitForTick());
    waker.join();
}

void TestSteppingClock::realClockKeepsOneStream_data()
{
    QTest::addColumn<bool>("restartEveryTick");
    QTest::newRow("left alone") << false;
    QTest::newRow("started again at every tick") << true;
}

void TestSteppingClock::realClockKeepsOneStream()
{
    QFETCH(bool, restartEveryTick);
    TimerfdSteppingClock clock;
    std::vector<std::int64_t> times;
    const std::int64_t started = MonotonicNanoseconds();
    clock.Start();
    while (times.size() < 50) {
        QVERIFY(clock.WaitForTick());
        times.push_back(MonotonicNanoseconds());
        clock.TickEnded();
        if (restartEveryTick)
            clock.Start();
    }
    // The first tick comes a period after the start (less the wake-up lead), and no two ticks
    // come closer than the minimum gap: starting again never opened a second stream.
    QVERIFY(times.front() - started >= SteppingClockGrid::Period - SteppingClockGrid::WakeLead);
    for (std::size_t i = 1; i < times.size(); ++i)
        QVERIFY2(times[i] - times[i - 1] >= SteppingClockGrid::MinimumGap,
                 qPrintable(QString::number(times[i] - times[i - 1])));
}

QTEST_GUILESS_MAIN(TestSteppingClock)
#include "tst_steppingclock.moc"
