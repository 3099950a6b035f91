// SPDX-License-Identifier: MIT
// Real time through RealtimeKit, against a RealtimeKit1 of the test's own on a private bus
// (DBUS_SYSTEM_BUS_ADDRESS pointing at a dbus-daemon the test starts): the call and its
// arguments within the daemon's limits, and the answer when it refuses or is absent.
#include "shell/realtimekit.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QProcess>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString Service = "org.freedesktop.RealtimeKit1";

class FakeRealtimeKit : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.RealtimeKit1")
    Q_PROPERTY(int MaxRealtimePriority READ MaxRealtimePriority)
    Q_PROPERTY(qlonglong RTTimeUSecMax READ RTTimeUSecMax)
public:
    static constexpr int MaxPriority = 10;
    static constexpr qlonglong MaxRtTime = 200000;
    int MaxRealtimePriority() const { return MaxPriority; }
    qlonglong RTTimeUSecMax() const { return MaxRtTime; }
    std::atomic<bool> refuse{false};
    std::atomic<quint64> thread{0};
    std::atomic<quint32> priority{0};

public slots:
    void MakeThreadRealtime(quint64 tid, quint32 requested)
    {
        thread = tid;
        priority = requested;
        if (refuse)
            sendErrorReply(QDBusError::AccessDenied, "Operation not permitted");
    }
};

} // namespace

class TestRealtimeKit : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void asks_data();
    void asks();

private:
    QProcess daemon_;
    QThread serviceThread_;
    FakeRealtimeKit* fake_ = nullptr;
};

void TestRealtimeKit::initTestCase()
{
    // Every thread before the fork (ThreadSanitizer cannot follow threads started after one):
    // the service's, and Qt's D-Bus thread, which the first connection attempt starts.
    serviceThread_.start();
    QDBusConnection::connectToBus(QString("unix:path=/nonexistent"), "warm-up");
    QDBusConnection::disconnectFromBus("warm-up");
    daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    QVERIFY2(daemon_.waitForReadyRead(10000), "dbus-daemon did not start (package dbus)");
    const QString address = QString::fromLatin1(daemon_.readLine()).trimmed();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toLatin1());
    // The service answers on a thread of its own while the call under test blocks.
    fake_ = new FakeRealtimeKit;
    fake_->moveToThread(&serviceThread_);
    QDBusConnection bus = QDBusConnection::connectToBus(address, "fake");
    QVERIFY(bus.isConnected());
    QVERIFY(
        bus.registerObject("/org/freedesktop/RealtimeKit1", fake_,
                           QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties));
}

void TestRealtimeKit::cleanupTestCase()
{
    QDBusConnection::disconnectFromBus("fake");
    serviceThread_.quit();
    serviceThread_.wait();
    delete fake_;
    daemon_.terminate();
    daemon_.waitForFinished(5000);
}

void TestRealtimeKit::asks_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<bool>("granted");
    QTest::addColumn<QString>("why");
    QTest::newRow("granted within its limits") << true << false << true << "";
    QTest::newRow("refused") << true << true << false << "not permitted";
    QTest::newRow("absent") << false << false << false << Service;
}

void TestRealtimeKit::asks()
{
    QFETCH(bool, present);
    QFETCH(bool, refuse);
    QFETCH(bool, granted);
    QFETCH(QString, why);
    QDBusConnection bus = QDBusConnection("fake");
    if (present)
        QVERIFY(bus.registerService(Service));
    else
        bus.unregisterService(Service);
    fake_->refuse = refuse;
    fake_->thread = 0;

    RealtimeKit kit;
    int priority = 20;
    const pid_t tid = gettid();
    const Outcome refused = kit.MakeThreadRealtime(tid, priority);
    QCOMPARE(!refused, granted);
    const std::string reason = refused ? refused->line : std::string();
    QVERIFY2(QString::fromStdString(reason).contains(why), reason.c_str());
    if (!present) {
        QCOMPARE(fake_->thread.load(), quint64(0));
        return;
    }
    // Asked for this thread, at the daemon's ceiling, with real-time CPU capped within its
    // limit (the daemon refuses processes without that cap).
    QCOMPARE(fake_->thread.load(), quint64(tid));
    QCOMPARE(fake_->priority.load(), quint32(FakeRealtimeKit::MaxPriority));
    QCOMPARE(priority, FakeRealtimeKit::MaxPriority);
    rlimit limit{};
    QCOMPARE(getrlimit(RLIMIT_RTTIME, &limit), 0);
    QVERIFY(limit.rlim_max <= rlim_t(FakeRealtimeKit::MaxRtTime));
}

QTEST_GUILESS_MAIN(TestRealtimeKit)
#include "tst_realtimekit.moc"
