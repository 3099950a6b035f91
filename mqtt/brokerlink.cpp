// SPDX-License-Identifier: MIT
#include "brokerlink.h"

#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace {

QString ErrorText(int error)
{
    if (error == MOSQ_ERR_ERRNO)
        return errno ? QString::fromLocal8Bit(std::strerror(errno)) : "the connection closed";
    return QString::fromUtf8(mosquitto_strerror(error));
}

} // namespace

struct BrokerCallbacks {
    static void Connect(mosquitto* mosq, void* self, int reason, int, const mosquitto_property*)
    {
        auto* link = static_cast<BrokerLink*>(self);
        if (reason != 0) {
            const bool credentials = reason == CONNACK_REFUSED_BAD_USERNAME_PASSWORD ||
                                     reason == CONNACK_REFUSED_NOT_AUTHORIZED ||
                                     reason == MQTT_RC_BAD_USERNAME_OR_PASSWORD ||
                                     reason == MQTT_RC_NOT_AUTHORIZED;
            const QString why = QString::fromUtf8(reason < 128 ? mosquitto_connack_string(reason)
                                                               : mosquitto_reason_string(reason));
            link->refused_ = true;
            QMetaObject::invokeMethod(
                link,
                [link, why, credentials, retry = link->retrySeconds_.load()] {
                    emit link->Refused(why, credentials, retry);
                },
                Qt::QueuedConnection);
            return;
        }
        link->unsent_ = 0; // what the last connection left unsent is gone with it
        for (const BrokerLink::Inbox& inbox : link->inboxes_)
            mosquitto_subscribe_v5(mosq, nullptr, inbox.topic.constData(), 1, 0, nullptr);
        link->connectedAt_ = std::chrono::steady_clock::now().time_since_epoch().count();
        link->connected_ = true;
        QMetaObject::invokeMethod(
            link, [link] { emit link->Connected(); }, Qt::QueuedConnection);
    }

    static void Publish(mosquitto*, void* self, int id, int reason, const mosquitto_property*)
    {
        auto* link = static_cast<BrokerLink*>(self);
        const QString refusal =
            reason >= 128 ? QString::fromUtf8(mosquitto_reason_string(reason)) : QString();
        QMetaObject::invokeMethod(
            link, [link, id, refusal] { emit link->Answered(id, refusal); }, Qt::QueuedConnection);
        if (--link->unsent_ <= MostUnsentHalf() && link->refusedPublish_.exchange(false))
            QMetaObject::invokeMethod(
                link, [link] { emit link->Drained(); }, Qt::QueuedConnection);
    }

    static void Subscribe(mosquitto*, void* self, int, int count, const int* granted,
                          const mosquitto_property*)
    {
        auto* link = static_cast<BrokerLink*>(self);
        if (count < 1 || granted[0] < 128)
            return;
        const QString why = QString::fromUtf8(mosquitto_reason_string(granted[0]));
        QMetaObject::invokeMethod(
            link, [link, why] { emit link->SubscriptionRefused(why); }, Qt::QueuedConnection);
    }

    static void Disconnect(mosquitto*, void* self, int reason, const mosquitto_property*)
    {
        static_cast<BrokerLink*>(self)->goodbyeReason_ = reason;
    }

    static void Message(mosquitto*, void* self, const mosquitto_message* message,
                        const mosquitto_property*)
    {
        auto* link = static_cast<BrokerLink*>(self);
        // A stored command is an old one: replayed at every reconnect it would turn the motor
        // again. An empty one is how a stored command is cleared, not a command.
        if (message->retain || message->payloadlen <= 0 || !message->topic)
            return;
        const auto inbox = std::find_if(
            link->inboxes_.begin(), link->inboxes_.end(),
            [message](const BrokerLink::Inbox& i) { return i.topic == message->topic; });
        if (inbox == link->inboxes_.end())
            return;
        {
            std::lock_guard lock(link->mutex_);
            inbox->latest =
                QByteArray(static_cast<const char*>(message->payload), message->payloadlen);
            if (inbox->waiting)
                return; // the call already queued takes this one
            inbox->waiting = true;
        }
        QMetaObject::invokeMethod(
            link,
            [link, inbox] {
                QByteArray payload;
                {
                    std::lock_guard lock(link->mutex_);
                    payload.swap(inbox->latest);
                    inbox->waiting = false;
                }
                emit link->MessageArrived(inbox->topic, payload);
            },
            Qt::QueuedConnection);
    }

    // libmosquitto names what TLS refused (an unknown CA, a name mismatch) only in its log.
    static void Log(mosquitto*, void* self, int level, const char* text)
    {
        auto* link = static_cast<BrokerLink*>(self);
        if (level == MOSQ_LOG_ERR) {
            std::lock_guard lock(link->mutex_);
            link->lastLogError_ = QString::fromUtf8(text);
        }
    }

    static constexpr int MostUnsentHalf() { return BrokerLink::MostUnsent / 2; }
};

BrokerLink::BrokerLink(MqttOptions options, MqttCredentials credentials, QByteArray clientId,
                       QByteArray willTopic, const QList<QByteArray>& subscriptions,
                       QObject* parent)
    : BrokerSession(parent), options_(std::move(options)), credentials_(std::move(credentials)),
      clientId_(std::move(clientId)), willTopic_(std::move(willTopic))
{
    for (const QByteArray& topic : subscriptions)
        inboxes_.push_back({topic, {}, false});
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
}

BrokerLink::~BrokerLink()
{
    if (thread_.joinable() && !Stop())
        std::terminate(); // the owner leaves a link it could not stop alive
}

Outcome BrokerLink::Configure()
{
    mosq_ = mosquitto_new(clientId_.constData(), true, this);
    if (!mosq_) {
        return UsageFailure(
            QString("cannot set up an MQTT client: " + QString::fromLocal8Bit(std::strerror(errno)))
                .toStdString());
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_threaded_set(mosq_, true);
    mosquitto_connect_v5_callback_set(mosq_, BrokerCallbacks::Connect);
    mosquitto_publish_v5_callback_set(mosq_, BrokerCallbacks::Publish);
    mosquitto_message_v5_callback_set(mosq_, BrokerCallbacks::Message);
    mosquitto_subscribe_v5_callback_set(mosq_, BrokerCallbacks::Subscribe);
    mosquitto_disconnect_v5_callback_set(mosq_, BrokerCallbacks::Disconnect);
    mosquitto_log_callback_set(mosq_, BrokerCallbacks::Log);
    int error = MOSQ_ERR_SUCCESS;
    if (!willTopic_.isEmpty())
        error =
            mosquitto_will_set_v5(mosq_, willTopic_.constData(), 7, "offline", 1, true, nullptr);
    if (error == MOSQ_ERR_SUCCESS && !credentials_.user.isEmpty())
        error = mosquitto_username_pw_set(mosq_, credentials_.user.constData(),
                                          credentials_.password.constData());
    if (error == MOSQ_ERR_SUCCESS && options_.tls) {
        const QByteArray caFile = options_.caFile.toLocal8Bit();
        if (caFile.isEmpty())
            error = mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (error == MOSQ_ERR_SUCCESS)
            error = mosquitto_tls_set(mosq_, caFile.isEmpty() ? nullptr : caFile.constData(),
                                      caFile.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr,
                                      nullptr, nullptr);
    }
    if (error != MOSQ_ERR_SUCCESS) {
        return UsageFailure(
            QString("cannot set up the MQTT connection to " + options_.BrokerText() + ": " +
                    ErrorText(error) +
                    (options_.tls && !options_.caFile.isEmpty()
                         ? " (is --mqtt-ca " + options_.caFile + " a readable PEM file?)"
                         : QString()))
                .toStdString());
    }
    return {};
}

Outcome BrokerLink::Start()
{
    if (Outcome failed = Configure())
        return failed;
    thread_ = std::thread([this] { Run(); });
    return {};
}

void BrokerLink::Run()
{
    const QByteArray host = options_.host.toUtf8();
    mosquitto_property* properties = nullptr;
    // The broker drops what is larger rather than sending it: a flood of huge commands costs
    // this program nothing.
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, LargestPacket);
    int delay = FirstRetrySeconds;
    int droppedSoon = 0;
    while (!stopping_) {
        {
            std::lock_guard lock(mutex_);
            lastLogError_.clear(); // only this attempt's reason counts
        }
        goodbyeReason_ = 0;
        retrySeconds_ = delay; // a refusal leaves the wait as it is
        // On this thread a connect may wait for the network; nothing else waits for it.
        int error = mosquitto_connect_bind_v5(mosq_, host.constData(), options_.port,
                                              KeepAliveSeconds, nullptr, properties);
        while (error == MOSQ_ERR_SUCCESS && !stopping_)
            error = mosquitto_loop(mosq_, -1, 1); // Publish and Stop wake it
        if (stopping_)
            break;
        QString why = ErrorText(error);
        // A failed TLS handshake shows as MOSQ_ERR_TLS with libmosquitto 2.0.11 and as a
        // protocol error with 2.0.21; either way OpenSSL's reason was logged.
        if (std::lock_guard lock(mutex_); !lastLogError_.isEmpty())
            why += ' ' + lastLogError_;
        // A new outage starts its backoff afresh; a connection the broker dropped soon after
        // taking it (another client under this id, a broker that refuses us) does not.
        const auto lasted = std::chrono::steady_clock::now().time_since_epoch() -
                            std::chrono::steady_clock::duration(connectedAt_.load());
        const bool wasConnected = connected_.exchange(false);
        if (wasConnected && lasted >= std::chrono::seconds(LastRetrySeconds)) {
            delay = FirstRetrySeconds;
            droppedSoon = 0;
        }
        // Dropped soon, with no reason given (a broker before 2.0.12 names no takeover): the
        // wait grows four times a loss, so two clients of one id take turns a few times a
        // minute at most rather than every second.
        const bool soon = wasConnected && lasted < std::chrono::seconds(SoonSeconds);
        if (soon) {
            ++droppedSoon;
            delay = std::min(delay * 2, LastRetrySeconds);
        }
        if (goodbyeReason_ == MQTT_RC_SESSION_TAKEN_OVER) {
            // Taken back at once, the two would push each other off for ever.
            delay = LastRetrySeconds;
            QMetaObject::invokeMethod(
                this, [this] { emit TakenOver(); }, Qt::QueuedConnection);
        } else if (refused_.exchange(false)) { // Refused said it
        } else if (soon && droppedSoon == 2) {
            QMetaObject::invokeMethod(
                this, [this, delay] { emit DroppedSoon(delay); }, Qt::QueuedConnection);
        } else {
            QMetaObject::invokeMethod(
                this, [this, why, delay] { emit Lost(why, delay); }, Qt::QueuedConnection);
        }
        if (!Sleep(delay))
            break;
        delay = std::min(delay * 2, LastRetrySeconds);
    }
    // The goodbye queued by Stop goes out, within its time.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(GoodbyeMs);
    while (connected_ && std::chrono::steady_clock::now() < until &&
           mosquitto_loop(mosq_, 50, 1) == MOSQ_ERR_SUCCESS) {
    }
    mosquitto_property_free_all(&properties);
    finished_ = true;
    wake_.notify_all();
}

bool BrokerLink::Sleep(int seconds)
{
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return bool(stopping_); });
}

bool BrokerLink::Publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain,
                         int* id)
{
    if (!connected_ || stopping_)
        return false;
    if (unsent_ >= MostUnsent) {
        refusedPublish_ = true;
        return false;
    }
    ++unsent_;
    if (mosquitto_publish_v5(mosq_, id, topic.constData(), int(payload.size()), payload.constData(),
                             qos, retain, nullptr) != MOSQ_ERR_SUCCESS) {
        --unsent_;
        return false;
    }
    return true;
}

bool BrokerLink::Stop(const QByteArray& lastTopic, const QByteArray& lastPayload)
{
    if (!thread_.joinable())
        return true;
    if (connected_) {
        if (!lastTopic.isEmpty())
            mosquitto_publish_v5(mosq_, nullptr, lastTopic.constData(), int(lastPayload.size()),
                                 lastPayload.constData(), 1, true, nullptr);
        mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    bool finished = false;
    {
        std::unique_lock lock(mutex_);
        finished = wake_.wait_for(lock, std::chrono::milliseconds(GoodbyeMs + 500),
                                  [this] { return bool(finished_); });
    }
    if (!finished) {
        thread_.detach();
        return false;
    }
    thread_.join();
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    return true;
}
