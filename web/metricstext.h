// SPDX-License-Identifier: MIT
// The dial and its stepping thread in Prometheus's text format, for GET /metrics.
#pragma once

#include "core/dialstate.h"
#include "motor/steppingtiming.h"

#include <QByteArray>

// What the dial's other links say, gathered where they are composed.
struct MetricsLinks {
    int webPages = 0;
    bool mqttConnected = false;
};

QByteArray MetricsText(const DialState& state, const TimingCounts& timing,
                       const MetricsLinks& links);
