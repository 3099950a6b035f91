// SPDX-License-Identifier: MIT
// Abuse of the real program over loopback: floods, junk, churn of clients, and signals. Each
// case checks the port trace (every write a valid pattern, the position exactly where the
// last command put it) and the process (alive, memory growth bounded).
#include "programsupport.h"

#include <QRandomGenerator>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

constexpr qint64 MaxGrowthKb = 10 * 1024;

void ExpectBoundedGrowth(qint64 before, qint64 after)
{
    if (qEnvironmentVariableIsSet("STEPPER_SANITIZED"))
        return; // the sanitizer's own bookkeeping grows; the plain build checks this
    QVERIFY2(after - before < MaxGrowthKb, qPrintable(QString("grew %1 kB").arg(after - before)));
}

// Sends the last angle after a pause (so it arrives in a read of its own) and checks the
// motor ends exactly there, with every tick on the way a valid pattern.
void ExpectEndsAt(ProgramUnderTest& program, QTcpSocket& client, const QByteArray& angle,
                  qint64 steps)
{
    QVERIFY(program.WaitUntilRead(client));
    QTest::qWait(300);
    program.Send(client, angle);
    program.WaitUntilQuiet(300, 120000);
    TraceReplay replay;
    replay.Follow(program.writes);
    QVERIFY2(replay.valid, qPrintable(replay.fault));
    QCOMPARE(replay.position, steps);
}

// The opening of most cases: the program up, a client taken, the start-up write seen, and
// the resident size noted.
struct SoakRun {
    bool Open()
    {
        if (!program.ConnectAccepted(client) || !program.WaitForWrites(1))
            return false;
        residentBefore = ResidentKilobytes(program.process.processId());
        return true;
    }
    void ExpectAliveAndBounded()
    {
        QCOMPARE(program.process.state(), QProcess::Running);
        ExpectBoundedGrowth(residentBefore, ResidentKilobytes(program.process.processId()));
    }
    ProgramUnderTest program;
    QTcpSocket client;
    qint64 residentBefore = 0;
};

void Abort(QTcpSocket& client)
{
    const linger abortive{1, 0};
    ::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    client.abort();
}

// A raw connection to the web port, from `from`, that reads nothing unless asked: what a
// hostile peer does. Its receive buffer is small, so what the program sends it backs up.
struct Raw {
    Raw(quint16 port, const char* from = "127.0.0.1")
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in at{AF_INET, 0, {}, {}};
        ::inet_pton(AF_INET, from, &at.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
        at.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
        const timeval wait{2, 0}; // a send the program takes nothing of gives up
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    ~Raw() { ::close(fd); }
    // False once the program has closed the connection, or taken nothing for two seconds.
    bool Send(const QByteArray& bytes)
    {
        qsizetype done = 0;
        for (ssize_t n = 1; done < bytes.size() && n > 0; done += std::max<ssize_t>(n, 0))
            n = ::send(fd, bytes.data() + done, std::size_t(bytes.size() - done), MSG_NOSIGNAL);
        return done == bytes.size();
    }
    int fd = -1;
};

// A WebSocket client frame: masked, as a browser's always is.
QByteArray Frame(int opcode, const QByteArray& payload) // up to 125 bytes
{
    // The zero mask leaves the payload as it is.
    return QByteArray(1, char(0x80 | opcode)) + char(0x80 | payload.size()) + QByteArray(4, '\0') +
           payload;
}

} // namespace

class TestSoak : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { RequireFreePort3000(); }
    void sixteenMegabytesOfJunk();
    void floodOfAnglesDuringMove();
    void connectDisconnectCycles();
    void abruptResets();
    void hammeringClientsRefused();
    void disconnectOneByteAtATime();
    void webFloods_data();
    void webFloods();
};

void TestSoak::sixteenMegabytesOfJunk()
{
    SoakRun r;
    QVERIFY(r.Open());
    QRandomGenerator random(20261207);
    QByteArray chunk(1 << 20, '\0');
    for (int megabyte = 0; megabyte < 16; ++megabyte) {
        random.fillRange(reinterpret_cast<quint32*>(chunk.data()), chunk.size() / 4);
        r.program.Send(r.client, chunk);
        r.program.Collect();
    }
    ExpectEndsAt(r.program, r.client, "90", 12);
    r.ExpectAliveAndBounded();
}

void TestSoak::floodOfAnglesDuringMove()
{
    SoakRun r;
    QVERIFY(r.Open());
    r.program.Send(r.client, "3600");
    QVERIFY(r.program.WaitForWrites(20));
    // Every message has a full stop, so messages that run together in one read still read
    // as a small angle: "123.5" then "45.25" is 123.545.
    QRandomGenerator random(7);
    for (int i = 0; i < 10000; ++i) {
        const QByteArray angle = QByteArray::number(random.bounded(-999, 1000)) + "." +
                                 QByteArray::number(random.bounded(100));
        r.client.write(angle);
        if (i % 100 == 0) {
            r.client.flush();
            r.program.Collect();
        }
    }
    QVERIFY(r.program.WaitUntilRead(r.client));
    ExpectEndsAt(r.program, r.client, "45", 6);
    r.ExpectAliveAndBounded();
}

// Connect, one angle, "disconnect", thousands of times: every client served, and the
// resident size flat once the first thousand have passed.
void TestSoak::connectDisconnectCycles()
{
    const bool sanitized = qEnvironmentVariableIsSet("STEPPER_SANITIZED");
    ProgramUnderTest program;
    std::size_t expected = 1; // the 0 at start
    QVERIFY(program.WaitForWrites(expected));
    qint64 residentAfterWarmUp = 0;
    for (int cycle = 0; cycle < (sanitized ? 1200 : 3000); ++cycle) {
        QTcpSocket client;
        QVERIFY(ProgramUnderTest::Connect(client));
        // Between 0 and 15 degrees: two steps, one write for the first "0". Once they are all
        // in, "disconnect" comes in a read of its own.
        expected += cycle == 0 ? 1 : 2;
        program.Send(client, cycle % 2 ? "15" : "0");
        QVERIFY(program.WaitForWrites(expected));
        program.Send(client, "disconnect");
        // The program closes its side once it has read the command.
        if (client.state() == QAbstractSocket::ConnectedState)
            QVERIFY(client.waitForDisconnected(5000));
        if (cycle == 1000)
            residentAfterWarmUp = ResidentKilobytes(program.process.processId());
    }
    if (!sanitized) {
        // A socket or its buffers kept a cycle would be megabytes by now; the allocator's own
        // settling touches up to 64 kB more on Debian 13 (glibc 2.41, Qt 6.8).
        const qint64 grown = ResidentKilobytes(program.process.processId()) - residentAfterWarmUp;
        QVERIFY2(grown < 256, qPrintable(QString("grew %1 kB over 2000 cycles").arg(grown)));
    }
    QTcpSocket last;
    QVERIFY(program.ConnectAccepted(last));
    ExpectEndsAt(program, last, "15", 2);
}

void TestSoak::abruptResets()
{
    ProgramUnderTest program;
    QVERIFY(program.WaitForWrites(1));
    QRandomGenerator random(300);
    for (int i = 0; i < 300; ++i) {
        QTcpSocket client;
        QVERIFY(program.ConnectAccepted(client, 5));
        // Reset at a random moment: at once, after part of a message, or after a whole one.
        switch (random.bounded(3)) {
        case 0: break;
        case 1: program.Send(client, "disconn"); break;
        case 2: program.Send(client, "7.5"); break;
        }
        QTest::qWait(random.bounded(3));
        Abort(client);
    }
    QTcpSocket next;
    QVERIFY(program.ConnectAccepted(next));
    ExpectEndsAt(program, next, "-22.5", -3);
    QCOMPARE(program.process.state(), QProcess::Running);
}

void TestSoak::hammeringClientsRefused()
{
    SoakRun r;
    QVERIFY(r.Open());
    r.program.Send(r.client, "180");
    int refused = 0;
    for (int i = 0; i < 400; ++i) {
        QTcpSocket intruder;
        intruder.connectToHost(QHostAddress::LocalHost, 3000);
        if (!intruder.waitForConnected(1000))
            ++refused;
        else
            Abort(intruder);
    }
    QCOMPARE(refused, 400);
    QCOMPARE(r.client.state(), QAbstractSocket::ConnectedState);
    ExpectEndsAt(r.program, r.client, "30", 4);
}

void TestSoak::disconnectOneByteAtATime()
{
    SoakRun r;
    QVERIFY(r.Open());
    r.program.Send(r.client, "15");
    QVERIFY(r.program.WaitForWrites(3));
    for (char byte : QByteArray("disconnect")) {
        r.program.Send(r.client, QByteArray(1, byte));
        QTest::qWait(5);
    }
    // Each read was an angle text reading 0 (the word never came whole), so the motor went
    // back to 0 and the connection stayed; or, if the reads ran together whole, it closed.
    r.program.WaitUntilQuiet(300);
    TraceReplay replay;
    replay.Follow(r.program.writes);
    QVERIFY(replay.valid);
    QCOMPARE(replay.position, 0);
    if (r.client.state() != QAbstractSocket::ConnectedState || r.client.waitForDisconnected(200)) {
        QTcpSocket again;
        QVERIFY(r.program.ConnectAccepted(again));
        ExpectEndsAt(r.program, again, "7.5", 1);
    } else {
        ExpectEndsAt(r.program, r.client, "7.5", 1);
    }
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"

void TestSoak::webFloods_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<int>("connections"); // each sends the opening
    QTest::addColumn<int>("waiting");     // clients that wait on port 3000 meanwhile
    QTest::addColumn<QByteArray>("opening");
    QTest::addColumn<QByteArray>("chunk"); // then sent nonstop on the last, for 3 s at most
    QTest::addColumn<int>("megabytes");
    const QByteArray half = "GET / HTTP/1.1\r\n", get = half + "Host: HOST\r\n\r\n";
    QTest::newRow("half-open requests from outside --allow")
        << QByteArray("127.0.0.2") << 1060 << 0 << half << QByteArray() << 0;
    QTest::newRow("half-open requests and waiting clients, descriptors few")
        << QByteArray("127.0.0.1") << 200 << 100 << half << QByteArray() << 0;
    // An empty pong with every 64 pings answers the program's own.
    QTest::newRow("pings from a page that never reads")
        << QByteArray("127.0.0.1") << 1 << 0
        << QByteArray("GET /live HTTP/1.1\r\nHost: HOST\r\nUpgrade: websocket\r\nConnection: "
                      "Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: "
                      "dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
        << Frame(0x9, QByteArray(125, 'p')).repeated(64) + Frame(0xA, {}) << 1000;
    QTest::newRow("a 600 MB body")
        << QByteArray("127.0.0.1") << 1 << 0
        << QByteArray("POST / HTTP/1.1\r\nHost: HOST\r\nContent-Length: 629145600\r\n\r\n")
        << QByteArray(1 << 16, 'b') << 600;
    QTest::newRow("an endless header line")
        << QByteArray("127.0.0.1") << 1 << 0 << half + "X-Endless: " << QByteArray(1 << 16, 'h')
        << 600;
    QTest::newRow("pipelined requests never read")
        << QByteArray("127.0.0.1") << 1 << 0 << QByteArray() << get.repeated(1000) << 8;
}

// Whatever comes to the web port, from any host, memory stays within 64 MB of where it was,
// and port 3000 takes the next permitted client's command.
void TestSoak::webFloods()
{
    QFETCH(QByteArray, from);
    QFETCH(int, connections);
    QFETCH(int, waiting);
    QFETCH(QByteArray, opening);
    QFETCH(QByteArray, chunk);
    QFETCH(int, megabytes);
    const quint16 port = FreePort();
    const QByteArray web = "127.0.0.1:" + QByteArray::number(port);
    // Few descriptors, so running out of them is quick.
    ProgramUnderTest program({"--simulate", "--headless", "--web", web, "--allow", "127.0.0.1/32"},
                             -1, {}, false, {"prlimit", "--nofile=64:64", "--"});
    QTcpSocket client;
    QVERIFY(ProgramUnderTest::Connect(client) && program.WaitForWrites(1));
    client.disconnectFromHost();
    QTRY_VERIFY((program.Collect(), program.errors.contains("web page at")));
    const qint64 before = ResidentKilobytes(program.process.processId());
    qint64 peak = before;
    std::vector<std::unique_ptr<Raw>> held;
    for (int i = 0; i < connections; ++i) {
        held.push_back(std::make_unique<Raw>(port, from.constData()));
        held.back()->Send(QByteArray(opening).replace("HOST", web));
    }
    auto queued = std::vector<std::unique_ptr<QTcpSocket>>(std::size_t(waiting));
    for (auto& socket : queued)
        (socket = std::make_unique<QTcpSocket>())->connectToHost(QHostAddress::LocalHost, 3000);
    QTest::qWait(200);
    QElapsedTimer flooding, sampled;
    flooding.start();
    sampled.start();
    chunk.replace("HOST", web);
    for (qint64 sent = 0; flooding.elapsed() < 4000; sent += chunk.size()) {
        // Sampled a few times a second while the flood goes on, and a second after it.
        if (sampled.elapsed() >= 100) {
            sampled.restart();
            program.Collect();
            peak = std::max(peak, ResidentKilobytes(program.process.processId()));
        }
        if (flooding.elapsed() > 3000 || sent >= qint64(megabytes) << 20 ||
            !held.back()->Send(chunk))
            QTest::qWait(10);
    }
    held.clear();
    queued.clear();
    qInfo("resident %lld kB at most, %lld kB before", peak, before);
    QVERIFY2(peak - before < 64 * 1024, qPrintable(QString("grew %1 kB").arg(peak - before)));
    // Refused connections are said at most once a second, not one line each.
    QVERIFY2(program.errors.count('\n') < 20, qPrintable(program.errors.left(2000)));
    QTcpSocket next;
    QVERIFY2(ProgramUnderTest::Connect(next, 20000),
             qPrintable((program.Collect(), program.errors)));
    QVERIFY(program.Send(next, "90") && program.WaitForWrites(13, 20000));
}
