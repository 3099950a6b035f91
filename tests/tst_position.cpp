// SPDX-License-Identifier: MIT
// The remembered position: a move that waits for its record, and the real program restarted
// after SIGTERM and SIGKILL, with crashes and failures injected into the save (strace) and
// unusable files.
#include "core/positionrecord.h"
#include "motor/steppingcontroller.h"
#include "programsupport.h"
#include "testsupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <sys/stat.h>

Q_DECLARE_METATYPE(StepGeometry)
Q_DECLARE_METATYPE(SpeedProfile)

namespace {

std::optional<PositionRecord> RecordIn(const QString& path)
{
    PositionRecord record;
    if (ParsePositionRecord(Contents(path).toStdString(), record))
        return std::nullopt;
    return record;
}

bool Plant(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QByteArray Text(const PositionRecord& record)
{
    return QByteArray::fromStdString(FormatPositionRecord(record));
}

const QByteArray AtStep13 = Text({.step = 13}); // at rest at 97.5 degrees

} // namespace

class TestPosition : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        RequireFreePort3000();
        QVERIFY(dir.isValid());
    }
    void init()
    {
        QDir(dir.path()).removeRecursively();
        QVERIFY(QDir().mkpath(dir.path()));
    }
    void firstStepWaitsForItsRecord();
    void extremesStayReadable();
    void stoppedAtSpeed_data();
    void stoppedAtSpeed();
    void geometryOfTheRecord_data();
    void geometryOfTheRecord();
    void stoppedMidMoveRestores();
    void injectedIntoTheSave_data();
    void injectedIntoTheSave();
    void unusableFile_data();
    void unusableFile();
    void guardedPath_data();
    void guardedPath();

private:
    QString File() const { return dir.filePath("position"); }
    // The program with the simulated port and the position file, under strace with these
    // options if given (NEW, DIR and FILE name the new record, its directory and the file).
    std::unique_ptr<ProgramUnderTest> Start(QString strace = {}, QStringList more = {},
                                            QStringList launcher = {})
    {
        if (!strace.isEmpty()) {
            if (!NativeStrace())
                return nullptr;
            // LeakSanitizer cannot run under ptrace.
            launcher = QString("env ASAN_OPTIONS=detect_leaks=0 strace -f -o %1 %2 --")
                           .arg(dir.filePath("strace.log"), strace)
                           .replace("NEW", File() + ".new")
                           .replace("DIR", dir.path())
                           .replace("FILE", File())
                           .split(' ');
        }
        return std::make_unique<ProgramUnderTest>(
            QStringList{"--simulate", "--headless", "--state", File()} + more, -1,
            std::vector<int>{}, false, launcher);
    }
    // SIGTERM to the program (not to strace, which holds signals off); true on exit status 0.
    static bool Stop(ProgramUnderTest& program)
    {
        ::kill(program.ProgramPid(), SIGTERM);
        return program.WaitForExit() && program.process.exitCode() == 0;
    }
    QTemporaryDir dir;
};

void TestPosition::firstStepWaitsForItsRecord()
{
    CoreUnderTest t;
    t.core.RememberPosition(File().toStdString());
    QVERIFY(!t.core.Start());
    t.core.Command("90", true);
    // The drive is told to move only once the file says where the move may take it.
    t.Fire();
    QCOMPARE(t.port.writes.size(), std::size_t(2)); // coils off, the first step
    const auto moving = RecordIn(File());
    QVERIFY(moving && moving->moving && moving->lowest <= 0 && moving->highest >= 12);
    QCOMPARE(t.RunUntilIdle(), 11);
    QTRY_COMPARE(Contents(File()), Text({.step = 12}));
}

// From any record and toward any target, every record written can be read back: the count
// is held at the last reachable step, a doubt too wide to bound becomes "unknown".
void TestPosition::extremesStayReadable()
{
    constexpr std::int64_t r = SteppingController::ReachableSteps;
    using D = PositionRecord::Doubt;
    const PositionRecord starts[] = {{.step = r},
                                     {.step = -r, .phaseOffset = 3},
                                     {.step = 0,
                                      .moving = true,
                                      .lowest = -r,
                                      .highest = r,
                                      .doubt = D::Bounded,
                                      .doubtLow = -r,
                                      .doubtHigh = r},
                                     {.step = r - 1,
                                      .moving = true,
                                      .lowest = 0,
                                      .highest = r,
                                      .doubt = D::Bounded,
                                      .doubtLow = -1,
                                      .doubtHigh = 1}};
    for (const PositionRecord& start : starts) {
        for (const QByteArray target : {"8444249301319800", "-1e300", "8444249301319672.5"}) {
            QVERIFY(Plant(File(), Text(start)));
            CoreUnderTest t;
            QVERIFY(!t.core.RememberPosition(File().toStdString()).refused && !t.core.Start());
            t.core.Command(QString::fromLatin1(target), true);
            QTRY_VERIFY(t.core.State().moving || !t.core.State().uncertain);
            for (int tick = 0; tick < 40; ++tick)
                t.Fire();
            t.core.ShutDown();
            QVERIFY2(RecordIn(File()), Text(start) + " to " + target + ": " + Contents(File()));
        }
    }
}

void TestPosition::stoppedAtSpeed_data()
{
    QTest::addColumn<SpeedProfile>("profile");
    QTest::addColumn<int>("ticks"); // into a long move
    QTest::addColumn<bool>("quit"); // else the position is set there
    QTest::addColumn<bool>("uncertain");
    const SpeedProfile ramp{1000, 100, 2000};
    QTest::newRow("quit at speed") << ramp << 300 << true << true;
    QTest::newRow("set at speed") << ramp << 300 << false << true;
    QTest::newRow("quit on the first step") << ramp << 5 << true << false;
    QTest::newRow("quit, a step every tick") << SpeedProfile{} << 300 << true << false;
}

// A motor stopped outright above its start rate may run on or skip: its record says so.
void TestPosition::stoppedAtSpeed()
{
    QFETCH(SpeedProfile, profile);
    QFETCH(int, ticks);
    QFETCH(bool, quit);
    QFETCH(bool, uncertain);
    CoreUnderTest t;
    t.core.SetSpeedProfile(profile);
    QVERIFY(!t.core.RememberPosition(File().toStdString()).refused && !t.core.Start());
    t.core.Command("36000", true);
    for (int tick = 0; tick < ticks; ++tick)
        t.Fire();
    if (!quit) { // and the run at speed ends there: a step down is one step down
        QVERIFY(t.core.SetCurrentAngle(0));
        QTRY_VERIFY(!t.core.State().moving);
        QTRY_COMPARE(t.core.State().uncertain, uncertain);
        const std::size_t before = t.port.writes.size();
        t.core.Command("-7.5", true);
        t.RunUntilIdle();
        QCOMPARE(t.port.writes.size() - before, std::size_t(1));
        QCOMPARE(t.core.State().step, -1);
    }
    t.core.ShutDown();
    const auto after = RecordIn(File());
    QVERIFY(after && !after->moving);
    QCOMPARE(after->doubt != PositionRecord::Doubt::None, uncertain);
}

void TestPosition::geometryOfTheRecord_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<StepGeometry>("geometry"); // of this start
    QTest::addColumn<qint64>("step");
    QTest::addColumn<QString>("doubt"); // empty: certain
    QTest::addColumn<int>("coils");     // the byte a move's first tick writes at rest
    const StepGeometry half(48, true, false), geared(2048, false, false);
    QTest::newRow("none: the default's") << AtStep13 << StepGeometry() << qint64(13) << "" << 6;
    QTest::newRow("the same") << Text({.geometry = half, .step = 27, .phaseOffset = 6}) << half
                              << qint64(27) << "" << 2;
    // 97.5 degrees, coils 6: step 26 of the half steps, the same two coils.
    QTest::newRow("full to half steps")
        << AtStep13 << half << qint64(26) << "between 93.75 and 101.25 degrees" << 6;
    // 97.5 / (360 / 2048) = 554.67: the nearest step, and the coils the rotor holds.
    QTest::newRow("another count a turn")
        << AtStep13 << geared << qint64(555) << "between 97.20703125 and 97.734375 degrees" << 6;
}

// A record says what its steps were counted in; read under another geometry the angle is
// kept to the nearest step, the coils are kept, and the position is uncertain.
void TestPosition::geometryOfTheRecord()
{
    QFETCH(QByteArray, record);
    QFETCH(StepGeometry, geometry);
    QFETCH(qint64, step);
    QFETCH(QString, doubt);
    QFETCH(int, coils);
    QVERIFY(Plant(File(), record));
    CoreUnderTest t(0, geometry);
    const PositionMemory::Start start = t.core.RememberPosition(File().toStdString());
    QVERIFY(!start.refused && !t.core.Start());
    QCOMPARE(t.core.State().step, step);
    QCOMPARE(QString::fromStdString(t.core.State().doubt), doubt);
    const QString line = QString::fromStdString(start.line);
    QVERIFY2(line.contains(QString::fromStdString(geometry.Description())) == !doubt.isEmpty(),
             qPrintable(line));
    t.core.Command(t.core.State().AngleText().remove(" ?"), true);
    t.Fire();
    QCOMPARE(t.port.writes.back(), coils);
    t.core.ShutDown();
    const auto after = RecordIn(File());
    QVERIFY(after && after->geometry == geometry && after->step == step);
}

void TestPosition::stoppedMidMoveRestores()
{
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    qInfo("seed %u", seed);
    std::optional<PositionRecord> before;
    for (int run = 0; run < 50; ++run) {
        // Every other run ramped: killed while it speeds up, or brakes past where it turned.
        auto program = Start(
            {}, run % 2 ? QStringList{"--max-rate", "500", "--start-rate", "100", "--accel", "2000"}
                        : QStringList());
        QTcpSocket client;
        QVERIFY(ProgramUnderTest::Connect(client));
        const int target = (random.bounded(2) ? 1 : -1) * random.bounded(360, 1080);
        QVERIFY(program->Send(client, QByteArray::number(target)));
        QThread::usleep(random.bounded(60000)); // the moment of the kill is the case
        if (run % 3 == 0) { // a move turned round, beyond the range recorded so far
            QVERIFY(program->Send(client, QByteArray::number(-target)));
            QThread::usleep(random.bounded(30000));
        }
        // One run in four ends by SIGTERM: the exit records the exact place.
        const bool killed = run % 4 != 3;
        program->Signal(killed ? SIGKILL : SIGTERM);
        QVERIFY(program->WaitForExit());
        QVERIFY(killed || program->process.exitCode() == 0);
        const bool doubted = before && (before->doubt != PositionRecord::Doubt::None ||
                                        before->lowest != before->highest);
        // Standard error is written by a thread of its own, in order: a kill can beat it to
        // the start-up lines on a slow machine, and the last of them says the rest came.
        const bool told = !killed || program->errors.contains("stepping thread");
        QVERIFY(!told || program->errors.contains("uncertain") == doubted);
        if (before && told) // started where the file said
            QVERIFY2(
                program->errors.contains(
                    QString::fromStdString(FormatAngleText(before->step * 7.5, ".")) + " degrees"),
                qPrintable(program->errors));

        // Every step the trace saw lies inside what the file now says; the coils went on from
        // the restored phase (the replay fails on a jump).
        TraceReplay replay;
        replay.position = before ? before->step : 0;
        replay.Follow(program->writes);
        QVERIFY2(replay.valid, qPrintable(replay.fault));
        const auto after = RecordIn(File());
        if (!after && !before && !QFile::exists(File())) { // killed before the first record
            QCOMPARE(replay.position, 0);
            continue;
        }
        QVERIFY2(after, qPrintable(program->errors));
        QVERIFY(killed || !after->moving);
        // A killed run's trace may lack its last lines, so an at-rest record there need only
        // be where the run started or where one of its targets rests; after SIGTERM the trace
        // is whole and the record exact.
        const qint64 start = before ? before->step : 0;
        auto restsAt = [&](qint64 step) {
            for (const int angle : {target, -target})
                if (step == SteppingController::LowestRest(angle / 7.5) ||
                    step == SteppingController::HighestRest(angle / 7.5))
                    return true;
            return step == start;
        };
        // A disk slower than a second lets the motor go unrecorded, and says so.
        const bool unrecorded = program->errors.contains("moves without waiting");
        // The trace of a killed run may stop short of the move the record describes (its
        // writer runs at idle priority, and a busy machine gives it nothing for a while):
        // only a trace that reached the move's start can be held to the move's range.
        const bool traceBehind = killed && after->moving && !replay.visited.count(after->step);
        QVERIFY2(unrecorded || traceBehind ||
                     (after->moving
                          ? after->lowest <= replay.position && replay.position <= after->highest
                      : killed ? restsAt(after->step)
                               : after->step == replay.position),
                 qPrintable(QString("run %1 at %2: %3%4")
                                .arg(run)
                                .arg(replay.position)
                                .arg(QString::fromLatin1(Contents(File())), program->errors)));
        before = after;
    }
}

void TestPosition::injectedIntoTheSave_data()
{
    QTest::addColumn<QString>("strace");
    QTest::addColumn<QByteArray>("angle");
    QTest::addColumn<bool>("killed");
    QTest::addColumn<QByteArray>("after"); // the file at the end; at the start: AtStep13
    QTest::addColumn<int>("failures");     // lines that say the position is not recorded
    QTest::addColumn<int>("renames");      // -1: not counted
    auto kill = [](const char* call, const char* path) {
        return QString("-e trace=%1 -e inject=%1:signal=KILL -P %2").arg(call, path);
    };
    // A crash at each point of the save of the move's record leaves the old record or the new.
    const QByteArray moving = Text({.step = 13, .moving = true, .lowest = 13, .highest = 4800});
    QTest::newRow("killed before the write")
        << kill("write", "NEW") << QByteArray("36000") << true << AtStep13 << 0 << -1;
    QTest::newRow("killed after the write")
        << kill("fsync", "NEW") << QByteArray("36000") << true << AtStep13 << 0 << -1;
    QTest::newRow("killed after the flush")
        << kill("rename", "NEW") << QByteArray("36000") << true << AtStep13 << 0 << -1;
    QTest::newRow("killed after the rename")
        << kill("fsync", "DIR") << QByteArray("36000") << true << moving << 0 << -1;
    // A disk that fails: the motor goes on, one line for the outage (move, rest).
    QTest::newRow("disk full") << "-e inject=write:error=ENOSPC -P NEW" << QByteArray("180")
                               << false << AtStep13 << 1 << -1;
    QTest::newRow("read-only") << "-e inject=openat:error=EROFS -P NEW" << QByteArray("180")
                               << false << AtStep13 << 1 << -1;
    // A long move writes as it starts and as it ends; the exit has nothing new to say.
    QTest::newRow("a long move") << "-e trace=rename -P NEW" << QByteArray("36000") << false
                                 << Text({.step = 4800}) << 0 << 2;
}

void TestPosition::injectedIntoTheSave()
{
    QFETCH(QString, strace);
    QFETCH(QByteArray, angle);
    QFETCH(bool, killed);
    QFETCH(QByteArray, after);
    QFETCH(int, failures);
    QFETCH(int, renames);
    QVERIFY(Plant(File(), AtStep13));
    auto program = Start(strace);
    if (!program)
        QSKIP("strace cannot run here, or not natively (Debian package strace)");
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    QVERIFY(program->Send(client, angle));
    if (killed) {
        QVERIFY(program->WaitForExit(20000));
    } else {
        // Every step from 13 to the angle, and the first 0.
        QVERIFY(program->WaitForWrites(std::size_t(angle.toDouble() / 7.5) - 13 + 1, 60000));
        program->WaitUntilQuiet();
        QVERIFY(Stop(*program));
    }
    QCOMPARE(Contents(File()), after);
    QCOMPARE(program->errors.count("cannot record the position in " + File()), failures);
    if (renames >= 0)
        QCOMPARE(Contents(dir.filePath("strace.log")).count("rename("), renames);
}

void TestPosition::unusableFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("why");
    QTest::addColumn<QString>("strace");
    QTest::newRow("cut short") << AtStep13.left(40) << "cut short"
                               << "";
    QTest::newRow("edited") << QByteArray(AtStep13).replace("13", "31") << "checksum"
                            << "";
    QTest::newRow("cut at a line") << AtStep13.left(AtStep13.indexOf("check")) << "checksum"
                                   << "";
    QTest::newRow("newer") << QByteArray(AtStep13).replace("position 1\n", "position 9\n")
                           << "newer stepper-dial"
                           << "";
    QTest::newRow("not ours") << QByteArray("\n") << "not a stepper-dial"
                              << "";
    QTest::newRow("phase offset 4") << Text({.phaseOffset = 4}) << "out of range"
                                    << "";
    QTest::newRow("beyond reach") << Text({.step = std::int64_t(1) << 51}) << "out of range"
                                  << "";
    QTest::newRow("range without the step")
        << Text({.step = 9, .moving = true, .lowest = 10, .highest = 20}) << "out of range"
        << "";
    QTest::newRow("not allowed") << AtStep13 << "Permission denied"
                                 << "-e inject=openat:error=EACCES -P FILE";
}

void TestPosition::unusableFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, why);
    QFETCH(QString, strace);
    QVERIFY(Plant(File(), contents));
    for (const QStringList& more : {QStringList{}, QStringList{"--position", "45"}}) {
        auto program = Start(strace, more);
        if (!program)
            QSKIP("strace cannot run here, or not natively (Debian package strace)");
        QTcpSocket client;
        QVERIFY(ProgramUnderTest::Connect(client));
        if (more.isEmpty()) { // left as it is, however the motor moves
            QVERIFY(program->Send(client, "90"));
            QVERIFY(program->WaitForWrites(13));
            program->WaitUntilQuiet();
        }
        QVERIFY(Stop(*program));
        QCOMPARE(program->errors.count("cannot use the position file"), 1);
        QVERIFY2(program->errors.contains(why) &&
                     program->errors.contains("starting at 0 degrees, position unknown"),
                 qPrintable(program->errors));
        if (more.isEmpty())
            QCOMPARE(Contents(File()), contents);
    }
    // Once set, the bad file is kept aside. 45 degrees is step 6; the coils stay at step 0's
    // phase, which is now 6 + 2.
    QCOMPARE(Contents(File()), Text({.step = 6, .phaseOffset = 2}));
    QCOMPARE(Contents(File() + ".bad"), contents);
}

void TestPosition::guardedPath_data()
{
    QTest::addColumn<QString>("planted"); // what the path or FILE.new is made before the run
    QTest::addColumn<int>("status");      // -1: the program runs and moves
    QTest::addColumn<QString>("line");
    QTest::newRow("a directory") << "dir FILE" << 2 << "it is a directory";
    QTest::newRow("a FIFO") << "fifo FILE" << 2 << "it is a FIFO";
    QTest::newRow("a link") << "symlink FILE" << 2 << "it is a symbolic link";
    QTest::newRow("kept by another") << "program" << 1 << "another program (process ";
    QTest::newRow("a link as its lock") << "symlink LOCK" << 1 << "is a symbolic link; remove it";
    QTest::newRow("a directory as its lock") << "dir LOCK" << 1 << "is a directory; remove it";
    QTest::newRow("a lock another user left") << "user LOCK" << -1 << "";
    QTest::newRow("a link planted as the new record") << "symlink NEW" << -1 << "";
    QTest::newRow("a hard link planted as the new record") << "link NEW" << -1 << "";
}

// In a directory anyone may write, nothing the program did not make itself is written
// through, renamed or replaced, and one file keeps one program's motor.
void TestPosition::guardedPath()
{
    QFETCH(QString, planted);
    QFETCH(int, status);
    QFETCH(QString, line);
    QVERIFY(QFile(dir.path()).setPermissions(QFileDevice::Permissions(0x7777)));
    const QString victim = dir.filePath("victim");
    QFile file(victim);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(AtStep13) > 0 && file.flush());
    const QStringList how = planted.split(' ');
    const QString at =
        how.value(1) == "FILE" || how.size() == 1 ? File() : File() + '.' + how.value(1).toLower();
    std::unique_ptr<ProgramUnderTest> first;
    QStringList launcher;
    if (how[0] == "user") { // root's lock, then the service's user
        if (::geteuid() != 0)
            QSKIP("needs root to leave a lock of another user");
        QFile lock(at);
        QVERIFY(lock.open(QIODevice::WriteOnly) &&
                lock.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ReadGroup | QFileDevice::ReadOther));
        launcher = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    } else if (how[0] == "dir")
        QVERIFY(QDir().mkdir(at));
    else if (how[0] == "fifo")
        QCOMPARE(::mkfifo(at.toLocal8Bit(), 0666), 0);
    else if (how[0] == "symlink")
        QVERIFY(QFile::link(victim, at));
    else if (how[0] == "link")
        QCOMPARE(::link(victim.toLocal8Bit(), at.toLocal8Bit()), 0);
    else {
        // The first on another address, so the second meets the file, not a taken port.
        first = Start({}, {"--listen", "127.0.0.2"});
        QTRY_VERIFY(QFile::exists(File()));
    }
    auto program = Start({}, {"--listen", "127.0.0.1", "--position", "90"}, launcher);
    if (status >= 0) {
        QVERIFY(program->WaitForExit());
        QCOMPARE(program->process.exitCode(), status);
        QVERIFY2(program->errors.count(line) == 1, qPrintable(program->errors));
        if (first)
            QVERIFY(program->errors.contains(QString::number(first->process.processId())));
        QCOMPARE(QFileInfo(File()).isDir(), planted == "dir FILE");
        QVERIFY(!QFile::exists(File() + ".bad"));
    } else {
        QTcpSocket client;
        QVERIFY(ProgramUnderTest::Connect(client) && Stop(*program));
        QCOMPARE(Contents(File()), Text({.step = 12}));
        QVERIFY(!QFileInfo(File()).isSymLink());
    }
    QCOMPARE(Contents(victim), AtStep13);
}

QTEST_MAIN(TestPosition)
#include "tst_position.moc"
