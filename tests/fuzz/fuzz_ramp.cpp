// SPDX-License-Identifier: MIT
// Fuzzes the speed ramp alone: a profile, then target changes at random ticks, then a wait
// for rest. Every interval must keep to the profile, and the motor must come to rest, less
// than a step from its last target, within the time its moves can take.
#include "../rampcheck.h"
#include "motor/speedramp.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    SpeedProfile profile;
    profile.maxRate = 1 + (data[0] | data[1] << 8) % SpeedProfile::TickRate;
    profile.startRate = 1 + data[2] % profile.maxRate;
    profile.accel = profile.startRate == profile.maxRate
                        ? 0
                        : 1 + (data[3] | data[4] << 8) * 16 % SpeedProfile::HighestAccel;
    if (!profile.Ramps())
        return 0;
    SpeedRamp ramp(profile);
    std::int64_t position = 0;
    std::int64_t tick = 0;
    double target = 0;
    std::vector<RampStep> steps;
    // Runs the ticks, or with `toRest` until the motor stands at its target; false when it
    // does not within them.
    const auto run = [&](std::int64_t ticks, bool toRest) {
        for (const std::int64_t end = tick + ticks; tick < end;) {
            if (toRest && ramp.Standing() && std::abs(target - double(position)) < 1.0)
                return true;
            const bool stood = ramp.Standing();
            ++tick;
            if (const int step = ramp.Tick(target, position)) {
                position += step;
                steps.push_back({tick, step, stood});
            }
        }
        return !toRest;
    };
    // Targets within 256 steps, so even at a step a second the wait for rest stays short.
    for (std::size_t i = 5; i + 3 <= size; i += 3) {
        run(data[i] * 4, false);
        target = std::int16_t(data[i + 1] | data[i + 2] << 8) / 128.0;
    }
    const bool rested = run(std::int64_t(1) << 22, true);
    const std::string fault = RampFault(steps, profile);
    if (!fault.empty() || !rested) {
        std::fprintf(stderr, "%d/%d/%d: %s; rests at %lld for %g\n", profile.maxRate,
                     profile.startRate, profile.accel, fault.c_str(), (long long)position, target);
        std::abort();
    }
    return 0;
}
