// SPDX-License-Identifier: MIT
// Home Assistant's MQTT discovery: one retained message under homeassistant/ makes the dial
// a number entity (its angle, settable) of a device named after it, with no YAML.
#pragma once

#include "motor/stepgeometry.h"
#include "mqttoptions.h"

#include <QByteArray>

// homeassistant/number/<node>/<name>/config, the node being the prefix made topic-safe, so
// two dials of one name under different prefixes are two entities.
QByteArray DiscoveryTopic(const MqttOptions& options);
// Where releases before the prefix was part of it announced the dial: cleared, for one
// release, so Home Assistant does not keep a stale entity.
QByteArray OldDiscoveryTopic(const MqttOptions& options);
// The entity: unique id, device (name, model, software version), degrees, the range and step
// of angles the motor can stand at (a step of the geometry apart), command, state and
// availability topics.
QByteArray DiscoveryConfig(const MqttOptions& options, const StepGeometry& geometry);

// homeassistant/button/<node>/<name>/config: "Home now", a button of the same device that
// publishes to home/set. Announced with a home switch, cleared without one.
QByteArray HomeButtonTopic(const MqttOptions& options);
QByteArray HomeButtonConfig(const MqttOptions& options);
