// SPDX-License-Identifier: MIT
#include "mqttfront.h"

#include "base/report.h"
#include "core/angletext.h"
#include "core/dialcore.h"
#include "core/messagerule.h"
#include "core/statefeed.h"
#include "discovery.h"

namespace {

QByteArray Flag(bool value)
{
    return value ? "true" : "false";
}

QByteArray AngleText(double degrees)
{
    return QByteArray::fromStdString(FormatAngleText(degrees, "."));
}

} // namespace

MqttFront::MqttFront(DialCore& core, MqttOptions options, std::unique_ptr<BrokerSession> broker,
                     QObject* parent)
    : QObject(parent), core_(core), options_(std::move(options)), link_(std::move(broker))
{
}

MqttFront::~MqttFront()
{
    Stop();
}

Outcome MqttFront::Start()
{
    connect(link_.get(), &BrokerSession::Connected, this, &MqttFront::TakeConnected);
    connect(link_.get(), &BrokerSession::Lost, this, &MqttFront::TakeLost);
    connect(link_.get(), &BrokerSession::DroppedSoon, this, &MqttFront::TakeDroppedSoon);
    connect(link_.get(), &BrokerSession::Refused, this, &MqttFront::TakeRefused);
    connect(link_.get(), &BrokerSession::MessageArrived, this, &MqttFront::TakeMessage);
    connect(link_.get(), &BrokerSession::Drained, this, [this] { PublishState(core_.State()); });
    connect(link_.get(), &BrokerSession::Answered, this, &MqttFront::TakeAnswer);
    connect(link_.get(), &BrokerSession::SubscriptionRefused, this,
            &MqttFront::TakeSubscriptionRefused);
    connect(link_.get(), &BrokerSession::TakenOver, this, &MqttFront::TakeTakenOver);
    connect(new StateFeed(core_, StateIntervalMs, this), &StateFeed::Changed, this,
            &MqttFront::PublishState);
    return link_->Start();
}

void MqttFront::Stop()
{
    if (!link_)
        return;
    if (!link_->Stop(options_.Topic("availability"), "offline"))
        (void)link_.release(); // its thread is stuck in a connect: left to the process's end
    link_.reset();
}

void MqttFront::TakeConnected()
{
    Report((everConnected_ ? "MQTT: the broker at " + options_.BrokerText() + " is back"
                           : "MQTT: connected to the broker at " + options_.BrokerText() + " as " +
                                 options_.prefix + '/' + options_.name)
               .toStdString());
    everConnected_ = true;
    connected_ = true;
    away_ = false;
    sent_.clear(); // a broker that restarted may have lost what it held
    unanswered_.clear();
    PublishHeld(options_.Topic("availability"), "online");
    if (options_.discovery == MqttOptions::Discovery::On) {
        PublishHeld(OldDiscoveryTopic(options_), {});
        PublishHeld(DiscoveryTopic(options_), DiscoveryConfig(options_, core_.Geometry()));
        PublishHeld(HomeButtonTopic(options_),
                    core_.CanHome() ? HomeButtonConfig(options_) : QByteArray());
    }
    PublishState(core_.State());
}

void MqttFront::PublishHeld(const QByteArray& topic, const QByteArray& payload)
{
    if (int id = 0; link_->Publish(topic, payload, 1, true, &id))
        unanswered_.insert(id, topic);
}

void MqttFront::TakeAnswer(int id, const QString& refusal)
{
    const QByteArray topic = unanswered_.take(id);
    if (topic.isEmpty() || refusal.isEmpty() || refusedTopics_.contains(topic))
        return;
    refusedTopics_.insert(topic);
    Report(("MQTT: the broker at " + options_.BrokerText() +
            " refuses what this dial publishes on " + topic + " (" + refusal +
            "); allow it in the broker's access list")
               .toStdString());
}

void MqttFront::TakeSubscriptionRefused(const QString& why)
{
    const QString line = "the broker at " + options_.BrokerText() +
                         " refuses the subscription to " + options_.Topic("angle/set") + " (" +
                         why +
                         "): no command can arrive by MQTT; allow it in the broker's access list";
    Report(("MQTT: " + line).toStdString());
    emit CommandsRefused(line);
}

void MqttFront::TakeTakenOver()
{
    connected_ = false;
    ReportOutage("another dial uses the name " + options_.prefix + '/' + options_.name +
                     " on the broker at " + options_.BrokerText() +
                     " and took this connection; give each dial its own --mqtt-name (or "
                     "--mqtt-prefix)",
                 BrokerSession::LastRetrySeconds);
}

void MqttFront::TakeLost(const QString& why, int retrySeconds)
{
    connected_ = false;
    ReportOutage((everConnected_ ? "lost the broker at " : "cannot reach the broker at ") +
                     options_.BrokerText() + (why.isEmpty() ? QString() : " (" + why + ')'),
                 retrySeconds);
}

void MqttFront::TakeDroppedSoon(int retrySeconds)
{
    connected_ = false;
    ReportOutage("the broker at " + options_.BrokerText() +
                     " dropped this connection twice soon after taking it: another dial may use "
                     "the name " +
                     options_.prefix + '/' + options_.name +
                     "; give each dial its own --mqtt-name (or --mqtt-prefix)",
                 retrySeconds);
}

void MqttFront::ReportOutage(const QString& what, int retrySeconds)
{
    if (away_)
        return; // one line an outage, not one a try
    away_ = true;
    const QString retry = retrySeconds >= BrokerSession::LastRetrySeconds
                              ? QString("trying again every %1 s").arg(retrySeconds)
                              : QString("trying again after %1 s, then up to every %2 s")
                                    .arg(retrySeconds)
                                    .arg(BrokerSession::LastRetrySeconds);
    Report(QString("MQTT: %1; %2").arg(what, retry).toStdString());
}

void MqttFront::TakeRefused(const QString& why, bool credentials, int retrySeconds)
{
    connected_ = false;
    if (credentials && !everConnected_) {
        emit CredentialsRefused(
            "MQTT: the broker at " + options_.BrokerText() + " refuses this client: " + why +
            (options_.credentialsFile.isEmpty()
                 ? QString("; give a user and password with "
                           "--mqtt-credentials FILE")
                 : "; check the user and password in " + options_.credentialsFile));
        return;
    }
    ReportOutage("the broker at " + options_.BrokerText() + " refuses this client (" + why + ')',
                 retrySeconds);
}

void MqttFront::TakeMessage(const QByteArray& topic, const QByteArray& payload)
{
    if (topic == options_.Topic("home/set"))
        core_.Home();
    else
        TakeCommand(payload);
}

void MqttFront::TakeCommand(const QByteArray& payload)
{
    // There is no connection to end here: "disconnect" is the TCP client's word. An empty
    // message is how a stored command is cleared, never a command.
    if (IsDisconnectCommand(payload) || payload.isEmpty())
        return;
    core_.Command(AngleTextFromBytes(payload), true);
}

void MqttFront::PublishState(const DialState& state)
{
    Publish("angle", AngleText(state.angle));
    Publish("target", state.TargetText().toUtf8());
    Publish("moving", Flag(state.moving));
    Publish("client", state.client.toUtf8());
    Publish("position_uncertain", Flag(state.uncertain));
    Publish("late_ticks", QByteArray::number(qulonglong(state.lateTicks)));
    Publish("homing", Flag(state.homing));
    Publish("home_corrections", QByteArray::number(qulonglong(state.homeCorrections)));
    Publish("home_error_steps", QByteArray::number(qlonglong(state.homeErrorSteps)));
}

void MqttFront::Publish(const char* leaf, const QByteArray& payload)
{
    const QByteArray topic = options_.Topic(leaf);
    auto held = sent_.constFind(topic);
    if (held != sent_.cend() && *held == payload)
        return;
    // Refused while the broker is away or behind: the latest state goes when it drains.
    if (link_ && link_->Publish(topic, payload, 0, true))
        sent_.insert(topic, payload);
}
