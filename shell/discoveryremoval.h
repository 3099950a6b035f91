// SPDX-License-Identifier: MIT
// --mqtt-discovery remove: clears the dial's Home Assistant announcement from the broker, so
// the entity goes (the package does it when it is removed), and touches no motor.
#pragma once

#include "mqtt/credentials.h"
#include "mqtt/mqttoptions.h"

// The exit status: 0 cleared, 1 no broker answered in time, 3 credentials refused.
int RemoveDiscovery(const MqttOptions& options, const MqttCredentials& credentials, char* argv0);
