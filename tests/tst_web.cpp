// SPDX-License-Identifier: MIT
// The web page's server over real loopback sockets: who may connect, what a page may do, and
// that one bad or stalled page is dropped alone. (How often pages hear of a move is measured
// by the benchmark; what a page shows, by the browser test.)
#include "testsupport.h"
#include "web/webfront.h"
#include "web/webgate.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QWebSocket>
#include <QtTest>
#include <cstddef>
#include <linux/tcp.h>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace {

// A page: its socket and every state it was sent.
struct Page {
    explicit Page(quint16 port, const QString& origin = {})
        : socket(origin), opened(&socket, &QWebSocket::connected),
          closed(&socket, &QWebSocket::disconnected)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
            states << QJsonDocument::fromJson(text.toUtf8()).object();
        });
        socket.open(QUrl(QString("ws://127.0.0.1:%1/live").arg(port)));
    }
    QWebSocket socket;
    QSignalSpy opened;
    QSignalSpy closed;
    QList<QJsonObject> states;
};

// A plain TCP client from `source` (and, given, its port) that sends `request`, where HOST
// stands for the server's own; UPGRADE makes it a page's handshake.
std::unique_ptr<QTcpSocket> Raw(quint16 port, const QString& source, QByteArray request = {},
                                quint16 sourcePort = 0)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->bind(QHostAddress(source), sourcePort, QAbstractSocket::ShareAddress);
    socket->connectToHost(QHostAddress::LocalHost, port);
    socket->write(request.replace("HOST", "127.0.0.1:" + QByteArray::number(port))
                      .replace("UPGRADE", "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                          "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: "
                                          "dGhlIHNhbXBsZSBub25jZQ==\r\n"));
    return socket;
}
const QByteArray PageRequest = "GET /live HTTP/1.1\r\nHost: HOST\r\nUPGRADE\r\n";

// Sets the soft limit on descriptors; gives the one before.
rlimit DescriptorLimit(rlim_t wanted)
{
    rlimit before{}, now{};
    ::getrlimit(RLIMIT_NOFILE, &before);
    now = {std::min(wanted, before.rlim_max), before.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &now);
    return before;
}

} // namespace

class TestWeb : public QObject {
    Q_OBJECT
private slots:
    void hosts_data();
    void hosts();
    void refused_data();
    void refused();
    void stalledPageIsDropped();
    void pageBudgetIsASecond_data();
    void pageBudgetIsASecond();
    void fairToEverySource();
    void pageMarkedOnItsOwnGate();
    void gatesShareOneBudget();
    void answered_data();
    void answered();

private:
    // The core and its page server on a loopback port of the system's choosing.
    struct Served : CoreUnderTest {
        explicit Served(bool readOnly = false, QList<QPair<QHostAddress, int>> allowed = {},
                        QList<WebAddress> metrics = {})
            : web(core, WebOptions{{{QHostAddress::LocalHost, 0}}, readOnly, allowed, metrics})
        {
            listening = !core.Start() && !web.Listen();
            port = web.Addresses().first().port;
        }
        quint16 MetricsPort() const { return web.MetricsAddresses().first().port; }
        WebFront web;
        bool listening = false;
        quint16 port = 0;
    };
};

void TestWeb::hosts_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QString>("listening"); // port 3080; "*": every interface
    QTest::addColumn<bool>("ours");
    QTest::newRow("ours") << QByteArray("127.0.0.1:3080") << QByteArray() << "127.0.0.1" << true;
    QTest::newRow("localhost") << QByteArray("localhost:3080")
                               << QByteArray("http://localhost:3080") << "127.0.0.1" << true;
    QTest::newRow("IPv6") << QByteArray("[::1]:3080") << QByteArray() << "::1" << true;
    QTest::newRow("any literal") << QByteArray("192.168.1.9:3080") << QByteArray() << "*" << true;
    QTest::newRow("other port") << QByteArray("127.0.0.1:81") << QByteArray() << "127.0.0.1"
                                << false;
    QTest::newRow("rebound name") << QByteArray("evil.example:3080") << QByteArray() << "*"
                                  << false;
    QTest::newRow("localhost, not loopback")
        << QByteArray("localhost:3080") << QByteArray() << "192.168.1.9" << false;
    QTest::newRow("foreign origin") << QByteArray("127.0.0.1:3080")
                                    << QByteArray("http://evil.example") << "127.0.0.1" << false;
}

void TestWeb::hosts()
{
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, origin);
    QFETCH(QString, listening);
    QFETCH(bool, ours);
    const QHostAddress address(listening == "*" ? QString("0.0.0.0") : listening);
    QCOMPARE(HostIsOurs(host, {{address, 3080}}) && OriginIsOurs(origin, host), ours);
}

void TestWeb::refused_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QString>("origin");
    QTest::addColumn<int>("before"); // pages already open
    QTest::addColumn<QString>("sent");
    QTest::addColumn<int>("code"); // 0: refused at the handshake, never a WebSocket
    QTest::addColumn<QString>("reason");
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QTest::newRow("foreign origin") << false << "http://evil.example" << 0 << "" << 0 << "";
#else
    QTest::newRow("foreign origin")
        << false << "http://evil.example" << 0 << "" << 1008 << "not for this page";
#endif
    QTest::newRow("a fifth page from one address")
        << false << "" << WebFront::MostPagesPerSource << "" << 1008
        << "too many pages from one address (4 at most)";
    QTest::newRow("not JSON") << false << "" << 1 << "\x01garbage" << 1007
                              << "not a command of this page";
    QTest::newRow("unknown field")
        << false << "" << 1 << R"({"text":"1","x":2})" << 1007 << "not a command of this page";
    QTest::newRow("too large") << false << "" << 1 << QString(5000, 'x') << 1009
                               << "Maximum framesize exceeded.";
    QTest::newRow("binary") << false << "" << 1 << "binary" << 1003 << "text only";
    QTest::newRow("read-only") << true << "" << 1 << R"({"text":"1"})" << 1008
                               << "this page is read-only";
    QTest::newRow("home, read-only")
        << true << "" << 1 << R"({"home":true})" << 1008 << "this page is read-only";
    QTest::newRow("home, not true")
        << false << "" << 1 << R"({"home":1})" << 1007 << "not a command of this page";
}

void TestWeb::refused()
{
    QFETCH(bool, readOnly);
    QFETCH(QString, origin);
    QFETCH(int, before);
    QFETCH(QString, sent);
    QFETCH(int, code);
    QFETCH(QString, reason);
    Served t(readOnly);
    QVERIFY(t.listening);
    std::vector<std::unique_ptr<Page>> open;
    for (int k = 0; k < before; ++k) {
        open.push_back(std::make_unique<Page>(t.port));
        QTRY_VERIFY(!open.back()->states.isEmpty());
    }
    Page page(t.port, origin);
    if (sent == "binary") {
        QTRY_VERIFY(!page.states.isEmpty());
        page.socket.sendBinaryMessage("\x01\x02");
    } else if (!sent.isEmpty()) {
        QTRY_VERIFY(!page.states.isEmpty());
        page.socket.sendTextMessage(sent);
    }
    QTRY_COMPARE(page.closed.count(), 1);
    // Refused as it comes, a page is never sent the state.
    if (sent.isEmpty())
        QCOMPARE(page.states.size(), 0);
    if (code == 0) {
        QCOMPARE(page.opened.count(), 0);
    } else {
        QCOMPARE(int(page.socket.closeCode()), code);
        QCOMPARE(page.socket.closeReason(), reason);
    }
    QCOMPARE(t.core.State().requestedText, DialCore::InitialRequestedText);
    // The others stay, and still hear of changes.
    t.core.Command("12", false);
    for (auto& other : open)
        QTRY_COMPARE(other->states.last().value("text").toString(), QString("12"));
}

void TestWeb::stalledPageIsDropped()
{
    Served t;
    QVERIFY(t.listening);
    Page live(t.port);
    QTRY_COMPARE(live.opened.count(), 1);
    // A page that asks for its socket and then never reads nor answers: a plain TCP client.
    const auto stalled = Raw(t.port, "127.0.0.1", PageRequest);
    QSignalSpy gone(stalled.get(), &QTcpSocket::disconnected);
    QVERIFY(gone.wait(6 * WebFront::PingMs));
    QCOMPARE(live.closed.count(), 0);
}

void TestWeb::pageBudgetIsASecond_data()
{
    QTest::addColumn<int>("bytes"); // sent each second
    QTest::addColumn<int>("seconds");
    QTest::addColumn<bool>("stays");
    const int most = int(WebGate::MostPageBytesPerSecond);
    QTest::newRow("three quarters, second after second") << most * 3 / 4 << 4 << true;
    QTest::newRow("more within one second") << most + 1024 << 1 << false;
}

// A page may send so much each second, for as long as it is open. The gate alone, on a clock
// the test turns: a second passes only when the page has been read.
void TestWeb::pageBudgetIsASecond()
{
    QFETCH(int, bytes);
    QFETCH(int, seconds);
    QFETCH(bool, stays);
    qint64 now = 0;
    WebGate gate({}, std::make_shared<WebGate::Budget>([&now] { return now; }));
    QVERIFY(gate.listen(QHostAddress::LocalHost));
    QTcpSocket page;
    page.connectToHost(QHostAddress::LocalHost, gate.serverPort());
    QVERIFY(page.waitForConnected(5000) && gate.waitForNewConnection(5000));
    QTcpSocket* served = gate.nextPendingConnection();
    // The gate counts by the kernel's byte count, which user-mode emulation does not pass on.
    tcp_info info{};
    socklen_t size = sizeof info;
    ::getsockopt(int(page.socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &size);
    if (size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        QSKIP("the kernel's byte count (TCP_INFO) cannot be read here: user-mode emulation?");
    gate.KeepAsPage(QHostAddress::LocalHost, page.localPort());
    qint64 read = 0; // after the gate has seen each read
    connect(served, &QTcpSocket::readyRead,
            [&] { read += served->isOpen() ? served->readAll().size() : 0; });
    QSignalSpy gone(&page, &QTcpSocket::disconnected);
    for (int second = 0; second < seconds && gone.isEmpty(); ++second, now += 1000) {
        page.write(QByteArray(bytes, 'x'));
        QTRY_VERIFY(read == qint64(bytes) * (second + 1) || !gone.isEmpty());
    }
    if (!stays)
        QTRY_VERIFY(!gone.isEmpty());
    QCOMPARE(gone.isEmpty(), stays);
}

// However many sources hold all they may, another one is served: pages up to a few a source
// and 32 in all, connections up to a few a source, the longest-held request making room.
void TestWeb::fairToEverySource()
{
    DescriptorLimit(1024); // for every connection the gate may hold, and ours to them
    Served t;
    QVERIFY(t.listening);
    std::vector<std::unique_ptr<QTcpSocket>> pages, silent;
    const auto source = [](int k) { return QString("127.0.0.%1").arg(k); };
    for (int k = 0; k < WebFront::MaxPages; ++k)
        pages.push_back(Raw(t.port, source(2 + k / WebFront::MostPagesPerSource), PageRequest));
    for (const auto& page : pages)
        QTRY_VERIFY(page->peek(12) == "HTTP/1.1 101");
    for (const auto& [from, reason] : {std::pair{2, "too many pages from one address"},
                                       std::pair{20, "too many pages open (32 at most)"}}) {
        const auto refused = Raw(t.port, source(from), PageRequest);
        QByteArray heard; // the close frame comes with the close, which ends peeking
        QObject::connect(refused.get(), &QIODevice::readyRead,
                         [&] { heard += refused->readAll(); });
        QTRY_VERIFY2(heard.contains(reason), heard.right(80));
    }
    for (int k = 0; pages.size() + silent.size() < std::size_t(WebGate::MostConnections); ++k)
        silent.push_back(Raw(t.port, source(40 + k / WebGate::MostPerSource)));
    const auto over = Raw(t.port, source(40));
    QTRY_COMPARE(over->state(), QAbstractSocket::UnconnectedState);
    const auto scrape = Raw(t.port, "127.0.0.1", "GET /metrics HTTP/1.1\r\nHost: HOST\r\n\r\n");
    QTRY_VERIFY2(scrape->peek(12) == "HTTP/1.1 200", scrape->peek(200));
    for (const auto& page : pages)
        QCOMPARE(page->state(), QAbstractSocket::ConnectedState);
}

// A connection to the metrics from a page's own address and port is a request like any.
void TestWeb::pageMarkedOnItsOwnGate()
{
    Served t(false, {}, {{QHostAddress::LocalHost, 0}});
    QVERIFY(t.listening);
    Page page(t.port);
    QTRY_COMPARE(page.opened.count(), 1);
    const auto twin = Raw(t.MetricsPort(), "127.0.0.1", {}, page.socket.localPort());
    QSignalSpy cut(twin.get(), &QTcpSocket::disconnected);
    QVERIFY(cut.wait(4 * WebGate::RequestMs));
    QCOMPARE(page.closed.count(), 0);
}

// A quarter of the descriptors for all gates together: pages on one leave none to another.
void TestWeb::gatesShareOneBudget()
{
    const rlimit before = DescriptorLimit(64);
    const auto t = std::make_unique<Served>(false, QList<QPair<QHostAddress, int>>{},
                                            QList<WebAddress>{{QHostAddress::LocalHost, 0}});
    DescriptorLimit(before.rlim_cur);
    QVERIFY(t->listening);
    std::vector<std::unique_ptr<QTcpSocket>> pages;
    for (int k = 0; k < 16; ++k)
        pages.push_back(Raw(t->port, QString("127.0.0.%1").arg(2 + k / 4), PageRequest));
    for (const auto& page : pages)
        QTRY_VERIFY(page->peek(12) == "HTTP/1.1 101");
    const auto scrape =
        Raw(t->MetricsPort(), "127.0.0.1", "GET /metrics HTTP/1.1\r\nHost: HOST\r\n\r\n");
    QSignalSpy cut(scrape.get(), &QTcpSocket::disconnected);
    QVERIFY(cut.wait(4 * WebGate::RequestMs));
    QCOMPARE(scrape->readAll(), QByteArray());
}

void TestWeb::answered_data()
{
    QTest::addColumn<QByteArray>("request"); // HOST: the server's own
    QTest::addColumn<bool>("allowed");       // false: the peer is outside --allow
    QTest::addColumn<QByteArray>("answer");  // empty: closed before a byte is read
    const QByteArray get = "GET / HTTP/1.1\r\nHost: HOST\r\n";
    QTest::newRow("the page") << get + "\r\n" << true << QByteArray("HTTP/1.1 200");
    QTest::newRow("the metrics") << QByteArray("GET /metrics HTTP/1.1\r\nHost: HOST\r\n\r\n")
                                 << true << QByteArray("HTTP/1.1 200");
    QTest::newRow("the metrics, then the close asked for")
        << QByteArray("GET /metrics HTTP/1.1\r\nHost: HOST\r\nConnection: close\r\n\r\n") << true
        << QByteArray("HTTP/1.1 200");
    QTest::newRow("the metrics for another Host")
        << QByteArray("GET /metrics HTTP/1.1\r\nHost: evil.example\r\n\r\n") << true
        << QByteArray("HTTP/1.1 403");
    QTest::newRow("a wrong Host") << QByteArray("GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n")
                                  << true << QByteArray("HTTP/1.1 403");
    QTest::newRow("outside --allow") << get + "\r\n" << false << QByteArray();
    QTest::newRow("two lengths") << get + "Content-Length: 0\r\nContent-Length: 0\r\n\r\n"
                                 << true << QByteArray("HTTP/1.1 400");
    QTest::newRow("a negative length") << get + "Content-Length: -1\r\n\r\n"
                                       << true << QByteArray("HTTP/1.1 400");
    QTest::newRow("a length and chunks")
        << get + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"
        << true << QByteArray("HTTP/1.1 400");
    QTest::newRow("an upgrade without Connection") << get + "Upgrade: websocket\r\n\r\n"
                                                   << true << QByteArray("HTTP/1.1 400");
    QTest::newRow("a body")
        << QByteArray("POST / HTTP/1.1\r\nHost: HOST\r\nContent-Length: 5\r\n\r\nhello") << true
        << QByteArray("HTTP/1.1 413");
}

// What the page server answers, for a request a browser sends and for those none does.
void TestWeb::answered()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, allowed);
    QFETCH(QByteArray, answer);
    Served t(false, {{QHostAddress(allowed ? "127.0.0.0" : "10.0.0.0"), 8}});
    QVERIFY(t.listening);
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, t.port);
    QVERIFY(peer.waitForConnected(5000));
    peer.write(request.replace("HOST", "127.0.0.1:" + QByteArray::number(t.port)));
    QSignalSpy gone(&peer, &QTcpSocket::disconnected);
    QTRY_VERIFY(peer.bytesAvailable() >= answer.size() + 1 || !gone.isEmpty());
    const QByteArray got = peer.readAll();
    QVERIFY2(answer.isEmpty() ? got.isEmpty() && (!gone.isEmpty() || gone.wait(1000))
                              : got.startsWith(answer),
             got.left(200));
    // Closed as asked once answered, well before the gate's cut of a request held too long.
    if (request.contains("Connection: close"))
        QVERIFY(!gone.isEmpty() || gone.wait(WebGate::RequestMs / 2));
}

QTEST_MAIN(TestWeb)
#include "tst_web.moc"
