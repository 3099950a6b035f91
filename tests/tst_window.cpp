// SPDX-License-Identifier: MIT
// The operator window as designed, over a DialCore: the controls found by name, the needle
// to the float, the angle text, and renderings to look at.
#include "core/angletext.h"
#include "testsupport.h"
#include "window/angledial.h"
#include "window/formlabel.h"
#include "window/twips.h"

#include <QAction>
#include <QDir>
#include <QFontInfo>
#include <QLineEdit>
#include <QMenu>
#include <QTemporaryDir>
#include <QtTest>

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void openingState();
    void homeNowFromTheDialsMenu();
    void controlsWhereDesigned_data();
    void controlsWhereDesigned();
    void labelFonts();
    void captionsReadLeftToRight_data();
    void captionsReadLeftToRight();
    void needleTips_data();
    void needleTips();
    void angleText_data();
    void angleText();
    void labelFollowsSteps();
    void uncertainPositionIsMarkedUntilZeroed();
    void viewFollowsTheSteppingThread();
    void renderings();

private:
    static int Px(const Form1& form, double twips)
    {
        return TwipsToPixels(twips, form.logicalDpiY());
    }
};

void TestWindow::openingState()
{
    FormUnderTest t;
    QVERIFY(!t.core.Start());
    t.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&t.form));
    t.form.activateWindow();
    QCOMPARE(t.form.windowTitle(), QString("Form1"));
    QCOMPARE(t.Caption("Label4"), QString("Off line"));
    QCOMPARE(t.Text1()->text(), QString("360"));
    QCOMPARE(t.Caption("Label2"), QString("0"));
    QCOMPARE(t.Caption("Label1"), QString::fromUtf8(":זוית במעלות"));
    QCOMPARE(t.Caption("Label3"), QString::fromUtf8(":כיוון המנוע עכשיו"));
    // 12 and 18 bytes in the 8-bit Hebrew code page: one byte a character.
    QCOMPARE(t.Caption("Label1").size(), 12);
    QCOMPARE(t.Caption("Label3").size(), 18);
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(t.Text1()));
    // The text box is the only control that takes the focus.
    for (QWidget* child : t.form.findChildren<QWidget*>())
        if (child != t.Text1())
            QCOMPARE(child->focusPolicy(), Qt::NoFocus);
}

void TestWindow::controlsWhereDesigned_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRectF>("twips");
    QTest::newRow("Label4") << "Label4" << QRectF(120, 120, 855, 375);
    QTest::newRow("Text1") << "Text1" << QRectF(960, 120, 495, 375);
    QTest::newRow("Label1") << "Label1" << QRectF(1560, 120, 1815, 375);
    QTest::newRow("Label2") << "Label2" << QRectF(120, 3600, 855, 375);
    QTest::newRow("Label3") << "Label3" << QRectF(960, 3600, 2415, 375);
    QTest::newRow("Shape1") << "Shape1" << QRectF(240, 600, 2895, 2775);
    QTest::newRow("client area") << "Form1" << QRectF(0, 0, 3450, 4035);
}

void TestWindow::controlsWhereDesigned()
{
    QFETCH(QString, name);
    QFETCH(QRectF, twips);
    FormUnderTest t;
    const std::map<QString, QWidget*> controls{{"Label1", t.Find<FormLabel>("Label1")},
                                               {"Label2", t.Find<FormLabel>("Label2")},
                                               {"Label3", t.Find<FormLabel>("Label3")},
                                               {"Label4", t.Find<FormLabel>("Label4")},
                                               {"Text1", t.Text1()},
                                               {"Shape1", t.Find("Shape1")},
                                               {"Form1", &t.form}};
    QWidget* control = controls.at(name);
    const QRect expected(Px(t.form, twips.left()), Px(t.form, twips.top()),
                         Px(t.form, twips.width()), Px(t.form, twips.height()));
    QCOMPARE(name == "Form1" ? QRect(QPoint(0, 0), control->size()) : control->geometry(),
             expected);
}

void TestWindow::labelFonts()
{
    FormUnderTest t;
    const std::vector<std::pair<FormLabel*, double>> labels{{t.Find<FormLabel>("Label4"), 12},
                                                            {t.Find<FormLabel>("Label1"), 18},
                                                            {t.Find<FormLabel>("Label2"), 15.75},
                                                            {t.Find<FormLabel>("Label3"), 15.75}};
    for (const auto& [label, points] : labels) {
        QCOMPARE(label->font().family(), QString("David"));
        QCOMPARE(label->font().pointSizeF(), points);
        QVERIFY(label->font().bold());
        QVERIFY(!label->font().italic());
        // David, or the Hebrew face that stands in for it, is what is drawn.
        const QString drawn = QFontInfo(label->font()).family();
        QVERIFY2(drawn.contains("David"), qPrintable(drawn));
    }
    QCOMPARE(t.Text1()->font(), QApplication::font(t.Text1()));
}

// Columns of a label's rendering that hold ink.
static std::vector<bool> InkColumns(FormLabel* label)
{
    const QImage image = label->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb background = image.pixel(image.width() - 1, image.height() - 1);
    std::vector<bool> ink(image.width(), false);
    for (int x = 0; x < image.width(); ++x)
        for (int y = 0; y < image.height(); ++y)
            if (qGray(image.pixel(x, y)) < qGray(background) - 80)
                ink[x] = true;
    return ink;
}

void TestWindow::captionsReadLeftToRight_data()
{
    QTest::addColumn<int>("which");
    QTest::newRow("Label1") << 1;
    QTest::newRow("Label3") << 3;
}

void TestWindow::captionsReadLeftToRight()
{
    QFETCH(int, which);
    FormUnderTest t;
    FormLabel* caption = which == 1 ? t.Find<FormLabel>("Label1") : t.Find<FormLabel>("Label3");
    const std::vector<bool> whole = InkColumns(caption);

    // The colon alone, in the same label, marks where the colon must stand.
    FormLabel colon(":", &t.form);
    colon.setFont(caption->font());
    colon.setGeometry(caption->geometry());
    const std::vector<bool> alone = InkColumns(&colon);
    const auto first = std::find(alone.begin(), alone.end(), true) - alone.begin();
    const auto last = std::find(alone.begin() + first, alone.end(), false) - alone.begin();
    QVERIFY(first < last);
    QVERIFY2(std::equal(alone.begin(), alone.begin() + last + 1, whole.begin()),
             "the caption does not start with its colon on the left");
    // Hebrew words follow to the right of it.
    QVERIFY(std::count(whole.begin() + last + 1, whole.end(), true) > 20);
}

void TestWindow::needleTips_data()
{
    QTest::addColumn<double>("degrees");
    QTest::addColumn<double>("dx"); // tip relative to the pivot (1700, 2000)
    QTest::addColumn<double>("dy");
    QTest::addColumn<double>("tolerance");
    // The factor 3.14 makes the needle fall just short of the true directions.
    QTest::newRow("0") << 0.0 << 1200.0 << 0.0 << 0.0;
    QTest::newRow("90") << 90.0 << 0.9555 << 1199.9996 << 0.0005;
    QTest::newRow("-90") << -90.0 << 0.9555 << -1199.9996 << 0.0005;
    QTest::newRow("180") << 180.0 << -1199.9985 << 1.9112 << 0.0005;
    QTest::newRow("360") << 360.0 << 1199.9939 << -3.8224 << 0.0005;
}

void TestWindow::needleTips()
{
    QFETCH(double, degrees);
    QFETCH(double, dx);
    QFETCH(double, dy);
    QFETCH(double, tolerance);
    NeedleLine line;
    line.ShowNeedleAngle(degrees);
    QCOMPARE(line.X1, 1700.0f);
    QCOMPARE(line.Y1, 2000.0f);
    QVERIFY2(std::fabs(line.X2 - (1700 + dx)) <= tolerance,
             qPrintable(QString::number(line.X2, 'f', 5)));
    QVERIFY2(std::fabs(line.Y2 - (2000 + dy)) <= tolerance,
             qPrintable(QString::number(line.Y2, 'f', 5)));
}

void TestWindow::angleText_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<double>("degrees");
    QTest::addColumn<QString>("text");
    const std::vector<std::tuple<double, QString, QString>> rows{
        {0, "0", "0"},
        {7.5, "7.5", "7,5"},
        {45, "45", "45"},
        {352.5, "352.5", "352,5"},
        {-15, "-15", "-15"},
        {-7.5, "-7.5", "-7,5"},
        {7500, "7500", "7500"},
        {999997.5, "999997.5", "999997,5"},
        {1234567.5, "1234567.5", "1234567,5"},
        {-0.0, "0", "0"}};
    for (const auto& [degrees, c, german] : rows) {
        QTest::addRow("C %s", qPrintable(c)) << "C" << degrees << c;
        QTest::addRow("de %s", qPrintable(german)) << "de_DE" << degrees << german;
    }
}

void TestWindow::angleText()
{
    QFETCH(QString, locale);
    QFETCH(double, degrees);
    QFETCH(QString, text);
    const QLocale previous;
    QLocale::setDefault(QLocale(locale));
    FormUnderTest t;
    QLocale::setDefault(previous);
    QVERIFY(!t.core.Start());
    QVERIFY(t.core.SetCurrentAngle(degrees));
    t.Fire(); // the stepping thread takes the position
    QTRY_COMPARE(t.Caption("Label2"), text);
}

void TestWindow::labelFollowsSteps()
{
    FormUnderTest t;
    QVERIFY(!t.core.Start());
    t.Text1()->setText("90");
    t.core.Command(t.core.State().requestedText, true);
    for (const char* shown : {"7.5", "15", "22.5", "30", "37.5", "45", "52.5"}) {
        t.Fire();
        QTRY_COMPARE(t.Caption("Label2"), QString(shown));
    }
    t.RunUntilIdle();
    QTRY_COMPARE(t.Caption("Label2"), QString("90"));
}

void TestWindow::uncertainPositionIsMarkedUntilZeroed()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("position");
    QFile bad(file);
    QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("\n") == 1); // the position is unknown
    bad.close();
    FormUnderTest t;
    QVERIFY(!t.core.RememberPosition(file.toStdString()).refused);
    QVERIFY(!t.core.Start());
    QCOMPARE(t.Caption("Label2"), QString("0 ?"));
    t.Fire(); // the stepping thread runs
    // A right-click on the dial opens its menu; the operator picks "The needle is at zero".
    t.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&t.form));
    QStringList offered;
    QTimer pick;
    connect(&pick, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        pick.stop();
        for (QAction* action : menu->actions())
            offered << action->objectName();
        menu->setActiveAction(t.Find<QAction>("ZeroPosition"));
        QTest::keyClick(menu, Qt::Key_Return);
    });
    pick.start(10);
    QTest::mouseClick(t.form.windowHandle(), Qt::RightButton, {},
                      QPoint(Px(t.form, 1687), Px(t.form, 1987)));
    QTRY_COMPARE(offered, (QStringList{"SetPosition", "ZeroPosition"}));
    QTRY_COMPARE(t.Caption("Label2"), QString("0"));
    QTRY_COMPARE(t.Text1()->text(), QString("0"));
    // Recorded although the count stays 0: the doubt is gone from the file too.
    QTRY_VERIFY(QFileInfo(file).size() > 1 && QFileInfo(file + ".bad").size() == 1);
}

void TestWindow::viewFollowsTheSteppingThread()
{
    RecordingPort port;
    DialCore core(port, MakeSteppingClock(), ListenerOptions{.port = 0});
    Form1 form(core);
    QVERIFY(!core.Start());
    core.StartStepping();
    form.findChild<QLineEdit*>("Text1")->setText("-90");
    core.Command(core.State().requestedText, true);
    const auto label2 = [&] { return form.findChild<FormLabel*>("Label2")->text(); };
    QTRY_COMPARE(label2(), QString("-90"));
    QVERIFY(!core.State().moving);
    // The needle points straight up from the pivot.
    const QImage image = form.grab().toImage();
    QVERIFY(qGray(image.pixel(Px(form, 1700), Px(form, 1200))) < 100);
    QVERIFY(qGray(image.pixel(Px(form, 2500), Px(form, 2000))) >= 100);
    core.ShutDown();
    QCOMPARE(port.writes.size(), std::size_t(14)); // 0, 12 steps, 0
}

void TestWindow::renderings()
{
    FormUnderTest t;
    QVERIFY(!t.core.Start());
    t.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&t.form));
    const QString dir = qEnvironmentVariable("STEPPER_RENDER_DIR", QDir::tempPath());
    const auto save = [&](const QString& name) {
        const QString path = dir + "/" + name;
        const QImage image = t.form.grab().toImage();
        qInfo("rendering saved: %s (%s)", qPrintable(path), image.save(path) ? "ok" : "FAILED");
        return image;
    };
    const QImage atStart = save("form1-startup.png");
    t.Text1()->setText("90");
    t.core.Command(t.core.State().requestedText, true);
    t.RunUntilIdle();
    QTRY_COMPARE(t.Caption("Label2"), QString("90"));
    const QImage at90 = save("form1-90deg.png");

    // The needle leaves the right and appears straight below the pivot.
    const auto dark = [](const QImage& image, double xTwips, double yTwips, const Form1& form) {
        return qGray(image.pixel(Px(form, xTwips), Px(form, yTwips))) < 100;
    };
    QVERIFY(dark(atStart, 2500, 2000, t.form));
    QVERIFY(!dark(atStart, 1700, 2800, t.form));
    QVERIFY(!dark(at90, 2500, 2000, t.form));
    QVERIFY(dark(at90, 1700, 2800, t.form));
}

// With a home switch the dial's menu offers "Home now"; the title says it homes meanwhile.
void TestWindow::homeNowFromTheDialsMenu()
{
    struct Open final : SwitchInput {
        bool Closed() override { return false; }
        std::string Name() const override { return "switch"; }
    } open;
    CoreUnderTest t;
    t.core.SetHomeSwitch(open, 1, 0);
    QVERIFY(!t.core.Start());
    Form1 form(t.core);
    auto* home = form.findChild<QAction*>("HomeNow");
    QVERIFY(home);
    home->trigger();
    t.Fire();
    QTRY_COMPARE(form.windowTitle(), QString("Form1 (homing)"));
    QVERIFY(!home->isEnabled());
    QCOMPARE(form.findChild<FormLabel*>("Label2")->text(), QString("0 ?"));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
