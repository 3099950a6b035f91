// SPDX-License-Identifier: MIT
// The requested-angle reading rule, the meaning of one read from the client, and the motor's
// steps a turn as an option gives them.
#include "core/dialcore.h"
#include "core/messagerule.h"

#include <QtTest>
#include <cfloat>
#include <cmath>

class TestNumberReader : public QObject {
    Q_OBJECT
private slots:
    void reads_data();
    void reads();
    void neverLeavesTheDoubleRange_data();
    void neverLeavesTheDoubleRange();
    void disconnectOnlyWhole_data();
    void disconnectOnlyWhole();
    void angleTextIsLatin1AndBounded();
    void stepsPerTurn();
};

void TestNumberReader::reads_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::newRow("whole") << "90" << 90.0;
    QTest::newRow("fraction") << "22.5" << 22.5;
    QTest::newRow("negative") << "-15" << -15.0;
    QTest::newRow("plus sign") << "+7.5" << 7.5;
    QTest::newRow("blanks between digits") << " 4 5" << 45.0;
    QTest::newRow("tab and line feed anywhere") << "\t1\n2 .\t5\n" << 12.5;
    QTest::newRow("blank after sign") << "- 30" << -30.0;
    QTest::newRow("trailing letters") << "90abc" << 90.0;
    QTest::newRow("comma ends the number") << "1,5" << 1.0;
    QTest::newRow("carriage return ends it") << "9\r0" << 9.0;
    QTest::newRow("line end after angle") << "90\r\n" << 90.0;
    QTest::newRow("leading carriage return") << "\r90" << 0.0;
    QTest::newRow("letters only") << "abc" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("blanks only") << " \t\n" << 0.0;
    QTest::newRow("sign only") << "-" << 0.0;
    QTest::newRow("two signs") << "--5" << 0.0;
    QTest::newRow("sign after digits") << "5-3" << 5.0;
    QTest::newRow("point only") << "." << 0.0;
    QTest::newRow("leading point") << ".5" << 0.5;
    QTest::newRow("negative leading point") << "-.25" << -0.25;
    QTest::newRow("trailing point") << "5." << 5.0;
    QTest::newRow("second point ends it") << "1.2.3" << 1.2;
    QTest::newRow("no exponent") << "1e5" << 1.0;
    QTest::newRow("no hex prefix") << "0x10" << 0.0;
    QTest::newRow("no VB hex prefix") << "&H10" << 0.0;
    QTest::newRow("leading zeros") << "000360" << 360.0;
    QTest::newRow("disconnect variant") << "disconnect\n" << 0.0;
    QTest::newRow("form feed is not a blank") << "\f5" << 0.0;
    QTest::newRow("non-breaking space is not a blank") << QString(QChar(0xA0)) + "5" << 0.0;
    QTest::newRow("arabic-indic digits are not digits") << QString(QChar(0x0665)) << 0.0;
    QTest::newRow("correctly rounded") << "0.1" << 0.1;
    QTest::newRow("many digits round once")
        << "2.00000000000000011102230246251565404236316680908203125" << 2.0000000000000004;
}

void TestNumberReader::reads()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(DialCore::ReadRequestedAngle(text), value);
}

void TestNumberReader::neverLeavesTheDoubleRange_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<double>("value");
    QTest::newRow("huge") << QByteArray(400, '9') << DBL_MAX;
    QTest::newRow("huge negative") << "-" + QByteArray(400, '9') << -DBL_MAX;
    QTest::newRow("huge with fraction") << QByteArray(400, '7') + ".5" << DBL_MAX;
    QTest::newRow("just above max")
        << QByteArray("17976931348623159") + QByteArray(292, '0') << DBL_MAX;
    QTest::newRow("vanishing") << "0." + QByteArray(400, '0') + "1" << 0.0;
    QTest::newRow("long zero run") << QByteArray(100000, '0') + "45" << 45.0;
}

void TestNumberReader::neverLeavesTheDoubleRange()
{
    QFETCH(QByteArray, text);
    QFETCH(double, value);
    const double read = DialCore::ReadRequestedAngle(QString::fromLatin1(text));
    QVERIFY(std::isfinite(read));
    QCOMPARE(read, value);
}

void TestNumberReader::disconnectOnlyWhole_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<bool>("isCommand");
    QTest::newRow("exact") << QByteArray("disconnect") << true;
    QTest::newRow("line feed") << QByteArray("disconnect\n") << false;
    QTest::newRow("crlf") << QByteArray("disconnect\r\n") << false;
    QTest::newRow("capital") << QByteArray("Disconnect") << false;
    QTest::newRow("longer") << QByteArray("disconnectX") << false;
    QTest::newRow("shorter") << QByteArray("disconnec") << false;
    QTest::newRow("with angle") << QByteArray("90disconnect") << false;
    QTest::newRow("embedded nul") << QByteArray("disconnect\0", 11) << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestNumberReader::disconnectOnlyWhole()
{
    QFETCH(QByteArray, received);
    QFETCH(bool, isCommand);
    QCOMPARE(IsDisconnectCommand(received), isCommand);
}

void TestNumberReader::angleTextIsLatin1AndBounded()
{
    const QByteArray bytes("\x00\xE9\xFF"
                           "7",
                           4);
    QCOMPARE(AngleTextFromBytes(bytes),
             QString::fromStdU16String({u'\0', u'\u00E9', u'\u00FF', u'7'}));

    QCOMPARE(AngleTextFromBytes(QByteArray(100000, '5')).size(), MaxAngleTextLength);
    QCOMPARE(AngleTextFromBytes(QByteArray(MaxAngleTextLength, '1')).size(), MaxAngleTextLength);
}

QTEST_GUILESS_MAIN(TestNumberReader)
#include "tst_numberreader.moc"

void TestNumberReader::stepsPerTurn()
{
    for (const double good : {4.0, 2037.8864, 1e6})
        QCOMPARE(ReadStepsPerTurn(QByteArray::number(good, 'f', 4).toStdString()), good);
    for (const char* bad : {"0", "-5", "abc", "1e400", "nan", "inf", "3.99", "1000000.5", "+200",
                            " 200", "200 ", "2e3", ""})
        QVERIFY2(!ReadStepsPerTurn(bad), bad);
}
