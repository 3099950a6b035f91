// SPDX-License-Identifier: MIT
// One connection to an MQTT broker through libmosquitto, kept up by a network thread of its
// own: it connects, reconnects after 1, 2, 4 ... 60 s while the broker is away, and hands
// what happened to the event loop's thread as queued calls only. Publishing from the event
// loop's thread never waits on the network: the packet is queued for the network thread,
// and once too many are unsent the publish is refused, so the caller keeps the latest state
// and sends it when the backlog drains.
#pragma once

#include "brokersession.h"
#include "credentials.h"
#include "mqttoptions.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

struct mosquitto;

class BrokerLink final : public BrokerSession {
    Q_OBJECT
public:
    static constexpr int KeepAliveSeconds = 10;
    static constexpr int MostUnsent = 64;       // packets queued and not yet taken
    static constexpr int LargestPacket = 65536; // the broker sends us nothing larger
    static constexpr int GoodbyeMs = 1000;      // a broker that takes longer is left

    // clientId: unique on the broker (MqttOptions::ClientId); willTopic: where the broker says
    // "offline" when this connection dies unannounced (empty: no will); subscriptions: the
    // topics whose messages come back through MessageArrived, each folded on its own.
    BrokerLink(MqttOptions options, MqttCredentials credentials, QByteArray clientId,
               QByteArray willTopic, const QList<QByteArray>& subscriptions,
               QObject* parent = nullptr);
    ~BrokerLink() override;

    Outcome Start() override;
    bool Publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain,
                 int* id = nullptr) override;
    bool Stop(const QByteArray& lastTopic = {}, const QByteArray& lastPayload = {}) override;

private:
    Outcome Configure();
    void Run();
    bool Sleep(int seconds);
    friend struct BrokerCallbacks; // libmosquitto's callbacks, on the network thread

    MqttOptions options_;
    MqttCredentials credentials_;
    QByteArray clientId_;
    QByteArray willTopic_;
    // A subscribed topic and its latest message not yet taken. Fixed once constructed.
    struct Inbox {
        QByteArray topic;
        QByteArray latest;
        bool waiting;
    };
    std::vector<Inbox> inboxes_;
    mosquitto* mosq_ = nullptr;
    std::thread thread_;
    std::atomic<bool> connected_ = false;
    std::atomic<bool> stopping_ = false;
    std::atomic<bool> finished_ = false;
    std::atomic<bool> refused_ = false;                 // the broker's answer was no
    std::atomic<int> retrySeconds_ = FirstRetrySeconds; // the wait after this attempt fails
    std::atomic<int> unsent_ = 0;
    std::atomic<bool> refusedPublish_ = false;
    std::atomic<int> goodbyeReason_ = 0;        // the broker's reason when it ended the connection
    std::atomic<std::int64_t> connectedAt_ = 0; // steady_clock ticks
    std::mutex mutex_; // guards the inboxes' messages, the last logged error and the sleep
    std::condition_variable wake_;
    QString lastLogError_;
};
