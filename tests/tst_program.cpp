// SPDX-License-Identifier: MIT
// The real program on port 3000 with the simulated port: start-up, commands, exit, errors.
#include "programsupport.h"

Q_DECLARE_METATYPE(std::vector<int>)

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/ptrace.h>
#include <sys/wait.h>

using Bytes = std::vector<int>;

class TestProgram : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { RequireFreePort3000(); }
    void startsWithOneZeroAndNamesBackend();
    void commandsMoveTheMotorEndToEnd();
    void quitSignalsDeenergise_data();
    void quitSignalsDeenergise();
    void stalledTraceReaderHoldsNothingUp();
    void takenPortIsReported();
    void signalDuringStartUpLeavesCoilsOff();
    void closedStandardDescriptors_data();
    void closedStandardDescriptors();
    void secondQuitSignalDuringShutdown_data();
    void secondQuitSignalDuringShutdown();
    void quitWhileTheEventLoopIsStuck();
    void traceToAFullDisk();
    void stalledStandardErrorHoldsNothingUp();
    void unreachableDisplay();
    void messageBoxEndsOnAQuitSignal();
    void badCommandLine_data();
    void badCommandLine();
};

void TestProgram::startsWithOneZeroAndNamesBackend()
{
    ProgramUnderTest program;
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    program.WaitUntilQuiet(200);
    QCOMPARE(program.Values(), Bytes{0});
    QVERIFY2(program.errors.contains("stepper-dial: coil output: simulated port"),
             qPrintable(program.errors));
    QCOMPARE(program.errors.count("coil output"), 1);
    program.Signal(SIGTERM);
    QVERIFY(program.WaitForExit());
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    QCOMPARE(program.Values(), (Bytes{0, 0}));
}

void TestProgram::commandsMoveTheMotorEndToEnd()
{
    ProgramUnderTest program;
    {
        QTcpSocket client;
        QVERIFY(ProgramUnderTest::Connect(client));
        program.Send(client, "90");
        QVERIFY(program.WaitForWrites(13));
        program.WaitUntilQuiet();
        QCOMPARE(program.Values(1), (Bytes{6, 12, 9, 3, 6, 12, 9, 3, 6, 12, 9, 3}));
        // Paced by the 1 ms clock, never a burst: 12 steps span 11 ticks. The bound leaves
        // room for a stamp taken late on a busy machine (the clock's own gap has its table).
        QVERIFY(program.writes.back().microseconds - program.writes[1].microseconds >= 8000);
        program.Send(client, "disconnect");
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    }
    // The next client finds the motor where the last one left it: 12 steps back to 0.
    QTcpSocket next;
    QVERIFY(ProgramUnderTest::Connect(next));
    const std::size_t before = program.writes.size();
    program.Send(next, "0\r\n");
    program.WaitForWrites(before + 12);
    program.WaitUntilQuiet();
    QCOMPARE(program.Values(before), (Bytes{9, 12, 6, 3, 9, 12, 6, 3, 9, 12, 6, 3}));
    QTRY_VERIFY(next.state() == QAbstractSocket::ConnectedState);
    program.Signal(SIGTERM);
    QVERIFY(program.WaitForExit());
    QCOMPARE(program.writes.back().value, 0);
}

void TestProgram::quitSignalsDeenergise_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestProgram::quitSignalsDeenergise()
{
    QFETCH(int, signalNumber);
    ProgramUnderTest program;
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    program.Send(client, "36000");
    QVERIFY(program.WaitForWrites(50));
    program.Signal(signalNumber);
    QVERIFY(program.WaitForExit());
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    QCOMPARE(program.writes.back().value, 0);
    QVERIFY(program.writes.size() < 4800); // stopped mid-move
}

void TestProgram::stalledTraceReaderHoldsNothingUp()
{
    int fds[2];
    QCOMPARE(::pipe(fds), 0); // never read: full after about a second of steps
    ProgramUnderTest program({"--simulate"}, fds[1]);
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    program.Send(client, "36000");
    QTest::qWait(2500);
    // The network is still served: "disconnect" is answered and the next client taken.
    program.Send(client, "disconnect");
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    QTcpSocket next;
    QVERIFY(ProgramUnderTest::Connect(next));
    program.Send(next, "disconnect");
    QTRY_COMPARE(next.state(), QAbstractSocket::UnconnectedState);
    program.Signal(SIGTERM);
    QVERIFY(program.WaitForExit());
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    ::close(fds[0]);
    ::close(fds[1]);
}

void TestProgram::takenPortIsReported()
{
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::Any, 3000));
    ProgramUnderTest program;
    QVERIFY(program.WaitForExit());
    QCOMPARE(program.process.exitCode(), 1);
    // A pattern an earlier run left on the coils is switched off before the port goes.
    QCOMPARE(program.writes.size(), std::size_t(1));
    QCOMPARE(program.writes[0].value, 0);
    QVERIFY2(program.errors.contains("cannot listen on TCP port 3000"), qPrintable(program.errors));
    QVERIFY2(program.errors.contains("in use"), qPrintable(program.errors));
}

void TestProgram::signalDuringStartUpLeavesCoilsOff()
{
    // Wherever in start-up the signal lands, once the port is ready the run ends through the
    // exit path: a normal exit, 0 the last write.
    for (int delayMs = 0; delayMs < 40; delayMs += 5) {
        ProgramUnderTest program;
        QThread::msleep(delayMs);
        program.Signal(SIGTERM);
        QVERIFY(program.WaitForExit());
        if (!program.errors.contains("coil output"))
            continue;
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QVERIFY(!program.writes.empty());
        QCOMPARE(program.writes.back().value, 0);
    }
}

void TestProgram::closedStandardDescriptors_data()
{
    QTest::addColumn<std::vector<int>>("closed");
    QTest::newRow("input and output") << std::vector<int>{0, 1};
    QTest::newRow("output and error") << std::vector<int>{1, 2};
}

// Descriptors the program opens must not take the standard numbers and read trace or report
// bytes as quit signals.
void TestProgram::closedStandardDescriptors()
{
    QFETCH(std::vector<int>, closed);
    ProgramUnderTest program({"--simulate"}, -1, closed);
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    program.Send(client, "90");
    QTest::qWait(300);
    QCOMPARE(program.process.state(), QProcess::Running);
    program.Signal(SIGTERM);
    QVERIFY(program.WaitForExit());
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
}

void TestProgram::secondQuitSignalDuringShutdown_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::newRow("TERM, TERM") << int(SIGTERM) << int(SIGTERM);
    QTest::newRow("HUP, TERM") << int(SIGHUP) << int(SIGTERM);
    QTest::newRow("INT, INT") << int(SIGINT) << int(SIGINT);
}

// A second signal a few milliseconds after the first, while the trace drains, never kills
// the program with the coils on.
void TestProgram::secondQuitSignalDuringShutdown()
{
    QFETCH(int, first);
    QFETCH(int, second);
    for (int run = 0; run < 4; ++run) {
        ProgramUnderTest program;
        QTcpSocket client;
        QVERIFY(ProgramUnderTest::Connect(client));
        program.Send(client, "36000");
        QVERIFY(program.WaitForWrites(20));
        program.Signal(first);
        ::usleep(1000 + 1000 * run);
        program.Signal(second);
        QVERIFY(program.WaitForExit());
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);
        QCOMPARE(program.writes.back().value, 0);
    }
}

// With the event loop's thread frozen (ptrace stops that one thread), a quit signal still
// switches the coils off and ends the program with status 0.
void TestProgram::quitWhileTheEventLoopIsStuck()
{
    ProgramUnderTest program;
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    program.Send(client, "36000");
    QVERIFY(program.WaitForWrites(20));
    const pid_t pid = pid_t(program.process.processId());
    if (::ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) != 0)
        QSKIP(qPrintable(QString("cannot trace the program: %1").arg(std::strerror(errno))));
    ::ptrace(PTRACE_INTERRUPT, pid, nullptr, nullptr);
    int status = 0;
    QCOMPARE(::waitpid(pid, &status, __WALL), pid); // the event loop's thread has stopped
    QVERIFY(WIFSTOPPED(status));
    const std::size_t before = program.writes.size();
    program.Signal(SIGTERM);
    // The motor stops: the writes end, in 0.
    QVERIFY(program.WaitForWrites(before + 1));
    program.WaitUntilQuiet(300);
    QCOMPARE(program.writes.back().value, 0);
    QVERIFY(program.WaitForExit());
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
}

// Every trace line a full disk refused is counted, and the program carries on as ever.
void TestProgram::traceToAFullDisk()
{
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    QVERIFY(full >= 0);
    ProgramUnderTest program({"--simulate"}, full);
    ::close(full);
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    program.Signal(SIGTERM);
    QVERIFY(program.WaitForExit());
    QCOMPARE(program.process.exitCode(), 0);
    // The 0 at start and the 0 at exit.
    QVERIFY2(program.errors.contains("No space left on device: 2 port writes were not traced"),
             qPrintable(program.errors));
}

// Standard output and error in one pipe that nobody reads (a stopped pager): the trace fills
// it, then a refused client makes a line for standard error. The event loop must not wait on
// it, and a quit signal still ends the program.
void TestProgram::stalledStandardErrorHoldsNothingUp()
{
    int stalled[2];
    QCOMPARE(::pipe2(stalled, O_CLOEXEC), 0);
    ::fcntl(stalled[1], F_SETPIPE_SZ, 4096); // full after about a hundred trace lines
    ProgramUnderTest program({"--simulate", "--allow", "127.0.0.2/32"}, stalled[1], {}, true);
    ::close(stalled[1]);
    const auto from = [](const char* source, QTcpSocket& client) {
        client.bind(QHostAddress(source));
        client.connectToHost(QHostAddress::LocalHost, 3000);
        return client.waitForConnected(2000);
    };
    QTcpSocket allowed;
    QVERIFY(QTest::qWaitFor([&] { return from("127.0.0.2", allowed) || (allowed.abort(), false); },
                            10000));
    allowed.write("36000"); // 4800 trace lines, far more than the pipe holds
    QVERIFY(allowed.waitForBytesWritten(5000));
    allowed.disconnectFromHost();
    QTest::qWait(1000);
    QTcpSocket refused;
    QVERIFY(QTest::qWaitFor([&] { return from("127.0.0.1", refused) || (refused.abort(), false); },
                            10000));
    QTRY_COMPARE(refused.state(), QAbstractSocket::UnconnectedState);
    QTest::qWait(200);
    program.Signal(SIGTERM);
    QVERIFY(program.WaitForExit());
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    ::close(stalled[0]);
}

// The program's environment for one start: no platform named, this display.
struct DisplayEnvironment {
    explicit DisplayEnvironment(const QByteArray& display)
    {
        qunsetenv("QT_QPA_PLATFORM");
        qputenv("DISPLAY", display);
    }
    ~DisplayEnvironment()
    {
        qputenv("QT_QPA_PLATFORM", platform);
        if (display.isEmpty())
            qunsetenv("DISPLAY");
        else
            qputenv("DISPLAY", display);
    }
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const QByteArray display = qgetenv("DISPLAY");
};

void TestProgram::unreachableDisplay()
{
    if (QFile::exists("/tmp/.X11-unix/X99"))
        QSKIP("display :99 exists here");
    std::optional<ProgramUnderTest> program;
    {
        const DisplayEnvironment environment(":99");
        program.emplace();
    }
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    program->Signal(SIGTERM);
    QVERIFY(program->WaitForExit());
    QCOMPARE(program->process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->process.exitCode(), 0);
    QVERIFY2(program->errors.contains("no display could be reached (DISPLAY=:99)"),
             qPrintable(program->errors));
}

// On a real display (Xvfb) a fatal start-up error shows a message box; a quit signal ends it.
void TestProgram::messageBoxEndsOnAQuitSignal()
{
    QProcess xvfb;
    xvfb.start("Xvfb", {":94", "-nolisten", "tcp"});
    if (!xvfb.waitForStarted(5000) ||
        !QTest::qWaitFor([] { return QFile::exists("/tmp/.X11-unix/X94"); }, 5000))
        QSKIP("Xvfb cannot start here");
    std::optional<ProgramUnderTest> program;
    {
        const DisplayEnvironment environment(":94");
        program.emplace(QStringList{"--port", "15"});
    }
    QTRY_VERIFY((program->Collect(), program->errors.contains("cannot drive --port 15")));
    program->Signal(SIGTERM);
    QVERIFY(program->WaitForExit());
    QCOMPARE(program->process.exitCode(), 3);
    xvfb.terminate();
    xvfb.waitForFinished(5000);
}

void TestProgram::badCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("toFullDevice"); // standard output on /dev/full
    QTest::newRow("unknown option")
        << QStringList{"--fast"} << 2 << "Unknown option 'fast'" << false;
    QTest::newRow("stray argument")
        << QStringList{"90"} << 2 << "Unexpected argument '90'" << false;
    QTest::newRow("listen not an address")
        << QStringList{"--listen", "localhost"} << 2 << "--listen: 'localhost'" << false;
    QTest::newRow("allow prefix too long")
        << QStringList{"--allow", "10.0.0.0/33"} << 2 << "--allow: '10.0.0.0/33'" << false;
    QTest::newRow("allow not a network")
        << QStringList{"--allow", "lab"} << 2 << "--allow: 'lab'" << false;
    QTest::newRow("two outputs") << QStringList{"--simulate", "--port", "1"} << 2
                                 << "Name one output" << false;
    QTest::newRow("port malformed")
        << QStringList{"--port", "0xzz"} << 2 << "--port: '0xzz'" << false;
    QTest::newRow("decimal address")
        << QStringList{"--port", "378"} << 2 << "did you mean 0x378?" << false;
    QTest::newRow("offset overflows")
        << QStringList{"--gpio", "gpiochip0:0,1,2,99999999999999999999"} << 2 << "too large"
        << false;
    QTest::newRow("three lines") << QStringList{"--gpio", "gpiochip0:17,18,27"} << 2
                                 << "exactly four lines" << false;
    // Outputs no machine has: named, so never replaced by the simulated port.
    QTest::newRow("port path missing") << QStringList{"--port", "/dev/parport15"} << 3
                                       << "cannot drive --port /dev/parport15: " << false;
    QTest::newRow("port number missing")
        << QStringList{"--port", "15"} << 3 << "cannot drive --port 15: /dev/parport15" << false;
    QTest::newRow("gpio chip missing") << QStringList{"--gpio", "gpiochip15:17,18,27,22"} << 3
                                       << "cannot drive --gpio gpiochip15:17,18,27,22: " << false;
    QTest::newRow("listen twice") << QStringList{"--listen", "127.0.0.1", "--listen", "127.0.0.1"}
                                  << 2 << "--listen: 127.0.0.1 is given twice" << false;
    QTest::newRow("allow beyond IPv4-mapped")
        << QStringList{"--allow", "::ffff:0.0.0.0/80"} << 2 << "beyond the IPv4-mapped" << false;
    QTest::newRow("list ports") << QStringList{"--list-ports"} << 0 << "A plain start would use"
                                << false;
    QTest::newRow("list ports ignores")
        << QStringList{"--list-ports", "--gpio", "gpiochip0:1,2,3,4", "--headless"} << 0
        << "it ignores --gpio, --headless" << false;
    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: stepper-dial [options]" << false;
    QTest::newRow("version") << QStringList{"--version"} << 0 << "stepper-dial 1." << false;
    for (const char* action : {"--help", "--version", "--list-ports"})
        QTest::addRow("%s to a full disk", action)
            << QStringList{action} << 1 << "cannot write to standard output: No space" << true;
}

void TestProgram::badCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(bool, toFullDevice);
    const int full = toFullDevice ? ::open("/dev/full", O_WRONLY | O_CLOEXEC) : -1;
    ProgramUnderTest program(arguments, full);
    QVERIFY(program.WaitForExit());
    if (full >= 0)
        ::close(full);
    QCOMPARE(program.process.exitCode(), status);
    const QString printed = program.otherOutput.join('\n') + program.errors;
    QVERIFY2(printed.contains(output), qPrintable(printed));
    if (status != 0)
        QCOMPARE(program.errors.count('\n'), 1);
    QVERIFY(program.writes.empty());
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
