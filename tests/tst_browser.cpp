// SPDX-License-Identifier: MIT
// The web page in a real browser (Debian's chromium, headless, driven over its DevTools
// protocol): it follows a TCP move, turns the dial from its own field, and draws the needle
// where the window's geometry puts it. Exit 77 with one line where no browser can start.
#include "programsupport.h"
#include "window/needlegeometry.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWebSocket>

namespace {

// One tab of a headless chromium, spoken to over the DevTools protocol.
class Browser {
public:
    bool Start(const QString& url)
    {
        const QString chromium = QStandardPaths::findExecutable("chromium");
        if (chromium.isEmpty() || !profile_.isValid())
            return false;
        const quint16 port = FreePort();
        process_.start(chromium,
                       {"--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                        "--window-size=600,960", "--user-data-dir=" + profile_.path(),
                        QString("--remote-debugging-port=%1").arg(port), url});
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 30000 && process_.state() != QProcess::NotRunning) {
            QNetworkAccessManager network;
            QNetworkReply* reply = network.get(
                QNetworkRequest(QUrl(QString("http://127.0.0.1:%1/json/list").arg(port))));
            QSignalSpy done(reply, &QNetworkReply::finished);
            done.wait(2000);
            for (const QJsonValue& tab : QJsonDocument::fromJson(reply->readAll()).array())
                if (tab["type"] == "page" && tab["url"].toString().startsWith(url)) {
                    tab_.open(QUrl(tab["webSocketDebuggerUrl"].toString()));
                    return QSignalSpy(&tab_, &QWebSocket::connected).wait(10000);
                }
            QTest::qWait(200);
        }
        return false;
    }
    ~Browser()
    {
        process_.kill();
        process_.waitForFinished(5000);
    }
    // One DevTools command; its result.
    QJsonObject Call(const QString& method, const QJsonObject& params = {})
    {
        const int id = ++lastId_;
        QJsonObject answer;
        bool answered = false;
        auto connection =
            QObject::connect(&tab_, &QWebSocket::textMessageReceived, [&](const QString& text) {
                const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
                if (o["id"].toInt() == id) {
                    answer = o["result"].toObject();
                    answered = true;
                }
            });
        tab_.sendTextMessage(
            QJsonDocument(QJsonObject{{"id", id}, {"method", method}, {"params", params}})
                .toJson(QJsonDocument::Compact));
        QElapsedTimer timer;
        timer.start();
        while (!answered && timer.elapsed() < 20000)
            QTest::qWait(10);
        QObject::disconnect(connection);
        return answer;
    }
    // A JavaScript expression's value in the page.
    QJsonValue Evaluate(const QString& expression)
    {
        return Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}})
            .value("result")
            .toObject()
            .value("value");
    }

private:
    QTemporaryDir profile_;
    QProcess process_;
    QWebSocket tab_;
    int lastId_ = 0;
};

} // namespace

class TestBrowser : public QObject {
    Q_OBJECT
private slots:
    void pageFollowsAndTurnsTheDial();
};

void TestBrowser::pageFollowsAndTurnsTheDial()
{
    RequireFreePort3000();
    const quint16 webPort = FreePort();
    ProgramUnderTest program(
        {"--simulate", "--headless", "--web", QString("127.0.0.1:%1").arg(webPort)});
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client));
    Browser browser;
    QVERIFY(browser.Start(QString("http://127.0.0.1:%1/").arg(webPort)));

    // A move commanded over TCP shows on the page: the label, the status, the needle's ends
    // exactly where the window puts them.
    QVERIFY(program.Send(client, "90"));
    QVERIFY(program.WaitForWrites(13));
    auto text = [&](const char* id) {
        return browser.Evaluate(QString("document.getElementById('%1').textContent").arg(id))
            .toString();
    };
    QTRY_COMPARE_WITH_TIMEOUT(text("Label2"), QString("90"), 20000);
    QCOMPARE(text("Label4"), QString("On Line"));
    NeedleLine needle;
    needle.ShowNeedleAngle(90);
    QCOMPARE(browser.Evaluate("+document.getElementById('Line1').getAttribute('x2')").toDouble(),
             double(needle.X2));
    QCOMPARE(browser.Evaluate("+document.getElementById('Line1').getAttribute('y2')").toDouble(),
             double(needle.Y2));

    // Typed into the page's field, Enter: the motor turns to it.
    browser.Evaluate("document.getElementById('Text1').select()");
    browser.Call("Input.insertText", {{"text", "180"}});
    for (const char* type : {"keyDown", "keyUp"})
        browser.Call(
            "Input.dispatchKeyEvent",
            {{"type", type}, {"key", "Enter"}, {"code", "Enter"}, {"windowsVirtualKeyCode", 13}});
    QVERIFY(program.WaitForWrites(25));
    program.WaitUntilQuiet();
    TraceReplay replay;
    replay.Follow(program.writes);
    QCOMPARE(replay.position, 24);
    QTRY_COMPARE_WITH_TIMEOUT(text("Label2"), QString("180"), 20000);
    // The last move's 12 steps, 11 intervals, in the page's own bars.
    QCOMPARE(browser
                 .Evaluate("[...document.querySelectorAll('#intervals .steps')]"
                           ".reduce((sum, e) => sum + +e.textContent, 0)")
                 .toInt(),
             11);
    QVERIFY(text("late").contains("since start-up: "));

    // The screenshot: the needle is drawn where the window's geometry puts its tip, and not
    // where it stood before.
    const QJsonObject shot = browser.Call("Page.captureScreenshot", {{"format", "png"}});
    QImage image = QImage::fromData(QByteArray::fromBase64(shot["data"].toString().toLatin1()));
    QVERIFY(!image.isNull());
    const QString saved = qEnvironmentVariable("STEPPER_RENDER_DIR") + "/web-page.png";
    QVERIFY(image.save(saved));
    qInfo("screenshot saved: %s", qPrintable(saved));
    const QJsonObject form =
        browser
            .Evaluate("(() => { const r = document.getElementById('Form1')"
                      ".getBoundingClientRect(); return {x: r.x, y: r.y}; })()")
            .toObject();
    const double scale = image.width() / browser.Evaluate("window.innerWidth").toDouble();
    auto dark = [&](double twipsX, double twipsY) { // any dark pixel within 2 px
        const int x = int((form["x"].toDouble() + twipsX * 2 / 15) * scale);
        const int y = int((form["y"].toDouble() + twipsY * 2 / 15) * scale);
        for (int dx = -2; dx <= 2; ++dx)
            for (int dy = -2; dy <= 2; ++dy)
                if (qGray(image.pixel(x + dx, y + dy)) < 100)
                    return true;
        return false;
    };
    needle.ShowNeedleAngle(180);
    const double midX = (needle.X1 + needle.X2) / 2, midY = (needle.Y1 + needle.Y2) / 2;
    QVERIFY(dark(midX, midY));
    QVERIFY(dark(needle.X2 + 30, needle.Y2)); // just inside the round cap's reach
    NeedleLine before;
    before.ShowNeedleAngle(90);
    QVERIFY(!dark((before.X1 + before.X2) / 2, (before.Y1 + before.Y2) / 2));
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (QStandardPaths::findExecutable("chromium").isEmpty()) {
        std::puts("tst_browser skipped: no chromium (Debian package chromium)");
        return 77;
    }
    TestBrowser test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_browser.moc"
