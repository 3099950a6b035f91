// SPDX-License-Identifier: MIT
// Homing on a switch: seek it, stop on its closing edge, back off until it opens, approach
// again at a quarter of the rate; the slow closing edge is the reference. A switch already
// closed at the start is backed off first. Stepping thread only: constant work a tick.
#pragma once

#include <cstdint>

class HomingRule {
public:
    enum class Phase { Seeking, BackingOff, Approaching, Homed, NeverClosed, NeverOpened };

    // `direction` +1 or -1; a step every `seekTicks` ticks while seeking and backing off;
    // `reachSteps` the most steps any phase may take before it gives up.
    void Begin(int direction, std::int64_t seekTicks, std::int64_t reachSteps, bool closedNow);
    // One tick, with the switch as read after the last step: the step this tick makes.
    int Tick(bool closed);
    Phase Now() const { return phase_; }
    bool Going() const { return phase_ <= Phase::Approaching; }

private:
    int Step(int direction, std::int64_t interval);
    void Enter(Phase phase);

    Phase phase_ = Phase::NeverClosed;
    int direction_ = 1;
    std::int64_t seekTicks_ = 1;
    std::int64_t reachSteps_ = 0;
    std::int64_t steps_ = 0; // in this phase
    // Ticks since the last step, across phases: a turn back never comes faster than the rate.
    std::int64_t sinceStep_ = 0;
};
