// SPDX-License-Identifier: MIT
// The stepping drive without any widget: its start/stop hand-over, its own thread on the real
// clock, and a trace that never holds the motor up.
#include "manualclock.h"
#include "motor/stepperdrive.h"
#include "output/simulatedport.h"
#include "output/tracering.h"

#include <QtTest>
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

QTEST_GUILESS_MAIN(TestDrive)
#include "tst_drive.moc"
