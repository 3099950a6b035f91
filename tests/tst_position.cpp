// SPDX-License-Identifier: MIT
// The remembered position: the record's text, a move that waits for its record, and the real
// program restarted after SIGTERM and SIGKILL, with crashes injected into the save (strace),
// a failing disk and unusable files.
#include "core/positionrecord.h"
#include "programsupport.h"
#include "testsupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

namespace {

QByteArray Contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Put(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

std::optional<PositionRecord> RecordIn(const QString& path)
{
    std::string why;
    return ParsePositionRecord(Contents(path).toStdString(), why);
}

QByteArray Text(const PositionRecord& record)
{
    return QByteArray::fromStdString(FormatPositionRecord(record));
}

// At rest at 97.5 degrees.
const PositionRecord AtStep13{.step = 13};

bool StraceRuns()
{
    return QProcess::execute("strace", {"-o", "/dev/null", "true"}) == 0;
}

// The program itself, when it runs under strace (which holds off signals meant for it, and
// whose death would leave it running).
pid_t ProgramPid(ProgramUnderTest& program)
{
    const QString children = QString("/proc/%1/task/%1/children").arg(program.process.processId());
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        if (const QByteArray pid = Contents(children).trimmed(); !pid.isEmpty())
            return pid_t(pid.split(' ').first().toInt());
        QThread::msleep(10);
    }
    return 0;
}

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
    void records_data();
    void records();
    void firstStepWaitsForItsRecord();
    void restartAfterSigtermIsExact();
    void killedMidMoveRestoresARange();
    void crashDuringSave_data();
    void crashDuringSave();
    void failingDisk_data();
    void failingDisk();
    void unusableFile_data();
    void unusableFile();
    void longMoveWritesAtItsEndsOnly();

private:
    QString File() const { return dir.filePath("position"); }
    // The program with the simulated port and the position file, under strace if given.
    std::unique_ptr<ProgramUnderTest> Start(QStringList strace = {}, QStringList more = {})
    {
        if (!strace.isEmpty())
            strace = QStringList{"strace", "-f"} +
                     (strace.contains("-o") ? QStringList{} : QStringList{"-o", "/dev/null"}) +
                     strace.replaceInStrings("NEW", File() + ".new")
                         .replaceInStrings("DIR", dir.path())
                         .replaceInStrings("FILE", File()) +
                     QStringList{"--"};
        return std::make_unique<ProgramUnderTest>(
            QStringList{"--simulate", "--headless", "--state", File()} + more, -1,
            std::vector<int>{}, false, strace);
    }
    // SIGTERM to the program, under strace or not; true on a normal exit with status 0.
    static bool Stop(ProgramUnderTest& program, bool traced)
    {
        ::kill(traced ? ProgramPid(program) : pid_t(program.process.processId()), SIGTERM);
        return program.WaitForExit() && program.process.exitCode() == 0;
    }
    QTemporaryDir dir;
};

void TestPosition::records_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("why"); // empty: a good record

    const PositionRecord uncertain{.step = -3,
                                   .phaseOffset = 2,
                                   .moving = true,
                                   .lowest = -400,
                                   .highest = 4800,
                                   .doubt = PositionRecord::Doubt::Bounded,
                                   .doubtLow = -2,
                                   .doubtHigh = 5};
    const QByteArray good = Text(AtStep13);
    QTest::newRow("at rest") << good << "";
    QTest::newRow("moving, in doubt") << Text(uncertain) << "";
    QTest::newRow("unknown") << Text({.doubt = PositionRecord::Doubt::Unknown}) << "";
    QTest::newRow("cut short") << good.left(good.size() - 4) << "cut short";
    QTest::newRow("cut at a line") << good.left(good.indexOf("check")) << "checksum";
    QTest::newRow("edited") << QByteArray(good).replace("position 13", "position 14") << "checksum";
    QTest::newRow("newer format") << QByteArray(good).replace("position 1\n", "position 2\n")
                                  << "newer stepper-dial";
    QTest::newRow("empty") << QByteArray() << "not a stepper-dial";
    QTest::newRow("phase offset 4") << Text({.phaseOffset = 4}) << "out of range";
    QTest::newRow("beyond reach") << Text({.step = std::int64_t(1) << 51}) << "out of range";
    QTest::newRow("range without the step")
        << Text({.step = 9, .moving = true, .lowest = 10, .highest = 20}) << "out of range";
}

void TestPosition::records()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, why);
    std::string reason;
    const auto record = ParsePositionRecord(text.toStdString(), reason);
    if (why.isEmpty()) {
        QVERIFY2(record, reason.c_str());
        QCOMPARE(Text(*record), text);
    } else {
        QVERIFY(!record);
        QVERIFY2(QString::fromStdString(reason).contains(why), reason.c_str());
    }
}

void TestPosition::firstStepWaitsForItsRecord()
{
    CoreUnderTest t;
    t.core.RememberPosition(File().toStdString());
    QVERIFY(t.core.Start());
    t.core.Winsock1_DataArrival("90");
    // The drive is told to move only once the file says where the move may take it.
    QTRY_VERIFY(t.core.IsMoving());
    const auto moving = RecordIn(File());
    QVERIFY(moving && moving->moving && moving->lowest <= 0 && moving->highest >= 12);
    QCOMPARE(t.RunUntilIdle(), 12);
    QTRY_COMPARE(Contents(File()), Text({.step = 12}));
}

void TestPosition::restartAfterSigtermIsExact()
{
    TraceReplay replay;
    {
        auto program = Start();
        QTcpSocket client;
        QVERIFY(program->StartMove(client, 200));
        QVERIFY(program->EndsWith(SIGTERM, 0));
        replay.Follow(program->writes);
        QVERIFY2(replay.valid, qPrintable(replay.fault));
    }
    const qint64 step = replay.position;
    auto program = Start();
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    QVERIFY(program->Send(client, QByteArray::number(double(step + 1) * 7.5)));
    QVERIFY(program->WaitForWrites(2));
    program->WaitUntilQuiet();
    QVERIFY2(program->errors.contains(
                 QString("restored from %1: %2 degrees (step %3)")
                     .arg(File(), QString::fromStdString(FormatAngleText(double(step) * 7.5, ".")))
                     .arg(step)),
             qPrintable(program->errors));
    // One step on from the restored place: the coils continue, no jump.
    QCOMPARE(program->Values(), (std::vector<int>{0, CoilPatterns[(step + 1) % 4]}));
}

void TestPosition::killedMidMoveRestoresARange()
{
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    qInfo("seed %u", seed);
    int uncertainStarts = 0;
    std::optional<PositionRecord> before;
    for (int run = 0; run < 50; ++run) {
        auto program = Start();
        QTcpSocket client;
        QVERIFY(ProgramUnderTest::Connect(client));
        const int target = (random.bounded(2) ? 1 : -1) * random.bounded(360, 1080);
        QVERIFY(program->Send(client, QByteArray::number(target)));
        QThread::usleep(random.bounded(60000)); // the moment of the kill is the case
        if (run % 3 == 0) { // a move turned round outside the range recorded so far
            QVERIFY(program->Send(client, QByteArray::number(-target)));
            QThread::usleep(random.bounded(30000));
        }
        program->Signal(SIGKILL);
        QVERIFY(program->WaitForExit());
        const bool doubted = before && (before->doubt != PositionRecord::Doubt::None ||
                                        (before->moving && before->lowest != before->highest));
        uncertainStarts += doubted;
        QCOMPARE(program->errors.contains("uncertain"), doubted);

        // Every step the trace saw lies inside what the file now says.
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
        if (after->moving)
            QVERIFY2(after->lowest <= replay.position && replay.position <= after->highest,
                     qPrintable(QString("run %1: at %2, recorded %3..%4")
                                    .arg(run)
                                    .arg(replay.position)
                                    .arg(after->lowest)
                                    .arg(after->highest)));
        else
            QCOMPARE(after->step, replay.position);
        before = after;
    }
    qInfo("%d of 50 starts were uncertain", uncertainStarts);
}

void TestPosition::crashDuringSave_data()
{
    QTest::addColumn<QStringList>("strace");
    QTest::addColumn<bool>("becomesNew");
    QTest::newRow("before the write")
        << QStringList{"-e", "trace=write", "-e", "inject=write:signal=KILL", "-P", "NEW"} << false;
    QTest::newRow("after the write")
        << QStringList{"-e", "trace=fsync", "-e", "inject=fsync:signal=KILL", "-P", "NEW"} << false;
    QTest::newRow("after the flush")
        << QStringList{"-e", "trace=rename", "-e", "inject=rename:signal=KILL", "-P", "NEW"}
        << false;
    QTest::newRow("after the rename")
        << QStringList{"-e", "trace=fsync", "-e", "inject=fsync:signal=KILL", "-P", "DIR"} << true;
}

void TestPosition::crashDuringSave()
{
    QFETCH(QStringList, strace);
    QFETCH(bool, becomesNew);
    if (!StraceRuns())
        QSKIP("strace cannot run here (Debian package strace)");
    Put(File(), Text(AtStep13));
    auto program = Start(strace);
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    QVERIFY(program->Send(client, "36000"));
    QVERIFY(program->WaitForExit(20000)); // killed in the middle of the move's record
    const PositionRecord moving{.step = 13, .moving = true, .lowest = 13, .highest = 4800};
    QCOMPARE(Contents(File()), Text(becomesNew ? moving : AtStep13));
}

void TestPosition::failingDisk_data()
{
    QTest::addColumn<QStringList>("strace");
    QTest::newRow("full") << QStringList{"-e", "trace=write", "-e", "inject=write:error=ENOSPC",
                                         "-P", "NEW"};
    QTest::newRow("read-only") << QStringList{
        "-e", "trace=openat", "-e", "inject=openat:error=EROFS", "-P", "NEW"};
}

void TestPosition::failingDisk()
{
    QFETCH(QStringList, strace);
    if (!StraceRuns())
        QSKIP("strace cannot run here (Debian package strace)");
    auto program = Start(strace);
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    QVERIFY(program->Send(client, "90"));
    QVERIFY(program->WaitForWrites(13)); // the motor is not held back by the disk
    program->WaitUntilQuiet();
    QVERIFY(Stop(*program, true));
    QCOMPARE(program->Values(1), (std::vector<int>{6, 12, 9, 3, 6, 12, 9, 3, 6, 12, 9, 3, 0}));
    // Three records failed (start, move, rest): one line for the outage.
    QCOMPARE(program->errors.count("cannot record the position in " + File()), 1);
    QVERIFY(!QFile::exists(File()));
}

void TestPosition::unusableFile_data()
{
    QTest::addColumn<QByteArray>("contents"); // empty: a directory
    QTest::addColumn<QStringList>("strace");
    QTest::addColumn<QString>("why");
    const QByteArray good = Text(AtStep13);
    QTest::newRow("cut short") << good.left(40) << QStringList{} << "cut short";
    QTest::newRow("edited") << QByteArray(good).replace("13", "31") << QStringList{} << "checksum";
    QTest::newRow("newer") << QByteArray(good).replace("position 1\n", "position 9\n")
                           << QStringList{} << "newer stepper-dial";
    QTest::newRow("a directory") << QByteArray() << QStringList{} << "is a directory";
    QTest::newRow("not allowed") << good << QStringList{"-e", "trace=openat",
                                                        "-e", "inject=openat:error=EACCES",
                                                        "-P", "FILE"}
                                 << "Permission denied";
}

void TestPosition::unusableFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(QStringList, strace);
    QFETCH(QString, why);
    if (!strace.isEmpty() && !StraceRuns())
        QSKIP("strace cannot run here (Debian package strace)");
    if (contents.isEmpty())
        QVERIFY(QDir().mkdir(File()));
    else
        Put(File(), contents);
    {
        // Left as it is, however the motor moves, until the position is set.
        auto program = Start(strace);
        QTcpSocket client;
        QVERIFY(ProgramUnderTest::Connect(client));
        QVERIFY(program->Send(client, "90"));
        QVERIFY(program->WaitForWrites(13));
        program->WaitUntilQuiet();
        QVERIFY(Stop(*program, !strace.isEmpty()));
        QCOMPARE(program->errors.count("cannot use the position file"), 1);
        QVERIFY2(program->errors.contains(why) &&
                     program->errors.contains("starting at 0 degrees, position unknown"),
                 qPrintable(program->errors));
        QCOMPARE(Contents(File()), contents);
    }
    auto program = Start(strace, {"--position", "45"});
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    // 45 degrees is step 6; the coils stay at step 0's phase, which is now 6 + 2.
    QTRY_COMPARE(Contents(File()), Text({.step = 6, .phaseOffset = 2}));
    QCOMPARE(QFileInfo(File() + ".bad").isDir(), contents.isEmpty());
    QCOMPARE(Contents(File() + ".bad"), contents);
    QVERIFY(Stop(*program, !strace.isEmpty()));
}

void TestPosition::longMoveWritesAtItsEndsOnly()
{
    if (!StraceRuns())
        QSKIP("strace cannot run here (Debian package strace)");
    const QString log = dir.filePath("strace.log");
    auto program =
        Start({"-o", log, "-e", "trace=fsync,fdatasync,rename", "-P", "NEW", "-P", "DIR"});
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    QVERIFY(program->Send(client, "36000"));
    QVERIFY(program->WaitForWrites(4801, 60000));
    program->WaitUntilQuiet();
    QVERIFY(Stop(*program, true));
    // The first start's record, the move's, the rest's; the exit has nothing new to say.
    const QByteArray calls = Contents(log);
    QCOMPARE(calls.count("rename("), 3);
    QCOMPARE(calls.count("fsync("), 6);
}

QTEST_MAIN(TestPosition)
#include "tst_position.moc"
