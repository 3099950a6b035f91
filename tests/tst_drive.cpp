// SPDX-License-Identifier: MIT
// The stepping drive without any widget: its start/stop hand-over, its own thread on the real
// clock, and a trace that never holds the motor up.
#include "manualclock.h"
#include "motor/stepperdrive.h"
#include "output/simulatedport.h"
#include "output/tracering.h"

#include <QtTest>
#include <algorithm>
#include <array>
#include <functional>
#include <thread>
#include <unistd.h>

namespace {

// Records from the stepping thread without a lock: slots first, then the count, released.
class ThreadedPort final : public CoilPort {
public:
    void WriteDataByte(std::uint8_t value) override
    {
        const int n = count.load(std::memory_order_relaxed);
        if (n < int(values.size()))
            values[std::size_t(n)] = value;
        count.store(n + 1, std::memory_order_release);
        if (onWrite)
            onWrite();
    }
    std::string Name() const override { return "threaded"; }
    std::vector<int> Values() const
    {
        const int n = count.load(std::memory_order_acquire);
        return {values.begin(),
                values.begin() + std::min<std::size_t>(std::size_t(n), values.size())};
    }
    std::array<int, 8192> values{};
    std::atomic<int> count{0};
    std::function<void()> onWrite;
};

// A switch on a shaft that follows the coils a phase at a time: closed at `place` and a turn
// on from it. Stalled, the shaft no longer turns; open, the switch never closes.
struct ShaftSwitch final : SwitchInput {
    bool Closed() override { return !open && (shaft - place) % 48 == 0; }
    std::string Name() const override { return "the test's switch"; }
    void Follow(int byte)
    {
        constexpr std::array phases{3, 6, 12, 9};
        const auto phase = int(std::find(phases.begin(), phases.end(), byte) - phases.begin());
        if (!stalled && phase < 4)
            shaft += (phase - last + 5) % 4 - 1;
        last = phase < 4 ? phase : last;
    }
    std::int64_t place = 0;
    std::atomic<std::int64_t> shaft{0};
    int last = 0;
    std::atomic<bool> stalled{false}, open{false};
};

// Fires ticks until the drive stands, `during` after the tenth; false if it never does.
bool FireUntilStill(ManualClock& clock, const StepperDrive& drive,
                    const std::function<void()>& during = {})
{
    for (int tick = 0; tick < 5000; ++tick) {
        if (!drive.IsMoving())
            return true;
        if (tick == 10 && during)
            during();
        if (!clock.Fire())
            return !drive.IsMoving();
    }
    return false;
}

bool WaitUntilStill(const StepperDrive& drive)
{
    return QTest::qWaitFor([&] { return !drive.IsMoving(); }, 10000);
}

} // namespace

class TestDrive : public QObject {
    Q_OBJECT
private slots:
    void startRequestDuringTheLastTickIsKept();
    void threadStepsAndStopsAtShutDown();
    void traceRingKeepsWholeLines();
    void stalledTraceReaderNeverBlocksWrites();
    void homing_data();
    void homing();
};

void TestDrive::startRequestDuringTheLastTickIsKept()
{
    ThreadedPort port;
    auto* clock = new ManualClock;
    StepperDrive drive(port, std::unique_ptr<SteppingClock>(clock));
    drive.StartThread();
    drive.SetRequestedAngle(0);
    drive.StartMoving();
    // A message lands while the tick that reaches the target is writing its pattern.
    port.onWrite = [&] {
        port.onWrite = nullptr;
        drive.SetRequestedAngle(15);
        drive.StartMoving();
    };
    QVERIFY(clock->Fire());
    QVERIFY(drive.IsMoving()); // the stop rule ran, and the start waits for the next turn
    QVERIFY(clock->Fire());
    QVERIFY(clock->Fire());
    QVERIFY(!drive.IsMoving());
    QCOMPARE(drive.CurrentStep(), 2);
    QCOMPARE(port.Values(), (std::vector<int>{3, 6, 12}));
    QCOMPARE(clock->Starts(), 2);
}

void TestDrive::threadStepsAndStopsAtShutDown()
{
    ThreadedPort port;
    StepperDrive drive(port, MakeSteppingClock());
    drive.DeenergiseCoils();
    drive.InitStepping();
    QVERIFY(QString::fromStdString(drive.StartThread()).startsWith("stepping thread: "));
    drive.SetRequestedAngle(90);
    drive.StartMoving();
    QVERIFY(WaitUntilStill(drive));
    QCOMPARE(drive.CurrentStep(), 12);
    QCOMPARE(port.Values(), (std::vector<int>{0, 6, 12, 9, 3, 6, 12, 9, 3, 6, 12, 9, 3}));

    drive.SetRequestedAngle(36000);
    drive.StartMoving();
    QTRY_VERIFY(drive.CurrentStep() > 20);
    drive.ShutDown();
    const std::vector<int> atShutDown = port.Values();
    QCOMPARE(atShutDown.back(), 0);
    QVERIFY(atShutDown.size() < 4800);
    QTest::qWait(20);
    QCOMPARE(port.Values(), atShutDown); // no tick after the stop
}

void TestDrive::traceRingKeepsWholeLines()
{
    TraceRing ring(64);
    const std::string line(30, 'x');
    QVERIFY(ring.Push(line));
    QVERIFY(ring.Push(line));
    QVERIFY(!ring.Push(line)); // 4 bytes left: refused whole
    ring.Consume(line.size());
    // The next line wraps around the end; read in two runs, it is intact.
    QVERIFY(ring.Push("0123456789"));
    std::string out;
    while (!ring.Peek().empty()) {
        out += ring.Peek();
        ring.Consume(ring.Peek().size());
    }
    QCOMPARE(out, line + "0123456789");
}

void TestDrive::stalledTraceReaderNeverBlocksWrites()
{
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    QByteArray trace;
    std::thread reader;
    {
        // Nobody reads the pipe: the writes must all return, the surplus dropped.
        SimulatedPort port(fds[1], 4096);
        for (int i = 0; i < 20000; ++i)
            port.WriteDataByte(std::uint8_t(i % 2 ? 6 : 3));
        // The reader comes back; what was kept is delivered before the port goes.
        reader = std::thread([&] {
            char buffer[65536];
            for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;)
                trace.append(buffer, got);
        });
    }
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    const QList<QByteArray> lines = trace.split('\n');
    QVERIFY(lines.size() > 100);
    QVERIFY(lines.size() < 20000);
    QVERIFY(lines.back().isEmpty()); // ends on a whole line
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
        QVERIFY2(lines[i].startsWith("port 0x378 <- ") && lines[i].contains(" at "),
                 lines[i].constData());
}

void TestDrive::homing_data()
{
    QTest::addColumn<int>("direction");
    QTest::addColumn<int>("place");    // the switch's step, counted from the start
    QTest::addColumn<bool>("stalled"); // the switch never closes
    QTest::addColumn<bool>("command"); // "90" sent while homing
    QTest::addColumn<int>("homingEnd");
    QTest::addColumn<int>("writes"); // seek, back off, approach, and the command's steps
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("behind"); // then the shaft this many steps short of the count
    QTest::addColumn<bool>("stall"); // or stalled
    QTest::addColumn<int>("turnTo"); // and a move up to this angle
    QTest::addColumn<int>("error");  // the pass check's
    QTest::addColumn<bool>("lost");
    const int homed = int(StepperDrive::HomingEnd::Homed);
    const int never = int(StepperDrive::HomingEnd::NeverClosed);
    QTest::newRow("from below") << 1 << 13 << false << false << homed << 15 << 0 << 0 << false << 0
                                << 0 << false;
    QTest::newRow("from above") << -1 << -13 << false << false << homed << 15 << 0 << 0 << false
                                << 0 << 0 << false;
    QTest::newRow("closed at the start")
        << 1 << 0 << false << false << homed << 2 << 0 << 0 << false << 0 << 0 << false;
    QTest::newRow("no switch") << 1 << 13 << true << false << never << 60 << 60 << 0 << false << 0
                               << 0 << false;
    QTest::newRow("a command while homing")
        << 1 << 13 << false << true << homed << 27 << 12 << 0 << false << 0 << 0 << false;
    QTest::newRow("3 steps lost") << 1 << 13 << false << false << homed << 15 << 48 << 3 << false
                                  << 360 << 3 << false;
    QTest::newRow("2 steps gained")
        << 1 << 13 << false << false << homed << 15 << 48 << -2 << false << 360 << -2 << false;
    QTest::newRow("a stall") << 1 << 13 << false << false << homed << 15 << 96 << 0 << true << 720
                             << 0 << true;
}

// Homing on the hand-fired clock, a step every 10 ticks and the approach at 40; then a move up
// past the switch with the shaft short of the count, or stalled.
void TestDrive::homing()
{
    QFETCH(int, direction);
    QFETCH(int, place);
    QFETCH(bool, stalled);
    QFETCH(bool, command);
    QFETCH(int, homingEnd);
    QFETCH(int, writes);
    QFETCH(int, step);
    QFETCH(int, behind);
    QFETCH(bool, stall);
    QFETCH(int, turnTo);
    QFETCH(int, error);
    QFETCH(bool, lost);
    ThreadedPort port;
    ShaftSwitch input;               // both outlive the drive, which writes as it ends
    std::vector<std::int64_t> ticks; // of each write
    auto* clock = new ManualClock;
    StepperDrive drive(port, std::unique_ptr<SteppingClock>(clock));
    port.onWrite = [&] {
        input.Follow(port.Values().back());
        ticks.push_back(clock->Now() / SteppingClockGrid::Period);
    };
    input.place = place;
    input.open = stalled;
    drive.SetHomeSwitch(input, direction, 0);
    drive.StartThread();
    drive.AskHoming();
    QVERIFY(FireUntilStill(*clock, drive, [&] {
        if (command) {
            drive.SetRequestedAngle(90);
            drive.StartMoving();
        }
    }));
    QCOMPARE(int(drive.TakeHomingEnd()), homingEnd);
    // A step every 10 ticks at least while homing, the last (the approach) 40 after the one
    // before it.
    const int homing = command ? writes - 12 : writes;
    for (int i = 1; i < homing; ++i)
        QVERIFY2(ticks[i] - ticks[i - 1] >= 10, qPrintable(QString("write %1").arg(i)));
    if (homingEnd == int(StepperDrive::HomingEnd::Homed))
        QCOMPARE(ticks[homing - 1] - ticks[homing - 2], 40);
    if (turnTo != 0) {
        QCOMPARE(port.Values().size(), std::size_t(writes));
        QCOMPARE(drive.CurrentStep(), 0);
        input.shaft -= behind;
        input.stalled = stall;
        drive.SetRequestedAngle(turnTo);
        drive.StartMoving();
        QVERIFY(FireUntilStill(*clock, drive));
    } else {
        QCOMPARE(port.Values().size(), std::size_t(writes));
    }
    QCOMPARE(drive.CurrentStep(), step);
    QCOMPARE(drive.HomeErrorSteps(), error);
    QCOMPARE(drive.HomeCorrections(), error != 0 ? 1u : 0u);
    QCOMPARE(drive.TakeHomeLost(), lost);
}

QTEST_GUILESS_MAIN(TestDrive)
#include "tst_drive.moc"
