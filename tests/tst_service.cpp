// SPDX-License-Identifier: MIT
// What the service manager is told: readiness with the status, and WATCHDOG=1 only while the
// stepping thread answers and keeps its grid, through a NOTIFY_SOCKET the test binds.
#include "core/dialcore.h"
#include "manualclock.h"
#include "shell/servicenotifier.h"
#include "shell/watchdogrule.h"

#include <QtTest>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

Q_DECLARE_METATYPE(DriveHealth)

class TestService : public QObject {
    Q_OBJECT
private slots:
    void watchdogRule_data();
    void watchdogRule();
    void readyThenWatchdogWhileTheThreadRuns();
    void notifyNeverBlocksNorSpins();
};

void TestService::watchdogRule_data()
{
    QTest::addColumn<DriveHealth>("before"); // at the previous check
    QTest::addColumn<DriveHealth>("now");
    QTest::addColumn<int>("elapsedMs");
    QTest::addColumn<bool>("healthy");
    const DriveHealth idle{1, 1, 0, false}, moving{1, 1, 0, true};
    QTest::newRow("idle, ping answered") << idle << DriveHealth{2, 2, 0, false} << 500 << true;
    QTest::newRow("ping unanswered") << idle << DriveHealth{2, 1, 0, false} << 500 << false;
    QTest::newRow("moving on the grid") << moving << DriveHealth{2, 2, 498, true} << 500 << true;
    QTest::newRow("moving at half the grid")
        << moving << DriveHealth{2, 2, 250, true} << 500 << true;
    QTest::newRow("moving, starved") << moving << DriveHealth{2, 2, 249, true} << 500 << false;
    QTest::newRow("moving, stuck in a write")
        << moving << DriveHealth{2, 1, 3, true} << 500 << false;
    QTest::newRow("move began in the period") << idle << DriveHealth{2, 2, 5, true} << 500 << true;
    QTest::newRow("move ended in the period")
        << moving << DriveHealth{2, 2, 5, false} << 500 << true;
}

void TestService::watchdogRule()
{
    QFETCH(DriveHealth, before);
    QFETCH(DriveHealth, now);
    QFETCH(int, elapsedMs);
    QFETCH(bool, healthy);
    WatchdogRule rule;
    rule.Healthy(before, 500);
    QCOMPARE(rule.Healthy(now, elapsedMs), healthy);
}

// A notify socket the test binds; WATCHDOG_USEC as the service manager would set it.
struct NotifySocket {
    explicit NotifySocket(const char* watchdogUsec)
    {
        ::unlink(path.constData());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.constData());
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        qputenv("NOTIFY_SOCKET", path);
        qputenv("WATCHDOG_USEC", watchdogUsec);
    }
    ~NotifySocket()
    {
        qunsetenv("NOTIFY_SOCKET");
        qunsetenv("WATCHDOG_USEC");
        ::close(fd);
        ::unlink(path.constData());
    }
    QStringList Received()
    {
        char buffer[512];
        for (ssize_t size; (size = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            messages << QString::fromUtf8(buffer, int(size));
        return messages;
    }
    const QByteArray path = QDir::temp().filePath("stepper-notify-%1").arg(getpid()).toLocal8Bit();
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool bound = false;
    QStringList messages;
};

// A DialCore listening on a free port with its stepping thread running.
struct RunningCore {
    RunningCore()
    {
        QVERIFY(!core.Start());
        core.StartStepping();
    }
    RecordingPort port;
    DialCore core{port, MakeSteppingClock(), ListenerOptions{.port = 0}};
};

void TestService::readyThenWatchdogWhileTheThreadRuns()
{
    NotifySocket notify("100000");
    QVERIFY(notify.bound);
    RunningCore running;
    DialCore& core = running.core;
    {
        ServiceNotifier service(core);
        service.Ready();
        QTRY_VERIFY(!notify.Received().isEmpty());
        QCOMPARE(notify.messages.value(0),
                 QString("READY=1\nSTATUS=driving recording; waiting for a client on TCP port %1")
                     .arg(core.CommandPort()));
        QTRY_VERIFY(notify.Received().contains("WATCHDOG=1"));
        // A stepping thread that no longer answers is not vouched for.
        core.ShutDown();
        QTest::qWait(150); // a check may have been under way
        notify.Received();
        notify.messages.clear();
        QTest::qWait(600);
        QVERIFY(!notify.Received().contains("WATCHDOG=1"));
        service.Stopping();
        QTRY_VERIFY(notify.Received().join('\n').contains("STOPPING=1"));
    }
}

// A tiny WATCHDOG_USEC does not make a busy loop of the checks, and a reader that never reads
// does not hold up the event loop: each call returns, the messages wait or are replaced.
void TestService::notifyNeverBlocksNorSpins()
{
    NotifySocket notify("1");
    QVERIFY(notify.bound);
    RunningCore running;
    ServiceNotifier service(running.core);
    service.Ready();
    QTest::qWait(500);
    const qsizetype watchdogs = notify.Received().count("WATCHDOG=1");
    QVERIFY2(watchdogs <= 10, qPrintable(QString::number(watchdogs)));
    // Nobody reads from here on: far more messages than the socket's queue holds. A send
    // that waited would hang here until the test's time limit.
    for (int i = 0; i < 200; ++i)
        service.Ready();
    service.Stopping();
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
