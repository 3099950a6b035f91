// SPDX-License-Identifier: MIT
// A client whose network vanishes sends no FIN and no RST: only keepalive finds it. Run in a
// private network namespace, where loopback can be taken down without root.
#include "command/commandlistener.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString namespaceError; // empty when the test runs in its own network namespace

bool SetLoopbackUp(bool up)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool done = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (done) {
        request.ifr_flags = up ? (request.ifr_flags | IFF_UP) : (request.ifr_flags & ~IFF_UP);
        done = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    ::close(fd);
    return done;
}

} // namespace

class TestLinkFailure : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (!namespaceError.isEmpty())
            QSKIP(qPrintable("no private network namespace here (" + namespaceError +
                             "); the vanished-peer test needs unshare -rn"));
        QVERIFY(SetLoopbackUp(true));
    }
    void vanishedPeerIsDroppedAndTheNextServed();
};

void TestLinkFailure::vanishedPeerIsDroppedAndTheNextServed()
{
    // Shortened keepalive: silent 1 s, then 2 probes 1 s apart.
    CommandListener listener({.port = 0, .keepAlive = {1, 1, 2}});
    QVERIFY(!listener.Listen());
    QSignalSpy gone(&listener, &CommandListener::ClientEnded);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, listener.LocalPort());
    QVERIFY(client.waitForConnected(2000));
    QTRY_VERIFY(!listener.PeerAddress().isNull());

    // A silent but live client keeps its connection past several probes.
    QTest::qWait(3500);
    QVERIFY(!listener.PeerAddress().isNull());
    QCOMPARE(gone.size(), 0);

    // The link goes: the probes go unanswered and the client is dropped.
    QVERIFY(SetLoopbackUp(false));
    QVERIFY(gone.wait(15000));
    QVERIFY(listener.PeerAddress().isNull());
    QVERIFY(Listening(listener));

    QVERIFY(SetLoopbackUp(true));
    client.abort();
    QSignalSpy connected(&listener, &CommandListener::ClientConnected);
    QTcpSocket next;
    next.connectToHost(QHostAddress::LocalHost, listener.LocalPort());
    QVERIFY(next.waitForConnected(2000));
    QVERIFY(connected.wait(2000));
}

int main(int argc, char* argv[])
{
    // Before any thread exists: a user namespace can only be entered single-threaded.
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        namespaceError = QString::fromLocal8Bit(std::strerror(errno));
    QCoreApplication app(argc, argv);
    TestLinkFailure test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_linkfailure.moc"
