// SPDX-License-Identifier: MIT
#include "speedramp.h"

#include "steppingcontroller.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::int64_t TickMicroseconds = 1'000'000 / SpeedProfile::TickRate;
// Longer than any interval: a rest this long counts as forever.
constexpr std::int64_t LongRest = std::int64_t(1) << 40;

} // namespace

SpeedRamp::SpeedRamp(const SpeedProfile& profile)
    : profile_(profile), startTicks_(profile.StartTicks()), topTicks_(profile.TopTicks()),
      topIndex_(profile.TopIndex()), lastStep_(-LongRest)
{
}

void SpeedRamp::Rested(std::int64_t ticks)
{
    now_ += std::clamp<std::int64_t>(ticks, 0, LongRest);
}

int SpeedRamp::Tick(double targetSteps, std::int64_t position)
{
    ++now_;
    const double away = targetSteps - double(position);
    const int goal = std::fabs(away) < 1.0 ? 0 : away > 0 ? 1 : -1;
    std::int64_t next = -1;
    if (direction_ != 0) {
        next = index_ - 1; // braking: the target is behind, or nearer than the brakes reach
        if (goal == direction_) {
            const std::int64_t rest = goal > 0 ? SteppingController::LowestRest(targetSteps)
                                               : SteppingController::HighestRest(targetSteps);
            // Braked down by one index a step, the run must be at index 0 on its last step.
            const std::int64_t after = (rest - position) * goal - 1;
            next = std::max(next, std::min({index_ + 1, after, topIndex_}));
        }
        if (next < 0)
            direction_ = 0; // at the start rate: the run is over
    }
    const bool starting = direction_ == 0;
    if (starting) {
        if (goal == 0)
            return 0;
        next = -1;
    }
    // A run's first and last intervals are at the start rate, every other at the top at most.
    if (now_ - lastStep_ < (next <= 0 ? startTicks_ : topTicks_))
        return 0;
    const std::int64_t nowAt = now_ * TickMicroseconds;
    if (!starting) {
        const std::int64_t due = dueAt_ + profile_.IntervalMicroseconds(next);
        if (nowAt < due)
            return 0;
        dueAt_ = std::max(due, nowAt - TickMicroseconds + 1);
    } else {
        dueAt_ = nowAt;
    }
    const int step = starting ? goal : direction_;
    direction_ = step;
    index_ = next;
    lastStep_ = now_;
    // Arrived at the start rate: the run ends on this tick, so the motor may stop on it.
    if (index_ <= 0 && std::fabs(targetSteps - double(position + step)) < 1.0)
        direction_ = 0;
    return step;
}
