// SPDX-License-Identifier: MIT
#include "homingrule.h"

void HomingRule::Begin(int direction, std::int64_t seekTicks, std::int64_t reachSteps,
                       bool closedNow)
{
    direction_ = direction < 0 ? -1 : 1;
    seekTicks_ = seekTicks > 0 ? seekTicks : 1;
    reachSteps_ = reachSteps;
    sinceStep_ = 4 * seekTicks_; // at rest: the first step may come at once
    Enter(closedNow ? Phase::BackingOff : Phase::Seeking);
}

void HomingRule::Enter(Phase phase)
{
    phase_ = phase;
    steps_ = 0;
}

int HomingRule::Tick(bool closed)
{
    ++sinceStep_;
    switch (phase_) {
    case Phase::Seeking:
        if (closed) {
            Enter(Phase::BackingOff);
            return 0; // stopped on the edge
        }
        return Step(direction_, seekTicks_);
    case Phase::BackingOff:
        if (!closed) {
            Enter(Phase::Approaching);
            return 0;
        }
        return Step(-direction_, seekTicks_);
    case Phase::Approaching:
        if (closed) {
            Enter(Phase::Homed);
            return 0;
        }
        return Step(direction_, 4 * seekTicks_);
    default: return 0;
    }
}

int HomingRule::Step(int direction, std::int64_t interval)
{
    if (sinceStep_ < interval)
        return 0;
    if (steps_ >= reachSteps_) {
        Enter(phase_ == Phase::BackingOff ? Phase::NeverOpened : Phase::NeverClosed);
        return 0;
    }
    ++steps_;
    sinceStep_ = 0;
    return direction;
}
