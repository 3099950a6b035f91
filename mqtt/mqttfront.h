// SPDX-License-Identifier: MIT
// The broker bridge: an adapter of the DialCore like the web page. Commands on
// <prefix>/<name>/angle/set are taken as a client's message is; the dial's state goes out
// retained on its own topics (at most 10 times a second while moving, and once on arrival), with
// "online"/"offline" availability (the broker's will says "offline" when the program dies) and Home
// Assistant's discovery config. A broker that is away costs nothing but one line: the latest state
// is kept and sent when it is back.
#pragma once

#include "brokersession.h"
#include "core/dialstate.h"
#include "mqttoptions.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <memory>

class DialCore;

class MqttFront : public QObject {
    Q_OBJECT
public:
    static constexpr int StateIntervalMs = 100; // at most 10 states a second

    // broker: the session to the broker the options name, idle until Start.
    MqttFront(DialCore& core, MqttOptions options, std::unique_ptr<BrokerSession> broker,
              QObject* parent = nullptr);
    ~MqttFront() override;

    // Starts connecting; false with the reason when the settings cannot be used.
    Outcome Start();
    // "offline", then a clean disconnect; bounded.
    void Stop();
    // Whether the broker is connected now.
    bool IsConnected() const { return connected_; }

signals:
    // The broker's first answer refused the credentials: nothing would ever work.
    void CredentialsRefused(const QString& why);
    // The broker refused the subscription to the command topic: commands cannot arrive.
    void CommandsRefused(const QString& why);

private:
    void TakeConnected();
    void TakeLost(const QString& why, int retrySeconds);
    void TakeDroppedSoon(int retrySeconds);
    void ReportOutage(const QString& what, int retrySeconds);
    void TakeRefused(const QString& why, bool credentials, int retrySeconds);
    // A message on angle/set, or a press on home/set.
    void TakeMessage(const QByteArray& topic, const QByteArray& payload);
    void TakeCommand(const QByteArray& payload);
    void TakeAnswer(int id, const QString& refusal);
    void TakeSubscriptionRefused(const QString& why);
    void TakeTakenOver();
    void PublishHeld(const QByteArray& topic, const QByteArray& payload);
    void PublishState(const DialState& state);
    void Publish(const char* leaf, const QByteArray& payload);

    DialCore& core_;
    MqttOptions options_;
    std::unique_ptr<BrokerSession> link_;
    QHash<QByteArray, QByteArray> sent_; // topic -> payload the broker holds from us
    QHash<int, QByteArray> unanswered_;  // QoS 1 messages by id -> topic
    QSet<QByteArray> refusedTopics_;     // each refusal said once
    bool everConnected_ = false;
    bool connected_ = false;
    bool away_ = false; // an outage reported and not yet over
};
