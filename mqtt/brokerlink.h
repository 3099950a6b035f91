// SPDX-License-Identifier: MIT
// One connection to an MQTT broker through libmosquitto, kept up by a network thread of its
// own: it connects, reconnects after 1, 2, 4 ... 60 s while the broker is away, and hands
// what happened to the event loop's thread as queued calls only. Publishing from the event
// loop's thread never waits on the network: the packet is queued for the network thread,
// and once too many are unsent the publish is refused, so the caller keeps the latest state
// and sends it when the backlog drains.
#pragma once

#include "credentials.h"
#include "mqttoptions.h"

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct mosquitto;

class BrokerLink : public QObject {
    Q_OBJECT
public:
    static constexpr int KeepAliveSeconds = 10;
    static constexpr int FirstRetrySeconds = 1;
    static constexpr int LastRetrySeconds = 60;
    static constexpr int MostUnsent = 64;       // packets queued and not yet taken
    static constexpr int LargestPacket = 65536; // the broker sends us nothing larger
    static constexpr int GoodbyeMs = 1000;      // a broker that takes longer is left

    // clientId: unique on the broker (MqttOptions::ClientId); willTopic: where the broker says
    // "offline" when this connection dies unannounced (empty: no will); subscription: the topic
    // whose messages come back through MessageArrived (empty: none).
    BrokerLink(MqttOptions options, MqttCredentials credentials, QByteArray clientId,
               QByteArray willTopic, QByteArray subscription, QObject* parent = nullptr);
    ~BrokerLink() override;

    // Starts the network thread; false with the reason when libmosquitto refuses the
    // settings (a CA file it cannot load, for one).
    bool Start(QString& why);
    // Queues a message; false (nothing sent) while no broker is connected or the backlog is
    // full. QoS 0 or 1; at QoS 1 `id` is set to the number Answered will carry.
    bool Publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain,
                 int* id = nullptr);
    // The last words, then a clean disconnect (so the will is not sent), within GoodbyeMs.
    // False when the network thread is still held inside a connect: the quit does not wait
    // for it, and the owner must then leave this object alive to the process's end.
    bool Stop(const QByteArray& lastTopic = {}, const QByteArray& lastPayload = {});

signals:
    void Connected();
    // The broker went away or could not be reached: why, for the operator.
    void Lost(const QString& why);
    // The broker answered and refused this client; credentials: the user or password.
    void Refused(const QString& why, bool credentials);
    // A message on the subscription that was not a stored (retained) one. Messages that
    // come faster than they are taken are folded: the latest is delivered.
    void MessageArrived(const QByteArray& payload);
    // The backlog has room again after a refused publish.
    void Drained();
    // The broker's answer to a QoS 1 message: empty `refusal` if it took it.
    void Answered(int id, const QString& refusal);
    // The broker refused the subscription: no message will ever arrive.
    void SubscriptionRefused(const QString& why);
    // Another client connected with this client id and the broker gave it this session.
    // The link waits LastRetrySeconds before it takes the session back.
    void TakenOver();

private:
    bool Configure(QString& why);
    void Run();
    bool Sleep(int seconds);
    friend struct BrokerCallbacks; // libmosquitto's callbacks, on the network thread

    MqttOptions options_;
    MqttCredentials credentials_;
    QByteArray clientId_;
    QByteArray willTopic_;
    QByteArray subscription_;
    mosquitto* mosq_ = nullptr;
    std::thread thread_;
    std::atomic<bool> connected_ = false;
    std::atomic<bool> stopping_ = false;
    std::atomic<bool> finished_ = false;
    std::atomic<bool> refused_ = false; // the broker's answer was no
    std::atomic<int> unsent_ = 0;
    std::atomic<bool> refusedPublish_ = false;
    std::atomic<int> goodbyeReason_ = 0;        // the broker's reason when it ended the connection
    std::atomic<std::int64_t> connectedAt_ = 0; // steady_clock ticks
    std::mutex mutex_; // guards the latest message, the last logged error and the sleep
    std::condition_variable wake_;
    QByteArray latestMessage_;
    QString lastLogError_;
    bool messageWaiting_ = false;
};
