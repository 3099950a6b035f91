// SPDX-License-Identifier: MIT
// The tick rule end to end through the real Form1: requested text in, coil bytes out.
#include "testsupport.h"

#include "window/formlabel.h"
#include <QLineEdit>
#include <QtTest>

using Bytes = std::vector<int>;
Q_DECLARE_METATYPE(Bytes)

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

private:
    // Puts the motor at a position by commanding its angle and running to a stop.
    static void MoveTo(FormUnderTest& t, const QString& angle)
    {
        t.form.Text1()->setText(angle);
        t.form.EnableSteppingTimer();
        t.RunUntilIdle();
    }
};

void TestStepping::startUpWritesOneZeroAndStaysIdle()
{
    FormUnderTest t;
    QVERIFY(t.port.writes.empty());
    QVERIFY(t.form.Form_Load());
    QCOMPARE(t.port.writes, Bytes{0});
    QVERIFY(!t.form.Drive().IsMoving());
    // "360" stands in the field, yet nothing moves until a message starts the timer.
    QCOMPARE(t.form.Text1()->text(), QString("360"));
    t.Fire();
    QCOMPARE(t.port.writes, Bytes{0});
    QCOMPARE(t.form.Drive().CurrentStep(), 0);
}

void TestStepping::moves_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<Bytes>("writes");
    QTest::addColumn<qint64>("end");
    QTest::addColumn<QString>("label");
    QTest::newRow("0 to 90") << "0"
                             << "90" << Bytes{6, 12, 9, 3, 6, 12, 9, 3, 6, 12, 9, 3} << qint64(12)
                             << "90";
    QTest::newRow("12 to 45") << "90"
                              << "45" << Bytes{9, 12, 6, 3, 9, 12} << qint64(6) << "45";
    QTest::newRow("50 from below stops under")
        << "0"
        << "50" << Bytes{6, 12, 9, 3, 6, 12} << qint64(6) << "45";
    QTest::newRow("50 from above stops over")
        << "90"
        << "50" << Bytes{9, 12, 6, 3, 9} << qint64(7) << "52.5";
    QTest::newRow("0 at 0 energises once") << "0"
                                           << "0" << Bytes{3} << qint64(0) << "0";
    QTest::newRow("letters read as 0") << "22.5"
                                       << "abc" << Bytes{12, 6, 3} << qint64(0) << "0";
    QTest::newRow("empty reads as 0") << "15"
                                      << "" << Bytes{6, 3} << qint64(0) << "0";
    QTest::newRow("blanks inside") << "0"
                                   << " 4 5" << Bytes{6, 12, 9, 3, 6, 12} << qint64(6) << "45";
    QTest::newRow("1,5 does not move") << "0"
                                       << "1,5" << Bytes{3} << qint64(0) << "0";
    QTest::newRow("360 is 48 steps exactly") << "352.5"
                                             << "360" << Bytes{3} << qint64(48) << "360";
    QTest::newRow("fraction under one step") << "0"
                                             << "3" << Bytes{3} << qint64(0) << "0";
}

void TestStepping::moves()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(Bytes, writes);
    QFETCH(qint64, end);
    QFETCH(QString, label);
    FormUnderTest t;
    QVERIFY(t.form.Form_Load());
    MoveTo(t, from);
    t.port.writes.clear();

    t.form.Text1()->setText(to);
    t.form.EnableSteppingTimer();
    const int ticks = t.RunUntilIdle();
    QCOMPARE(ticks, int(writes.size()));
    QCOMPARE(t.port.writes, writes);
    QCOMPARE(t.form.Drive().CurrentStep(), end);
    QCOMPARE(t.form.Label2()->text(), label);
    QVERIFY(!t.form.Drive().IsMoving());
}

void TestStepping::fractionalTargetFromAbove()
{
    FormUnderTest t;
    QVERIFY(t.form.Form_Load());
    MoveTo(t, "90");
    MoveTo(t, "50");
    QCOMPARE(t.form.Drive().CurrentStep(), 7);
    // The same angle once more moves one step further down, then no more.
    t.port.writes.clear();
    MoveTo(t, "50");
    QCOMPARE(t.form.Drive().CurrentStep(), 6);
    QCOMPARE(t.port.writes, Bytes{12});
    t.port.writes.clear();
    t.form.Text1()->setText("50");
    t.form.EnableSteppingTimer();
    QCOMPARE(t.RunUntilIdle(), 1);
    QCOMPARE(t.form.Drive().CurrentStep(), 6);
    QCOMPARE(t.port.writes, Bytes{12});
    QCOMPARE(t.form.Label2()->text(), QString("45"));
}

void TestStepping::unchangedPositionRewritesPattern()
{
    // Just under a fractional target: step up then back down, the same byte written again.
    FormUnderTest t;
    QVERIFY(t.form.Form_Load());
    MoveTo(t, "50");
    t.port.writes.clear();
    for (int i = 0; i < 3; ++i) {
        t.form.Winsock1_DataArrival("50");
        QCOMPARE(t.RunUntilIdle(), 1);
        QCOMPARE(t.form.Drive().CurrentStep(), 6);
    }
    QCOMPARE(t.port.writes, (Bytes{12, 12, 12}));
}

void TestStepping::negativePositionsKeepDrivingCoils()
{
    FormUnderTest t;
    QVERIFY(t.form.Form_Load());
    t.port.writes.clear();
    MoveTo(t, "-37.5");
    QCOMPARE(t.form.Drive().CurrentStep(), -5);
    QCOMPARE(t.port.writes, (Bytes{9, 12, 6, 3, 9}));
    QCOMPARE(t.form.Label2()->text(), QString("-37.5"));
    t.port.writes.clear();
    MoveTo(t, "7.5");
    QCOMPARE(t.port.writes, (Bytes{3, 6, 12, 9, 3, 6}));
}

void TestStepping::editingDuringMoveRetargets()
{
    FormUnderTest t;
    QVERIFY(t.form.Form_Load());
    t.form.Text1()->setText("90");
    t.form.EnableSteppingTimer();
    for (int i = 0; i < 4; ++i)
        t.Fire();
    QCOMPARE(t.form.Drive().CurrentStep(), 4);
    t.form.Text1()->setText("15");
    t.form.EnableSteppingTimer();
    QCOMPARE(t.RunUntilIdle(), 2);
    QCOMPARE(t.form.Drive().CurrentStep(), 2);
    QCOMPARE(t.clock->Starts(), 1); // one tick stream throughout
}

void TestStepping::editingWhileIdleMovesNothing()
{
    FormUnderTest t;
    QVERIFY(t.form.Form_Load());
    t.form.Text1()->setText("180");
    QVERIFY(!t.form.Drive().IsMoving());
    QCOMPARE(t.port.writes, Bytes{0});
}

void TestStepping::shutDownDeenergises()
{
    FormUnderTest t;
    QVERIFY(t.form.Form_Load());
    t.form.Text1()->setText("90");
    t.form.EnableSteppingTimer();
    t.Fire();
    t.form.ShutDown();
    QCOMPARE(t.port.writes, (Bytes{0, 6, 0}));
    QVERIFY(!t.form.Drive().IsMoving());
}

QTEST_MAIN(TestStepping)
#include "tst_stepping.moc"
