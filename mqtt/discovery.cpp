// SPDX-License-Identifier: MIT
#include "discovery.h"

#include "base/programinfo.h"
#include "motor/steppingcontroller.h"
#include "mqttoptions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// "stepper-dial" for the default prefix, so the ids of dials announced before stay theirs.
QString Node(const MqttOptions& options)
{
    return TopicSafeName(options.prefix);
}

} // namespace

QByteArray DiscoveryTopic(const MqttOptions& options)
{
    return "homeassistant/number/" + Node(options).toUtf8() + '/' + options.name.toUtf8() +
           "/config";
}

QByteArray OldDiscoveryTopic(const MqttOptions& options)
{
    return "homeassistant/number/" + options.name.toUtf8() + "/config";
}

QByteArray DiscoveryConfig(const MqttOptions& options, const StepGeometry& geometry)
{
    const QString id = Node(options) + '_' + options.name;
    // Every angle the motor can rest at, and no more: one step apart, within the steps a
    // motor's lifetime can count. Such values print without an exponent, so the number rule
    // reads them whole.
    const double step = geometry.StepAngle();
    const double farthest = double(SteppingController::ReachableSteps) * step;
    const QJsonObject config{
        {"name", QJsonValue::Null}, // the entity is the device itself
        {"unique_id", id},
        {"object_id", id},
        {"device", QJsonObject{{"identifiers", QJsonArray{id}},
                               {"name", options.name},
                               {"model", "stepper-dial"},
                               {"manufacturer", "stepper-dial"},
                               {"sw_version", ProgramVersion}}},
        {"icon", "mdi:gauge"},
        {"unit_of_measurement", "°"},
        {"min", -farthest},
        {"max", farthest},
        {"step", step},
        {"mode", "box"},
        {"command_topic", QString::fromUtf8(options.Topic("angle/set"))},
        {"state_topic", QString::fromUtf8(options.Topic("angle"))},
        {"availability_topic", QString::fromUtf8(options.Topic("availability"))},
        {"payload_available", "online"},
        {"payload_not_available", "offline"},
        {"qos", 1},
    };
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

QByteArray HomeButtonTopic(const MqttOptions& options)
{
    return "homeassistant/button/" + Node(options).toUtf8() + '/' + options.name.toUtf8() +
           "/config";
}

QByteArray HomeButtonConfig(const MqttOptions& options)
{
    const QString id = Node(options) + '_' + options.name;
    const QJsonObject config{
        {"name", "Home now"},
        {"unique_id", id + "_home"},
        {"object_id", id + "_home"},
        {"device", QJsonObject{{"identifiers", QJsonArray{id}}}},
        {"icon", "mdi:home-import-outline"},
        {"command_topic", QString::fromUtf8(options.Topic("home/set"))},
        {"payload_press", "PRESS"},
        {"availability_topic", QString::fromUtf8(options.Topic("availability"))},
        {"payload_available", "online"},
        {"payload_not_available", "offline"},
        {"qos", 1},
    };
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}
