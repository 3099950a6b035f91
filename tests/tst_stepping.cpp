// SPDX-License-Identifier: MIT
// The tick rule end to end through the real DialCore: requested text in, coil bytes out.
#include "rampcheck.h"
#include "testsupport.h"

#include "core/angletext.h"
#include <QtTest>

using Bytes = std::vector<int>;
Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(SpeedProfile)
Q_DECLARE_METATYPE(StepGeometry)

class TestStepping : public QObject {
    Q_OBJECT
private slots:
    void startUpWritesOneZeroAndStaysIdle();
    void moves_data();
    void moves();
    void fractionalTargetFromAbove();
    void unchangedPositionRewritesPattern();
    void negativePositionsKeepDrivingCoils();
    void editingDuringMoveRetargets();
    void editingWhileIdleMovesNothing();
    void shutDownDeenergises();
    void settingThePositionKeepsTheCoils_data();
    void settingThePositionKeepsTheCoils();
    void ramps_data();
    void ramps();

private:
    // Puts the motor at a position by commanding its angle and running to a stop.
    static void MoveTo(CoreUnderTest& t, const QString& angle)
    {
        t.core.Command(angle, true);
        t.RunUntilIdle();
    }
};

void TestStepping::startUpWritesOneZeroAndStaysIdle()
{
    CoreUnderTest t;
    QVERIFY(t.port.writes.empty());
    QVERIFY(!t.core.Start());
    QCOMPARE(t.port.writes, Bytes{0});
    QVERIFY(!t.core.State().moving);
    // "360" stands in the field, yet nothing moves until a message starts the timer.
    QCOMPARE(t.core.State().requestedText, QString("360"));
    t.Fire();
    QCOMPARE(t.port.writes, Bytes{0});
    QCOMPARE(t.core.State().step, 0);
}

void TestStepping::moves_data()
{
    QTest::addColumn<StepGeometry>("geometry");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<Bytes>("writes"); // the first of them
    QTest::addColumn<qint64>("end");
    QTest::addColumn<QString>("label");
    const auto row = [](const char* name, const StepGeometry& geometry = {}) -> QTestData& {
        return QTest::newRow(name) << geometry;
    };
    row("0 to 90") << "0"
                   << "90" << Bytes{6, 12, 9, 3, 6, 12, 9, 3, 6, 12, 9, 3} << qint64(12) << "90";
    row("12 to 45") << "90"
                    << "45" << Bytes{9, 12, 6, 3, 9, 12} << qint64(6) << "45";
    row("50 from below stops under") << "0"
                                     << "50" << Bytes{6, 12, 9, 3, 6, 12} << qint64(6) << "45";
    row("50 from above stops over") << "90"
                                    << "50" << Bytes{9, 12, 6, 3, 9} << qint64(7) << "52.5";
    row("0 at 0 energises once") << "0"
                                 << "0" << Bytes{3} << qint64(0) << "0";
    row("letters read as 0") << "22.5"
                             << "abc" << Bytes{12, 6, 3} << qint64(0) << "0";
    row("empty reads as 0") << "15"
                            << "" << Bytes{6, 3} << qint64(0) << "0";
    row("blanks inside") << "0"
                         << " 4 5" << Bytes{6, 12, 9, 3, 6, 12} << qint64(6) << "45";
    row("1,5 does not move") << "0"
                             << "1,5" << Bytes{3} << qint64(0) << "0";
    row("360 is 48 steps exactly") << "352.5"
                                   << "360" << Bytes{3} << qint64(48) << "360";
    row("fraction under one step") << "0"
                                   << "3" << Bytes{3} << qint64(0) << "0";
    // Any motor: steps of its geometry, coils in its sequence, each step's true angle.
    const StepGeometry geared(2048, false, false), half(48, true, false);
    row("2048: 90", geared) << "0"
                            << "90" << Bytes{6, 12, 9, 3} << qint64(512) << "90";
    row("2048: down to 45.5 stops just over", geared)
        << "90"
        << "45.5" << Bytes{9, 12} << qint64(259) << "45.52734375";
    row("28BYJ-48's true ratio", StepGeometry(2037.8864, false, false))
        << "0"
        << "360" << Bytes{6} << qint64(2037)
        << QString::fromStdString(FormatAngleText(2037 * 360 / 2037.8864, "."));
    // 23.4 / 1.8 divides to just under 13: a whole step of the motor all the same.
    row("1.8 degrees", StepGeometry(200, false, false))
        << "0"
        << "23.4" << Bytes{6} << qint64(13) << "23.4";
    row("half steps", half) << "0"
                            << "90" << Bytes{2, 6, 4, 12, 8, 9, 1, 3} << qint64(24) << "90";
    row("half steps back", half) << "90"
                                 << "0" << Bytes{1, 9, 8, 12, 4, 6, 2, 3} << qint64(0) << "0";
    row("reversed", StepGeometry(48, false, true))
        << "0"
        << "90" << Bytes{9, 12, 6, 3} << qint64(12) << "90";
}

void TestStepping::moves()
{
    QFETCH(StepGeometry, geometry);
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(Bytes, writes);
    QFETCH(qint64, end);
    QFETCH(QString, label);
    CoreUnderTest t(0, geometry);
    QVERIFY(!t.core.Start());
    MoveTo(t, from);
    const qint64 start = t.core.State().step;
    t.port.writes.clear();

    t.core.Command(to, true);
    // A step a tick, a write a tick, and one tick where nothing moves.
    const int ticks = t.RunUntilIdle();
    QCOMPARE(ticks, int(std::max<qint64>(1, std::abs(end - start))));
    QCOMPARE(t.port.writes.size(), std::size_t(ticks));
    t.port.writes.resize(std::min(writes.size(), t.port.writes.size()));
    QCOMPARE(t.port.writes, writes);
    QCOMPARE(t.core.State().step, end);
    QCOMPARE(AngleText(t.core), label);
    QVERIFY(!t.core.State().moving);
}

void TestStepping::fractionalTargetFromAbove()
{
    CoreUnderTest t;
    QVERIFY(!t.core.Start());
    MoveTo(t, "90");
    MoveTo(t, "50");
    QCOMPARE(t.core.State().step, 7);
    // The same angle once more moves one step further down, then no more.
    t.port.writes.clear();
    MoveTo(t, "50");
    QCOMPARE(t.core.State().step, 6);
    QCOMPARE(t.port.writes, Bytes{12});
    t.port.writes.clear();
    t.core.Command("50", true);
    QCOMPARE(t.RunUntilIdle(), 1);
    QCOMPARE(t.core.State().step, 6);
    QCOMPARE(t.port.writes, Bytes{12});
    QCOMPARE(AngleText(t.core), QString("45"));
}

void TestStepping::unchangedPositionRewritesPattern()
{
    // Just under a fractional target: step up then back down, the same byte written again.
    CoreUnderTest t;
    QVERIFY(!t.core.Start());
    MoveTo(t, "50");
    t.port.writes.clear();
    for (int i = 0; i < 3; ++i) {
        t.core.Command("50", true);
        QCOMPARE(t.RunUntilIdle(), 1);
        QCOMPARE(t.core.State().step, 6);
    }
    QCOMPARE(t.port.writes, (Bytes{12, 12, 12}));
}

void TestStepping::negativePositionsKeepDrivingCoils()
{
    CoreUnderTest t;
    QVERIFY(!t.core.Start());
    t.port.writes.clear();
    MoveTo(t, "-37.5");
    QCOMPARE(t.core.State().step, -5);
    QCOMPARE(t.port.writes, (Bytes{9, 12, 6, 3, 9}));
    QCOMPARE(AngleText(t.core), QString("-37.5"));
    t.port.writes.clear();
    MoveTo(t, "7.5");
    QCOMPARE(t.port.writes, (Bytes{3, 6, 12, 9, 3, 6}));
}

void TestStepping::editingDuringMoveRetargets()
{
    CoreUnderTest t;
    QVERIFY(!t.core.Start());
    t.core.Command("90", true);
    for (int i = 0; i < 4; ++i)
        t.Fire();
    QCOMPARE(t.core.State().step, 4);
    t.core.Command("15", true);
    QCOMPARE(t.RunUntilIdle(), 2);
    QCOMPARE(t.core.State().step, 2);
    QCOMPARE(t.clock->Starts(), 1); // one tick stream throughout
}

void TestStepping::editingWhileIdleMovesNothing()
{
    CoreUnderTest t;
    QVERIFY(!t.core.Start());
    t.core.Command("180", false);
    QVERIFY(!t.core.State().moving);
    QCOMPARE(t.port.writes, Bytes{0});
}

void TestStepping::shutDownDeenergises()
{
    CoreUnderTest t;
    QVERIFY(!t.core.Start());
    t.core.Command("90", true);
    t.Fire();
    t.core.ShutDown();
    QCOMPARE(t.port.writes, (Bytes{0, 6, 0}));
    QVERIFY(!t.core.State().moving);
}

void TestStepping::settingThePositionKeepsTheCoils_data()
{
    QTest::addColumn<QString>("before"); // the move before the position is set
    QTest::addColumn<int>("ticks");      // of that move; -1: to its end
    QTest::addColumn<double>("set");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("next");
    QTest::addColumn<Bytes>("writes"); // from the set on
    // 97.5 is step 13 (byte 6); called 0, the next step up must be byte 12, not 6.
    QTest::newRow("zero at rest") << "97.5" << -1 << 0.0 << "0"
                                  << "7.5" << Bytes{12};
    // Stopped where it stands, at step 5 (byte 6); one step down from there is byte 3.
    QTest::newRow("zero mid-move") << "90" << 5 << 0.0 << "0"
                                   << "-7.5" << Bytes{3};
    // 10 degrees rests at step 1: the same text moves nothing (the pattern is rewritten).
    QTest::newRow("between steps") << "7.5" << -1 << 10.0 << "7.5"
                                   << "10" << Bytes{6};
    QTest::newRow("below zero") << "0" << -1 << -7.5 << "-7.5"
                                << "0" << Bytes{6};
}

void TestStepping::settingThePositionKeepsTheCoils()
{
    QFETCH(QString, before);
    QFETCH(int, ticks);
    QFETCH(double, set);
    QFETCH(QString, shown);
    QFETCH(QString, next);
    QFETCH(Bytes, writes);
    CoreUnderTest t;
    QVERIFY(!t.core.Start());
    t.core.Command(before, true);
    for (int tick = 0; tick != ticks && t.core.State().moving; ++tick)
        t.Fire();
    const std::size_t mark = t.port.writes.size();
    QVERIFY(t.core.SetCurrentAngle(set));
    QTRY_VERIFY(!t.core.State().moving);
    QCOMPARE(AngleText(t.core), shown);
    QCOMPARE(t.core.State().requestedText, QString::fromStdString(FormatAngleText(set, ".")));
    t.core.Command(next, true);
    t.RunUntilIdle();
    QCOMPARE(Bytes(t.port.writes.begin() + qsizetype(mark), t.port.writes.end()), writes);
}

void TestStepping::ramps_data()
{
    QTest::addColumn<SpeedProfile>("profile");
    QTest::addColumn<QString>("first");
    QTest::addColumn<int>("tick"); // when `then` is sent: mid-move, or after the motor stood
    QTest::addColumn<QString>("then");
    QTest::addColumn<qint64>("end");
    QTest::addColumn<int>("turns");   // a move that can brake in time never passes its target
    QTest::addColumn<int>("fastest"); // ticks between steps at the top speed reached
    // At 500, 100 and 2000 the top rate comes 60 steps into a run, at about tick 200.
    const SpeedProfile w{500, 100, 2000};
    QTest::newRow("short") << w << "90" << -1 << "" << qint64(12) << 0 << 6;
    QTest::newRow("long") << w << "3600" << -1 << "" << qint64(480) << 0 << 2;
    QTest::newRow("turned speeding up") << w << "3600" << 40 << "-45" << qint64(-6) << 1 << 5;
    QTest::newRow("turned at the top") << w << "3600" << 700 << "0" << qint64(0) << 1 << 2;
    QTest::newRow("pushed on braking") << w << "90" << 65 << "180" << qint64(24) << 0 << 4;
    QTest::newRow("too near to brake") << w << "3600" << 300 << "832.5" << qint64(111) << 1 << 2;
    QTest::newRow("back after a stop") << w << "90" << 200 << "50" << qint64(7) << 1 << 6;
    QTest::newRow("start at the top")
        << SpeedProfile{250, 250, 0} << "90" << -1 << "" << qint64(12) << 0 << 4;
    QTest::newRow("between whole ticks")
        << SpeedProfile{400, 300, 5000} << "-90" << -1 << "" << qint64(-12) << 0 << 3;
}

void TestStepping::ramps()
{
    QFETCH(SpeedProfile, profile);
    QFETCH(QString, first);
    QFETCH(int, tick);
    QFETCH(QString, then);
    CoreUnderTest t;
    t.core.SetSpeedProfile(profile);
    QVERIFY(!t.core.Start());
    t.core.Command(first, true);
    std::vector<RampStep> steps;
    std::size_t moveStart = 0; // the first step of the last move
    int turns = 0;
    std::int64_t fastest = 1000;
    // Ticks fired, and so time on the hand-fired clock, stand still while the motor does.
    for (int turn = 0; turn < 20000 && (t.core.State().moving || turn <= tick); ++turn) {
        if (!t.core.State().moving)
            moveStart = steps.size();
        if (turn == tick)
            t.core.Command(then, true);
        const qint64 before = t.core.State().step;
        t.Fire();
        const int step = int(t.core.State().step - before);
        if (step == 0)
            continue;
        QVERIFY(step == 1 || step == -1);
        QCOMPARE(t.port.writes.back(), int(StepGeometry().CoilPattern(int(before + step))));
        const std::int64_t now = t.clock->Now() / SteppingClockGrid::Period;
        turns += !steps.empty() && steps.back().direction != step;
        fastest = steps.empty() ? fastest : std::min(fastest, now - steps.back().tick);
        steps.push_back({now, step});
    }
    QCOMPARE(RampFault(steps, profile), std::string());
    QVERIFY(!t.core.State().moving);
    QTEST(qint64(t.core.State().step), "end");
    QCOMPARE(t.port.writes.size(), steps.size() + 1); // a write only with a step
    QTEST(turns, "turns");
    QTEST(int(fastest), "fastest");
    // The stepping thread's own counts: every tick and step, each interval in its bucket.
    const TimingCounts timing = t.core.Timing();
    QCOMPARE(timing.steps, steps.size());
    QCOMPARE(qint64(timing.ticks), t.clock->Now() / SteppingClockGrid::Period);
    std::array<std::uint64_t, IntervalBoundsNs.size() + 1> intervals{};
    for (std::size_t i = moveStart + 1; i < steps.size(); ++i)
        ++intervals[BucketOf(IntervalBoundsNs,
                             (steps[i].tick - steps[i - 1].tick) * SteppingClockGrid::Period)];
    QVERIFY(timing.intervals == intervals);
}

QTEST_MAIN(TestStepping)
#include "tst_stepping.moc"
