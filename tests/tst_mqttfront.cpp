// SPDX-License-Identifier: MIT
// The MQTT front's own rules, in-process over a session that records what would go to the
// broker: what is announced on connecting, which messages are commands, and the state at
// its rate. What only a broker shows (stored messages, the will, reconnects, TLS, the fleet)
// is tst_mqtt's.
#include "mqtt/brokersession.h"
#include "mqtt/mqttfront.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

// Takes every message while "connected", as a broker with room would; nothing otherwise.
class RecordingSession final : public BrokerSession {
public:
    struct Message {
        QByteArray topic, payload;
        int qos;
        bool retain;
        qint64 ms;
    };
    Outcome Start() override
    {
        since.start();
        return {};
    }
    bool Publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain,
                 int* id) override
    {
        if (!connected)
            return false;
        if (id)
            *id = int(sent.size()) + 1;
        sent.push_back({topic, payload, qos, retain, since.elapsed()});
        return true;
    }
    bool Stop(const QByteArray&, const QByteArray&) override { return true; }
    void Connect()
    {
        connected = true;
        emit Connected();
    }
    const Message* Last(const QByteArray& topic) const
    {
        for (auto it = sent.rbegin(); it != sent.rend(); ++it)
            if (it->topic == topic)
                return &*it;
        return nullptr;
    }
    std::vector<Message> sent;
    bool connected = false;
    QElapsedTimer since;
};

struct FrontUnderTest : CoreUnderTest {
    explicit FrontUnderTest(MqttOptions::Discovery discovery = MqttOptions::Discovery::On,
                            SwitchInput* homeSwitch = nullptr)
        : front(core, Options(discovery), std::unique_ptr<BrokerSession>(session))
    {
        if (homeSwitch)
            core.SetHomeSwitch(*homeSwitch, 1, 0);
        QVERIFY(!core.Start() && !front.Start());
        session->Connect();
    }
    static MqttOptions Options(MqttOptions::Discovery discovery)
    {
        MqttOptions options;
        options.host = "broker.test";
        options.port = 1883;
        options.name = "t1";
        options.discovery = discovery;
        return options;
    }
    QByteArray Held(const char* leaf) const
    {
        const auto* message = session->Last("stepper-dial/t1/" + QByteArray(leaf));
        return message ? message->payload : "(none)";
    }
    RecordingSession* session = new RecordingSession;
    MqttFront front;
};

} // namespace

class TestMqttFront : public QObject {
    Q_OBJECT
private slots:
    void announcedOnConnecting_data();
    void announcedOnConnecting();
    void commands_data();
    void commands();
    void stateAtItsRate();
    void homeButton();
};

void TestMqttFront::announcedOnConnecting_data()
{
    QTest::addColumn<bool>("discovery");
    QTest::addColumn<bool>("again"); // the broker lost and back: all of it once more
    QTest::newRow("discovery on") << true << false;
    QTest::newRow("discovery off") << false << false;
    QTest::newRow("the broker back") << true << true;
}

void TestMqttFront::announcedOnConnecting()
{
    QFETCH(bool, discovery);
    QFETCH(bool, again);
    FrontUnderTest t(discovery ? MqttOptions::Discovery::On : MqttOptions::Discovery::Off);
    if (again) {
        t.session->connected = false;
        emit t.session->Lost("connection reset", 1);
        t.session->sent.clear();
        t.session->Connect();
    }
    const auto* online = t.session->Last("stepper-dial/t1/availability");
    QVERIFY(online && online->payload == "online" && online->qos == 1 && online->retain);
    for (const auto& [leaf, payload] :
         std::map<const char*, QByteArray>{{"angle", "0"},
                                           {"target", "360"},
                                           {"moving", "false"},
                                           {"client", ""},
                                           {"position_uncertain", "false"},
                                           {"late_ticks", "0"}})
        QCOMPARE(t.Held(leaf), payload);
    // Where the release before put its announcement is cleared, whatever this one does.
    const auto* old = t.session->Last("homeassistant/number/t1/config");
    QCOMPARE(old != nullptr, discovery);
    const auto* config = t.session->Last("homeassistant/number/stepper-dial/t1/config");
    QCOMPARE(config != nullptr, discovery);
    // No switch: no button, and one a run with a switch announced is cleared.
    const auto* button = t.session->Last("homeassistant/button/stepper-dial/t1/config");
    QCOMPARE(button != nullptr, discovery);
    if (!discovery)
        return;
    QVERIFY(button->payload.isEmpty() && button->retain);
    QVERIFY(old->payload.isEmpty() && old->retain);
    // Home Assistant's view: a number entity of a device, wired to the dial's topics.
    const QJsonObject entity = QJsonDocument::fromJson(config->payload).object();
    const std::map<QString, QJsonValue> expected{
        {"command_topic", "stepper-dial/t1/angle/set"},
        {"state_topic", "stepper-dial/t1/angle"},
        {"availability_topic", "stepper-dial/t1/availability"},
        {"unit_of_measurement", "°"},
        {"step", 7.5},
        {"unique_id", "stepper-dial_t1"}};
    for (const auto& [key, value] : expected)
        QCOMPARE(entity[key], value);
    QVERIFY(entity["min"].toDouble() < -360 && entity["max"].toDouble() > 360);
    QCOMPARE(entity["device"]["name"].toString(), QString("t1"));
    QVERIFY(entity["device"]["sw_version"].isString());
}

void TestMqttFront::commands_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("requested"); // the requested text after it
    QTest::newRow("an angle") << QByteArray("90") << "90";
    QTest::newRow("any text, as a client's") << QByteArray(" 1,5x") << " 1,5x";
    QTest::newRow("8-bit bytes as Latin-1") << QByteArray("\xe9") << QString(QChar(0xe9));
    // No connection to end; and empty is how a stored command is cleared.
    QTest::newRow("disconnect") << QByteArray("disconnect") << "360";
    QTest::newRow("empty") << QByteArray() << "360";
}

void TestMqttFront::commands()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, requested);
    FrontUnderTest t;
    emit t.session->MessageArrived("stepper-dial/t1/angle/set", payload);
    QCOMPARE(t.core.State().requestedText, requested);
    QCOMPARE(t.core.State().moving, requested != "360");
}

// While the motor moves the angle goes out at most 10 times a second; its arrival at once.
void TestMqttFront::stateAtItsRate()
{
    FrontUnderTest t;
    emit t.session->MessageArrived("stepper-dial/t1/angle/set", "7200");
    // What went out by the time the core told its views the motor stands: after the front,
    // which took that news first.
    QByteArray movingAtArrival;
    connect(&t.core, &DialCore::StateChanged, [&] {
        if (!t.core.State().moving && movingAtArrival.isEmpty())
            movingAtArrival = t.Held("moving");
    });
    while (t.core.State().moving) {
        t.Fire();
        QTest::qWait(1);
    }
    QTRY_VERIFY(!movingAtArrival.isEmpty());
    QCOMPARE(movingAtArrival, QByteArray("false"));
    QCOMPARE(t.Held("angle"), QByteArray("7200"));
    QCOMPARE(t.Held("target"), QByteArray("7200"));
    std::vector<qint64> times;
    for (const auto& message : t.session->sent)
        if (message.topic == "stepper-dial/t1/angle")
            times.push_back(message.ms);
    QVERIFY2(times.size() >= 3, qPrintable(QString::number(times.size())));
    for (std::size_t i = 2; i < times.size(); ++i) // the first two may be the start's
        QVERIFY2(times[i] - times[i - 1] >= 99 || i + 1 == times.size(),
                 qPrintable(QString("%1 ms apart").arg(times[i] - times[i - 1])));
}

// With a home switch the dial is a Home Assistant button too; its press homes the motor.
void TestMqttFront::homeButton()
{
    struct Open final : SwitchInput {
        bool Closed() override { return false; }
        std::string Name() const override { return "switch"; }
    } open;
    FrontUnderTest t(MqttOptions::Discovery::On, &open);
    const auto* button = t.session->Last("homeassistant/button/stepper-dial/t1/config");
    QVERIFY(button && button->retain);
    const QJsonObject entity = QJsonDocument::fromJson(button->payload).object();
    QCOMPARE(entity["command_topic"].toString(), QString("stepper-dial/t1/home/set"));
    QCOMPARE(entity["device"]["identifiers"][0].toString(), QString("stepper-dial_t1"));
    emit t.session->MessageArrived("stepper-dial/t1/home/set", "PRESS");
    t.Fire();
    QTRY_COMPARE(t.Held("homing"), QByteArray("true"));
    QCOMPARE(t.port.writes.size(), std::size_t(2)); // the coils off at start, one seek step
}

QTEST_MAIN(TestMqttFront)
#include "tst_mqttfront.moc"
