// SPDX-License-Identifier: MIT
// How fast the motor may go: its top rate, the rate a move may start, end or turn at without
// ramping, and the acceleration between the two. The default is one step every tick.
#pragma once

#include "base/failure.h"

#include <cstdint>
#include <optional>
#include <string>

struct SpeedProfile {
    static constexpr int TickRate = 1000; // ticks a second
    static constexpr int HighestAccel = 1'000'000;

    int maxRate = TickRate;   // steps a second
    int startRate = TickRate; // steps a second
    int accel = 0;            // steps a second per second

    // False: the plain rule, a step on every tick from the first.
    bool Ramps() const { return startRate < TickRate; }
    // Steps fall on whole ticks, so a rate runs at the next whole number of ticks a step.
    int StartTicks() const { return (TickRate + startRate - 1) / startRate; }
    int TopTicks() const { return (TickRate + maxRate - 1) / maxRate; }
    // Speed index k runs at sqrt(start^2 + 2 accel k) steps a second: the speed a constant
    // acceleration reaches k steps into a run. From this index on it is the top rate.
    std::int64_t TopIndex() const;
    // The time between steps at speed index k, in microseconds, rounded up.
    std::int64_t IntervalMicroseconds(std::int64_t index) const;
    // What it allows, in words, for the operator.
    std::string Description() const;
};

// The options as written; absent ones keep the default.
struct SpeedOptions {
    std::optional<std::string> maxRate;
    std::optional<std::string> startRate;
    std::optional<std::string> accel;
};

// A usage failure naming the option and its range when a value or the combination is bad.
Outcome ReadSpeedProfile(const SpeedOptions& options, SpeedProfile& profile);
