// SPDX-License-Identifier: MIT
// Home Assistant's MQTT discovery: one retained message under homeassistant/ makes the dial
// a number entity (its angle, settable) of a device named after it, with no YAML.
#pragma once

#include "mqttoptions.h"

#include <QByteArray>

// homeassistant/number/<name>/config
QByteArray DiscoveryTopic(const MqttOptions& options);
// The entity: unique id, device (name, model, software version), degrees, the range and step
// of angles the motor can stand at, command, state and availability topics.
QByteArray DiscoveryConfig(const MqttOptions& options);
