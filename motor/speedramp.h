// SPDX-License-Identifier: MIT
// The speed ramp: which ticks carry a step, and which way. A run (steps one way) starts and
// ends at the start rate, changes speed by at most the acceleration, never passes the top
// rate, and turns only once it has braked to the start rate; steps stay on the tick grid.
// Stepping thread only: integer ticks and microseconds, constant work, nothing allocated.
#pragma once

#include "speedprofile.h"

#include <cstdint>

class SpeedRamp {
public:
    explicit SpeedRamp(const SpeedProfile& profile = {});

    // One tick for the motor at `position`: the step it carries, -1, 0 or +1.
    int Tick(double targetSteps, std::int64_t position);
    // No run under way: the motor may stop here, or start either way.
    bool Standing() const { return direction_ == 0; }
    // The clock stood this many whole ticks since the last tick.
    void Rested(std::int64_t ticks);
    // Stopped outright, where it stands (its position was set).
    void Stop() { direction_ = 0; }
    // The steps a run above the start rate still needs to brake; 0 at the start rate or at rest.
    std::int64_t StepsToBrake() const { return direction_ != 0 && index_ > 0 ? index_ : 0; }

private:
    SpeedProfile profile_;
    std::int64_t startTicks_;
    std::int64_t topTicks_;
    std::int64_t topIndex_;
    std::int64_t now_ = 0; // ticks
    std::int64_t lastStep_;
    // Where the last step was due on an ideal clock, in microseconds: at most one tick before
    // it fell, so rounding to ticks never adds up, and the average rate follows the plan.
    std::int64_t dueAt_ = 0;
    // The speed index of the last step; -1 for a run's first step, which has no interval.
    std::int64_t index_ = -1;
    int direction_ = 0;
};
