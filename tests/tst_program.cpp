// SPDX-License-Identifier: MIT
// The real program on port 3000 with the simulated port: start-up, commands, exit, errors.
#include "programsupport.h"

Q_DECLARE_METATYPE(std::vector<int>)

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
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
    void hostileStart_data();
    void hostileStart();
    void quitWhileTheEventLoopIsStuck();
    void stalledStandardErrorHoldsNothingUp();
    void messageBoxEndsOnAQuitSignal();
    void badCommandLine_data();
    void badCommandLine();
    void latencyTest_data();
    void latencyTest();
    void homingOnASimulatedSwitch_data();
    void homingOnASimulatedSwitch();
};

void TestProgram::startsWithOneZeroAndNamesBackend()
{
    ProgramUnderTest program;
    QTcpSocket client;
    // The trace comes from an idle-priority writer: on a busy machine late, never lost.
    QVERIFY(ProgramUnderTest::Connect(client) && program.WaitForWrites(1));
    program.WaitUntilQuiet(200);
    QCOMPARE(program.Values(), Bytes{0});
    QVERIFY2(program.errors.contains("stepper-dial: coil output: simulated port"),
             qPrintable(program.errors));
    QCOMPARE(program.errors.count("coil output"), 1);
    QVERIFY(program.EndsWith(SIGTERM, 0));
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
    QTest::addColumn<int>("second"); // a second signal 1-4 ms later, during the shutdown
    QTest::newRow("SIGTERM") << int(SIGTERM) << 0;
    QTest::newRow("SIGINT") << int(SIGINT) << 0;
    QTest::newRow("SIGHUP") << int(SIGHUP) << 0;
    QTest::newRow("TERM, TERM") << int(SIGTERM) << int(SIGTERM);
    QTest::newRow("HUP, TERM") << int(SIGHUP) << int(SIGTERM);
    QTest::newRow("INT, INT") << int(SIGINT) << int(SIGINT);
}

void TestProgram::quitSignalsDeenergise()
{
    QFETCH(int, signalNumber);
    QFETCH(int, second);
    for (int run = 0; run < (second ? 4 : 1); ++run) {
        ProgramUnderTest program;
        QTcpSocket client;
        QVERIFY(program.StartMove(client, 50));
        if (second) {
            program.Signal(signalNumber);
            ::usleep(1000 + 1000 * run);
        }
        QVERIFY(program.EndsWith(second ? second : signalNumber, 0));
        QCOMPARE(program.writes.back().value, 0);
        QVERIFY(program.writes.size() < 4800); // stopped mid-move
    }
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
    QVERIFY(program.EndsWith(SIGTERM, 0));
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
        display.isEmpty() ? qunsetenv("DISPLAY") : qputenv("DISPLAY", display);
    }
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const QByteArray display = qgetenv("DISPLAY");
};

void TestProgram::hostileStart_data()
{
    QTest::addColumn<std::vector<int>>("closed"); // standard descriptors it starts without
    QTest::addColumn<bool>("fullDisk");           // the trace on /dev/full
    QTest::addColumn<QByteArray>("display");      // empty: offscreen, as every test
    QTest::addColumn<QString>("says");
    // Descriptors it opens must not take the standard numbers and read trace or report
    // bytes as quit signals.
    QTest::newRow("no input, output") << std::vector<int>{0, 1} << false << QByteArray() << "";
    QTest::newRow("no output, error") << std::vector<int>{1, 2} << false << QByteArray() << "";
    // The 0 at start and the 0 at exit: every line a full disk refused is counted.
    QTest::newRow("full disk") << std::vector<int>{} << true << QByteArray()
                               << "No space left on device: 2 port writes were not traced";
    QTest::newRow("unreachable display") << std::vector<int>{} << false << QByteArray(":99")
                                         << "no display could be reached (DISPLAY=:99)";
}

// Started in a hostile environment, it listens as ever and a quit signal ends it normally.
void TestProgram::hostileStart()
{
    QFETCH(std::vector<int>, closed);
    QFETCH(bool, fullDisk);
    QFETCH(QByteArray, display);
    QFETCH(QString, says);
    if (!display.isEmpty() && QFile::exists("/tmp/.X11-unix/X" + display.mid(1)))
        QSKIP("that display exists here");
    const int full = fullDisk ? ::open("/dev/full", O_WRONLY | O_CLOEXEC) : -1;
    std::optional<ProgramUnderTest> program;
    {
        std::optional<DisplayEnvironment> environment;
        if (!display.isEmpty())
            environment.emplace(display);
        program.emplace(QStringList{"--simulate"}, full, closed);
    }
    if (full >= 0)
        ::close(full);
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    QVERIFY(program->EndsWith(SIGTERM, 0));
    QVERIFY2(program->errors.contains(says), qPrintable(program->errors));
}

// With the event loop's thread frozen (ptrace stops that one thread), a quit signal still
// switches the coils off and ends the program with status 0.
void TestProgram::quitWhileTheEventLoopIsStuck()
{
    ProgramUnderTest program;
    QTcpSocket client;
    QVERIFY(program.StartMove(client));
    const pid_t pid = pid_t(program.process.processId());
    if (::ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) != 0)
        QSKIP(qPrintable(QString("cannot trace the program: %1").arg(std::strerror(errno))));
    ::ptrace(PTRACE_INTERRUPT, pid, nullptr, nullptr);
    int status = 0;
    QCOMPARE(::waitpid(pid, &status, __WALL), pid); // the event loop's thread has stopped
    QVERIFY(WIFSTOPPED(status));
    QVERIFY(program.EndsWith(SIGTERM, 0));
    QCOMPARE(program.writes.back().value, 0); // the stepping thread switched the coils off
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
        const auto once = [&] {
            client.bind(QHostAddress(source));
            client.connectToHost(QHostAddress::LocalHost, 3000);
            return client.waitForConnected(2000) || (client.abort(), false);
        };
        return QTest::qWaitFor(once, 10000);
    };
    QTcpSocket allowed, refused;
    QVERIFY(from("127.0.0.2", allowed));
    allowed.write("36000"); // 4800 trace lines, far more than the pipe holds
    QVERIFY(allowed.waitForBytesWritten(5000));
    allowed.disconnectFromHost();
    QTest::qWait(1000);
    QVERIFY(from("127.0.0.1", refused));
    QTRY_COMPARE(refused.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(program.EndsWith(SIGTERM, 0));
    ::close(stalled[0]);
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
    QVERIFY(program->EndsWith(SIGTERM, 3));
    xvfb.terminate();
    xvfb.waitForFinished(5000);
}

void TestProgram::badCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::newRow("unknown option") << QStringList{"--fast"} << 2 << "Unknown option 'fast'";
    QTest::newRow("stray argument") << QStringList{"90"} << 2 << "Unexpected argument '90'";
    QTest::newRow("listen not an address")
        << QStringList{"--listen", "localhost"} << 2 << "--listen: 'localhost'";
    QTest::newRow("allow prefix too long")
        << QStringList{"--allow", "10.0.0.0/33"} << 2 << "--allow: '10.0.0.0/33'";
    QTest::newRow("allow not a network") << QStringList{"--allow", "lab"} << 2 << "--allow: 'lab'";
    QTest::newRow("two outputs") << QStringList{"--simulate", "--port", "1"} << 2
                                 << "Name one output";
    QTest::newRow("port malformed") << QStringList{"--port", "0xzz"} << 2 << "--port: '0xzz'";
    QTest::newRow("decimal address") << QStringList{"--port", "378"} << 2 << "did you mean 0x378?";
    QTest::newRow("offset overflows")
        << QStringList{"--gpio", "gpiochip0:0,1,2,99999999999999999999"} << 2 << "too large";
    QTest::newRow("three lines") << QStringList{"--gpio", "gpiochip0:17,18,27"} << 2
                                 << "exactly four lines";
    // Outputs no machine has: named, so never replaced by the simulated port.
    QTest::newRow("port path missing")
        << QStringList{"--port", "/dev/parport15"} << 3 << "cannot drive --port /dev/parport15: ";
    QTest::newRow("port number missing")
        << QStringList{"--port", "15"} << 3 << "cannot drive --port 15: /dev/parport15";
    QTest::newRow("gpio chip missing") << QStringList{"--gpio", "gpiochip15:17,18,27,22"} << 3
                                       << "cannot drive --gpio gpiochip15:17,18,27,22: ";
    QTest::newRow("latency test of no time")
        << QStringList{"--latency-test", "0"} << 2 << "--latency-test: '0'";
    QTest::newRow("web twice") << QStringList{"--web", "127.0.0.1:3080", "--web", "127.0.0.1:3080"}
                               << 2 << "--web 127.0.0.1:3080 and --web 127.0.0.1:3080 would both";
    QTest::newRow("metrics on every address and one")
        << QStringList{"--metrics", "0.0.0.0:9310", "--metrics", "127.0.0.1:9310"} << 2
        << "--metrics 0.0.0.0:9310 and --metrics 127.0.0.1:9310 would both listen on port 9310";
    QTest::newRow("web on the command port") << QStringList{"--web", "127.0.0.1:3000"} << 2
                                             << "port 3000 and --web 127.0.0.1:3000 would both";
    QTest::newRow("latency test signed")
        << QStringList{"--latency-test", "+1"} << 2 << "--latency-test: '+1'";
    QTest::newRow("latency test ignores")
        << QStringList{"--latency-test", "1", "--gpio", "gpiochip0:1,2,3,4", "--headless"} << 0
        << "it ignores --gpio, --headless";
    QTest::newRow("metrics without a port")
        << QStringList{"--metrics", "127.0.0.1"} << 2 << "--metrics: '127.0.0.1'";
    QTest::newRow("listen twice") << QStringList{"--listen", "127.0.0.1", "--listen", "127.0.0.1"}
                                  << 2 << "--listen: 127.0.0.1 is given twice";
    QTest::newRow("allow beyond IPv4-mapped")
        << QStringList{"--allow", "::ffff:0.0.0.0/80"} << 2 << "beyond the IPv4-mapped";
    const QStringList broker{"--mqtt", "mqtt://127.0.0.1:9"};
    QTest::newRow("mqtt scheme") << QStringList{"--mqtt", "http://host"} << 2 << "--mqtt: 'http";
    QTest::newRow("mqtt password in the URL")
        << QStringList{"--mqtt", "mqtt://u:p@host"} << 2 << "--mqtt-credentials";
    QTest::newRow("mqtt name with a level")
        << broker + QStringList{"--mqtt-name", "a/b"} << 2 << "--mqtt-name: 'a/b'";
    QTest::newRow("mqtt prefix with a wildcard")
        << broker + QStringList{"--mqtt-prefix", "lab/#"} << 2 << "--mqtt-prefix: 'lab/#'";
    QTest::newRow("mqtt CA without TLS")
        << broker + QStringList{"--mqtt-ca", "/etc/hostname"} << 2 << "give mqtts://";
    QTest::newRow("mqtt discovery word")
        << broker + QStringList{"--mqtt-discovery", "yes"} << 2 << "not on, off or remove";
    QTest::newRow("mqtt credentials missing")
        << broker + QStringList{"--mqtt-credentials", "/nonexistent"} << 2
        << "No such file or directory";
    QTest::newRow("start rate without accel")
        << QStringList{"--start-rate", "100"} << 2 << "--start-rate below --max-rate needs --accel";
    QTest::newRow("start rate above the top")
        << QStringList{"--max-rate", "200", "--start-rate", "300", "--accel", "10"} << 2
        << "--start-rate: '300' is not a whole number from 1 to 200";
    QTest::newRow("steps a turn not a number")
        << QStringList{"--steps-per-turn", "nan"} << 2
        << "--steps-per-turn: 'nan' is not a number of full steps from 4 to 1000000";
    QTest::newRow("mqtt name alone") << QStringList{"--mqtt-name", "a"} << 2 << "give --mqtt too";
    QTest::newRow("list ports") << QStringList{"--list-ports"} << 0 << "A plain start would use";
    QTest::newRow("list ports ignores")
        << QStringList{"--list-ports", "--gpio", "gpiochip0:1,2,3,4", "--headless"} << 0
        << "it ignores --gpio, --headless";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: stepper-dial [options]";
    QTest::newRow("version") << QStringList{"--version"} << 0 << "stepper-dial 1.";
    for (const char* action : {"--help", "--version", "--list-ports"})
        QTest::addRow("%s to a full disk", action)
            << QStringList{action} << 1 << "cannot write to standard output: No space";
}

void TestProgram::badCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);
    // The rows that expect a failed write have their standard output on /dev/full.
    const bool toFullDevice = output.startsWith("cannot write to standard output");
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

void TestProgram::latencyTest_data()
{
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("stopped"); // by SIGTERM after two seconds of a minute
    QTest::newRow("text, stopped") << false << true;
    QTest::newRow("json") << true << false;
}

// Two seconds of the stepping clock: every grid point accounted for once, and the report
// agreeing with itself. How late the ticks came is the machine's business, not the test's.
void TestProgram::latencyTest()
{
    QFETCH(bool, json);
    QFETCH(bool, stopped);
    const QByteArray seconds = stopped ? "60" : "2";
    QProcess run;
    run.start(qEnvironmentVariable("STEPPER_DIAL"),
              QStringList{"--latency-test", seconds} +
                  (json ? QStringList{"--json"} : QStringList{}));
    QByteArray errors;
    if (stopped) {
        QVERIFY(QTest::qWaitFor(
            [&] { return (errors += run.readAllStandardError()).contains("2 of 60 s"); }, 60000));
        run.terminate();
    }
    QVERIFY(run.waitForFinished(60000));
    QCOMPARE(run.exitCode(), 0);
    errors += run.readAllStandardError();
    QVERIFY(errors.contains("latency test: 1 of " + seconds + " s, worst so far "));
    QCOMPARE(errors.contains("stopped, the report so far follows"), stopped);
    const QString out = QString::fromUtf8(run.readAllStandardOutput());
    double ticks = 0, delivered = 0, missed = 0, bars = 0, percent = 0, worst = 0;
    QString verdict;
    if (json) {
        const QJsonObject report = QJsonDocument::fromJson(out.toUtf8()).object();
        ticks = report["ticks"].toDouble();
        delivered = report["delivered"].toDouble();
        missed = report["missed"].toDouble();
        for (const QJsonValue bucket : report["histogram"].toArray())
            bars += bucket["ticks"].toDouble();
        percent = report["within0.5ms"].toDouble() * 100;
        worst = report["latenessMs"]["max"].toDouble();
        verdict = report["verdict"].toString();
    } else {
        const auto number = [&out](const char* pattern, int group = 1) {
            const QRegularExpressionMatch found = QRegularExpression(pattern).match(out);
            return found.hasMatch() ? found.captured(group).toDouble() : -1.0;
        };
        ticks = number(R"(\nticks: (\d+) \()");
        delivered = number(R"(\((\d+) delivered, )");
        missed = number(R"(delivered, (\d+) missed\))");
        auto rows = QRegularExpression(R"(\n  [<>]=? [\d.]+ ms +(\d+) #*(?=\n))").globalMatch(out);
        for (int row = 0; row < 9; ++row)
            bars += rows.next().captured(1).toDouble();
        QVERIFY(!rows.hasNext());
        percent = number(R"(, ([\d.]+) % within 0.5 ms\n)");
        worst = number(R"(, max ([\d.]+) ms\n)");
        verdict = QRegularExpression(R"(\nverdict: (.*)\n$)").match(out).captured(1);
    }
    QVERIFY2(ticks >= 1900 && ticks <= (stopped ? 59000 : 2100), qPrintable(out));
    QCOMPARE(delivered + missed, ticks);
    QCOMPARE(bars, delivered);
    const bool keeps = percent >= 99.9 && missed == 0;
    QVERIFY2(verdict.startsWith(keeps ? "keeps 1 kHz: " : "does not keep 1 kHz: "),
             qPrintable(verdict));
    const double said = verdict.section(": ", 1).section(" %", 0, 0).toDouble();
    QVERIFY2(qAbs(said - percent) <= 0.01 && verdict.contains(QString(" of ticks within 0.5 ms, "
                                                                      "worst %1 ms")
                                                                  .arg(worst, 0, 'f', 3)),
             qPrintable(verdict));
}

void TestProgram::homingOnASimulatedSwitch_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("steps"); // the command's
    QTest::addColumn<int>("past");  // where it ends, in steps past the switch
    QTest::addColumn<int>("corrections");
    QTest::newRow("home at 0 degrees") << QStringList() << QByteArray("90") << 12 << 12 << 0;
    QTest::newRow("home at 45 degrees")
        << QStringList{"--home-angle", "45"} << QByteArray("90") << 6 << 6 << 0;
    // Ten passes of the switch, a step lost in every 40 sent: the count set right at most.
    QTest::newRow("a step lost in 40")
        << QStringList{"--simulate-slip", "40"} << QByteArray("3600") << 480 << 0 << 8;
}

// The switch 100 degrees up from the start: step 13. Homing goes there at 100 steps a second,
// backs off a step and comes back; the command, sent while it homes, follows.
void TestProgram::homingOnASimulatedSwitch()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, command);
    QFETCH(int, steps);
    QFETCH(int, past);
    QFETCH(int, corrections);
    const QString metrics = "127.0.0.1:" + QString::number(FreePort());
    ProgramUnderTest program(QStringList{"--simulate", "--headless", "--home-switch",
                                         "simulated:100", "--home", "--metrics", metrics} +
                             options);
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client) && program.Send(client, command));
    QVERIFY(program.WaitForWrites(std::size_t(1 + 15 + steps)));
    program.WaitUntilQuiet();
    Bytes homing = program.Values(1);
    homing.resize(15);
    QCOMPARE(homing, (Bytes{6, 12, 9, 3, 6, 12, 9, 3, 6, 12, 9, 3, 6, 3, 6}));
    QVERIFY2(program.errors.contains("homed on"), qPrintable(program.errors));
    const QByteArray scraped = Get(quint16(metrics.section(':', 1).toUInt()), "/metrics");
    const auto made = QRegularExpression("stepper_dial_home_corrections_total (\\d+)")
                          .match(QString::fromUtf8(scraped));
    QVERIFY2(made.hasMatch(), scraped.constData());
    QVERIFY2(made.captured(1).toInt() >= corrections, qPrintable(program.errors));
    // Each pass finds the count off by what one turn lost, and the position stays certain.
    QVERIFY2(scraped.contains("\nstepper_dial_position_uncertain 0\n"), qPrintable(program.errors));
    if (corrections == 0) {
        TraceReplay replay;
        replay.Follow(program.writes);
        QCOMPARE(replay.position, 13 + past);
        QCOMPARE(made.captured(1).toInt(), 0);
    }
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
