// SPDX-License-Identifier: MIT
// Fuzzes the speed ramp: a profile, targets changed at random ticks, then a wait for rest,
// which must come, with every interval kept to the profile.
#include "../rampcheck.h"
#include "motor/speedramp.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    SpeedProfile profile{1 + (data[0] | data[1] << 8) % SpeedProfile::TickRate, 0, 0};
    profile.startRate = 1 + data[2] % profile.maxRate;
    if (profile.startRate < profile.maxRate)
        profile.accel = 1 + (data[3] | data[4] << 8) * 16 % SpeedProfile::HighestAccel;
    if (!profile.Ramps())
        return 0;
    SpeedRamp ramp(profile);
    std::int64_t position = 0, tick = 0;
    double target = 0;
    std::vector<RampStep> steps;
    // The ticks, or with `toRest` until the motor stands at its target: false if it never does.
    const auto run = [&](std::int64_t ticks, bool toRest) {
        for (const std::int64_t end = tick + ticks; tick < end; ++tick) {
            if (toRest && ramp.Standing() && std::abs(target - double(position)) < 1.0)
                return true;
            if (const int step = ramp.Tick(target, position))
                steps.push_back({tick, step}), position += step;
        }
        return !toRest;
    };
    // Targets within 256 steps, so even at a step a second the wait for rest stays short.
    for (std::size_t i = 5; i + 3 <= size; i += 3) {
        run(data[i] * 4, false);
        target = std::int16_t(data[i + 1] | data[i + 2] << 8) / 128.0;
    }
    const std::string fault =
        run(std::int64_t(1) << 22, true) ? RampFault(steps, profile) : "never at rest";
    if (!fault.empty())
        std::fprintf(stderr, "%d/%d/%d: %s\n", profile.maxRate, profile.startRate, profile.accel,
                     fault.c_str()),
            std::abort();
    return 0;
}
