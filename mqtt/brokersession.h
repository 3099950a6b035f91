// SPDX-License-Identifier: MIT
// What the MQTT front needs of a broker: one session that publishes, delivers the commands of
// its subscription and says what happened, on the event loop's thread. BrokerLink is the
// real one, through libmosquitto.
#pragma once

#include "base/failure.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class BrokerSession : public QObject {
    Q_OBJECT
public:
    static constexpr int FirstRetrySeconds = 1;
    static constexpr int LastRetrySeconds = 60;
    // A connection dropped within this long after the broker took it was dropped soon.
    static constexpr int SoonSeconds = 10;

    using QObject::QObject;

    // Starts connecting; a usage failure when the settings cannot be used.
    virtual Outcome Start() = 0;
    // Queues a message; false (nothing sent) while no broker is connected or the backlog is
    // full. QoS 0 or 1; at QoS 1 `id` is set to the number Answered will carry.
    virtual bool Publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain,
                         int* id = nullptr) = 0;
    // The last words, then a clean disconnect (so the will is not sent), bounded. False when
    // the session cannot be ended now: the owner must then leave it alive to the process's
    // end.
    virtual bool Stop(const QByteArray& lastTopic = {}, const QByteArray& lastPayload = {}) = 0;

signals:
    void Connected();
    // The broker went away or could not be reached: why, for the operator, and the seconds
    // until the next try.
    void Lost(const QString& why, int retrySeconds);
    // The broker dropped the connection soon after taking it, twice, without a reason: most
    // likely another client under this id, on a broker that does not say so.
    void DroppedSoon(int retrySeconds);
    // The broker answered and refused this client; credentials: the user or password; the
    // seconds until the next try.
    void Refused(const QString& why, bool credentials, int retrySeconds);
    // A message on a subscription that was not a stored (retained) one. Messages on a topic
    // that come faster than they are taken are folded: the latest is delivered.
    void MessageArrived(const QByteArray& topic, const QByteArray& payload);
    // The backlog has room again after a refused publish.
    void Drained();
    // The broker's answer to a QoS 1 message: empty `refusal` if it took it.
    void Answered(int id, const QString& refusal);
    // The broker refused the subscription: no message will ever arrive.
    void SubscriptionRefused(const QString& why);
    // Another client connected with this client id and the broker gave it this session,
    // which is taken back after LastRetrySeconds.
    void TakenOver();
};
