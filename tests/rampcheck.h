// SPDX-License-Identifier: MIT
// What a ramped move must look like, read from its steps alone. A run is steps one way, from
// a start or a turn to a stop or a turn; its k-th interval from either end may be no faster
// than a constant acceleration from the start rate allows over k steps, and none faster than
// the top rate. On a 1 ms grid an interval may fall up to a tick short of its ideal, never
// below the start rate at a run's ends, never below the top rate anywhere.
#pragma once

#include "motor/speedprofile.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

struct RampStep {
    std::int64_t tick;
    int direction;
    bool fromRest = false; // the motor stood before this step
};

// Empty when every interval keeps to the profile; else the first that does not.
inline std::string RampFault(const std::vector<RampStep>& steps, const SpeedProfile& profile)
{
    const auto fastest = [&](std::int64_t k) {
        const double start = profile.startRate;
        return std::min<double>(profile.maxRate,
                                std::sqrt(start * start + 2.0 * profile.accel * k));
    };
    std::size_t begin = 0;
    for (std::size_t end = 1; end <= steps.size(); ++end) {
        if (end < steps.size() && steps[end].direction == steps[end - 1].direction &&
            !steps[end].fromRest)
            continue;
        for (std::size_t j = std::max<std::size_t>(begin, 1); j < end; ++j) {
            const std::int64_t gap = steps[j].tick - steps[j - 1].tick;
            const std::int64_t k = std::min(std::int64_t(j - begin) - 1, std::int64_t(end - 1 - j));
            const bool slow =
                k <= 0 ? gap * profile.startRate >= 1000
                       : gap * profile.maxRate >= 1000 && gap >= std::int64_t(1000.0 / fastest(k));
            if (!slow)
                return "step " + std::to_string(j) + " at tick " + std::to_string(steps[j].tick) +
                       " came " + std::to_string(gap) + " ticks after the last, " +
                       std::to_string(k) + " steps from its run's end";
        }
        begin = end;
    }
    return {};
}
