// SPDX-License-Identifier: MIT
// The remembered position: the record's text, a move that waits for its record, and the real
// program restarted after SIGTERM and SIGKILL, with crashes and failures injected into the
// save (strace) and unusable files.
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

std::optional<PositionRecord> RecordIn(const QString& path)
{
    std::string why;
    return ParsePositionRecord(Contents(path).toStdString(), why);
}

QByteArray Text(const PositionRecord& record)
{
    return QByteArray::fromStdString(FormatPositionRecord(record));
}

const QByteArray AtStep13 = Text({.step = 13}); // at rest at 97.5 degrees

// The program itself under strace, which holds off signals meant for it.
pid_t ProgramPid(ProgramUnderTest& program)
{
    const QString children = QString("/proc/%1/task/%1/children").arg(program.process.processId());
    for (int tries = 0; tries < 1000; ++tries, QThread::msleep(10))
        if (const QByteArray pid = Contents(children).trimmed(); !pid.isEmpty())
            return pid_t(pid.split(' ').first().toInt());
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
    void injectedIntoTheSave_data();
    void injectedIntoTheSave();
    void unusableFile_data();
    void unusableFile();

private:
    QString File() const { return dir.filePath("position"); }
    // The program with the simulated port and the position file, under strace if given; NEW,
    // DIR and FILE in its arguments name the new record, its directory and the file.
    std::unique_ptr<ProgramUnderTest> Start(QStringList strace = {}, QStringList more = {})
    {
        if (!strace.isEmpty()) {
            if (QProcess::execute("strace", {"-o", "/dev/null", "true"}) != 0)
                return nullptr;
            strace = QStringList{"strace", "-f", "-o", dir.filePath("strace.log")} +
                     strace.replaceInStrings("NEW", File() + ".new")
                         .replaceInStrings("DIR", dir.path())
                         .replaceInStrings("FILE", File()) +
                     QStringList{"--"};
        }
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
    QTest::newRow("moving, in doubt") << Text({.step = -3,
                                               .phaseOffset = 2,
                                               .moving = true,
                                               .lowest = -400,
                                               .highest = 4800,
                                               .doubt = PositionRecord::Doubt::Bounded,
                                               .doubtLow = -2,
                                               .doubtHigh = 5})
                                      << "";
    QTest::newRow("unknown") << Text({.doubt = PositionRecord::Doubt::Unknown}) << "";
    QTest::newRow("cut at a line") << AtStep13.left(AtStep13.indexOf("check")) << "checksum";
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
    QCOMPARE(record ? Text(*record) : QByteArray(), why.isEmpty() ? text : QByteArray());
    QVERIFY2(QString::fromStdString(reason).contains(why), reason.c_str());
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
    auto program = Start();
    QTcpSocket client;
    QVERIFY(program->StartMove(client, 200));
    QVERIFY(program->EndsWith(SIGTERM, 0));
    replay.Follow(program->writes);
    QVERIFY2(replay.valid, qPrintable(replay.fault));
    const qint64 step = replay.position;
    program = Start();
    QTcpSocket next;
    QVERIFY(ProgramUnderTest::Connect(next));
    QVERIFY(program->Send(next, QByteArray::number(double(step + 1) * 7.5)));
    QVERIFY(program->WaitForWrites(2));
    program->WaitUntilQuiet();
    const QString degrees = QString::fromStdString(FormatAngleText(double(step) * 7.5, "."));
    QVERIFY2(program->errors.contains(
                 QString("restored from %1: %2 degrees (step %3)").arg(File(), degrees).arg(step)),
             qPrintable(program->errors));
    // One step on from the restored place: the coils continue, no jump.
    QCOMPARE(program->Values(), (std::vector<int>{0, CoilPatterns[(step + 1) % 4]}));
}

void TestPosition::killedMidMoveRestoresARange()
{
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    qInfo("seed %u", seed);
    std::optional<PositionRecord> before;
    for (int run = 0; run < 50; ++run) {
        auto program = Start();
        QTcpSocket client;
        QVERIFY(ProgramUnderTest::Connect(client));
        const int target = (random.bounded(2) ? 1 : -1) * random.bounded(360, 1080);
        QVERIFY(program->Send(client, QByteArray::number(target)));
        QThread::usleep(random.bounded(60000)); // the moment of the kill is the case
        if (run % 3 == 0) { // a move turned round, beyond the range recorded so far
            QVERIFY(program->Send(client, QByteArray::number(-target)));
            QThread::usleep(random.bounded(30000));
        }
        program->Signal(SIGKILL);
        QVERIFY(program->WaitForExit());
        const bool doubted = before && (before->doubt != PositionRecord::Doubt::None ||
                                        before->lowest != before->highest);
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
        QVERIFY2(after->moving
                     ? after->lowest <= replay.position && replay.position <= after->highest
                     : after->step == replay.position,
                 qPrintable(QString("run %1 at %2: %3")
                                .arg(run)
                                .arg(replay.position)
                                .arg(QString::fromLatin1(Contents(File())))));
        before = after;
    }
}

void TestPosition::injectedIntoTheSave_data()
{
    QTest::addColumn<QStringList>("strace");
    QTest::addColumn<QByteArray>("angle");
    QTest::addColumn<bool>("killed");
    QTest::addColumn<QByteArray>("after"); // the file at the end; at the start: AtStep13
    QTest::addColumn<int>("failures");     // lines that say the position is not recorded
    QTest::addColumn<int>("renames");      // -1: not counted
    auto kill = [](const char* call, const char* path) {
        return QStringList{"-e", QString("trace=") + call,
                           "-e", QString("inject=%1:signal=KILL").arg(call),
                           "-P", path};
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
    QTest::newRow("disk full") << QStringList{"-e", "inject=write:error=ENOSPC", "-P", "NEW"}
                               << QByteArray("180") << false << AtStep13 << 1 << -1;
    QTest::newRow("read-only") << QStringList{"-e", "inject=openat:error=EROFS", "-P", "NEW"}
                               << QByteArray("180") << false << AtStep13 << 1 << -1;
    // A long move writes as it starts and as it ends; the exit has nothing new to say.
    QTest::newRow("a long move") << QStringList{"-e", "trace=rename", "-P", "NEW"}
                                 << QByteArray("36000") << false << Text({.step = 4800}) << 0 << 2;
}

void TestPosition::injectedIntoTheSave()
{
    QFETCH(QStringList, strace);
    QFETCH(QByteArray, angle);
    QFETCH(bool, killed);
    QFETCH(QByteArray, after);
    QFETCH(int, failures);
    QFETCH(int, renames);
    QFile file(File());
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(AtStep13) > 0);
    file.close();
    auto program = Start(strace);
    if (!program)
        QSKIP("strace cannot run here (Debian package strace)");
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    QVERIFY(program->Send(client, angle));
    if (killed) {
        QVERIFY(program->WaitForExit(20000));
    } else {
        // Every step from 13 to the angle, and the first 0.
        QVERIFY(program->WaitForWrites(std::size_t(angle.toDouble() / 7.5) - 13 + 1, 60000));
        program->WaitUntilQuiet();
        QVERIFY(Stop(*program, true));
    }
    QCOMPARE(Contents(File()), after);
    QCOMPARE(program->errors.count("cannot record the position in " + File()), failures);
    if (renames >= 0)
        QCOMPARE(Contents(dir.filePath("strace.log")).count("rename("), renames);
}

void TestPosition::unusableFile_data()
{
    QTest::addColumn<QByteArray>("contents"); // empty: a directory
    QTest::addColumn<QStringList>("strace");
    QTest::addColumn<QString>("why");
    QTest::newRow("cut short") << AtStep13.left(40) << QStringList{} << "cut short";
    QTest::newRow("edited") << QByteArray(AtStep13).replace("13", "31") << QStringList{}
                            << "checksum";
    QTest::newRow("newer") << QByteArray(AtStep13).replace("position 1\n", "position 9\n")
                           << QStringList{} << "newer stepper-dial";
    QTest::newRow("a directory") << QByteArray() << QStringList{} << "is a directory";
    QTest::newRow("not allowed") << AtStep13
                                 << QStringList{"-e", "inject=openat:error=EACCES", "-P", "FILE"}
                                 << "Permission denied";
}

void TestPosition::unusableFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(QStringList, strace);
    QFETCH(QString, why);
    QFile file(File());
    QVERIFY(contents.isEmpty() ? QDir().mkdir(File())
                               : file.open(QIODevice::WriteOnly) && file.write(contents) > 0);
    file.close();
    for (const QStringList& more : {QStringList{}, QStringList{"--position", "45"}}) {
        auto program = Start(strace, more);
        if (!program)
            QSKIP("strace cannot run here (Debian package strace)");
        QTcpSocket client;
        QVERIFY(ProgramUnderTest::Connect(client));
        if (more.isEmpty()) { // left as it is, however the motor moves
            QVERIFY(program->Send(client, "90"));
            QVERIFY(program->WaitForWrites(13));
            program->WaitUntilQuiet();
        }
        QVERIFY(Stop(*program, !strace.isEmpty()));
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
    QCOMPARE(QFileInfo(File() + ".bad").isDir(), contents.isEmpty());
    QCOMPARE(Contents(File() + ".bad"), contents);
}

QTEST_MAIN(TestPosition)
#include "tst_position.moc"
