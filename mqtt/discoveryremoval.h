// SPDX-License-Identifier: MIT
// --mqtt-discovery remove: clears the dial's Home Assistant announcement from the broker, so
// the entity goes (the package does it when it is removed), and touches no motor.
#pragma once

#include "base/exitstatus.h"
#include "credentials.h"
#include "mqttoptions.h"

// Under a running QCoreApplication, which it runs until the broker answered: Normal cleared;
// StartUp no broker answered in time, or its access list refused the clearing; Hardware
// credentials refused; Usage settings libmosquitto rejects.
ExitStatus RemoveDiscovery(const MqttOptions& options, const MqttCredentials& credentials);
