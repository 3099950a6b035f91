// SPDX-License-Identifier: MIT
// A ramped move from its steps alone: in a run (steps one way) the k-th interval from either
// end no faster than constant acceleration from the start rate gives over k steps (a tick
// short at most, on the 1 ms grid), the end ones no faster than the start rate, none above top.
#pragma once

#include "motor/speedprofile.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

struct RampStep {
    std::int64_t tick;
    int direction;
};

// Empty when every interval keeps to the profile; else the first that does not.
inline std::string RampFault(const std::vector<RampStep>& steps, const SpeedProfile& p)
{
    for (std::size_t begin = 0, end = 1; end <= steps.size(); ++end) {
        if (end < steps.size() && steps[end].direction == steps[end - 1].direction)
            continue;
        for (std::size_t j = std::max<std::size_t>(begin, 1); j < end; ++j) {
            const std::int64_t gap = steps[j].tick - steps[j - 1].tick;
            const std::int64_t k = std::min<std::int64_t>(j - begin - 1, end - 1 - j);
            const double fastest = std::sqrt(double(p.startRate) * p.startRate +
                                             2.0 * p.accel * std::max<std::int64_t>(k, 0));
            if (gap * (k <= 0 ? p.startRate : p.maxRate) < 1000 || gap < int(1000 / fastest))
                return "step " + std::to_string(j) + ", " + std::to_string(gap) + " ticks on";
        }
        begin = end;
    }
    return {};
}
