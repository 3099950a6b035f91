// SPDX-License-Identifier: MIT
// The count checked at every pass of the home switch: once homed, each closing edge met while
// turning in the homing direction is the home step plus whole turns, so the count is set
// right there; a switch that stays open a quarter turn past its place means the rotor
// stalled or the switch is loose. Stepping thread only: constant work, nothing allocated.
#pragma once

#include <cmath>
#include <cstdint>

class HomeCheck {
public:
    struct Verdict {
        std::int64_t error = 0; // the count minus the switch's step; 0 when right or unchecked
        bool lost = false;      // the switch stayed open past its place
    };

    // Homed at `homeStep`, the switch met turning `direction` (+1 or -1).
    void Homed(std::int64_t homeStep, double stepsPerTurn, int direction);
    // The count was renamed by `shift` steps: the switch's step moves with it.
    void Renamed(std::int64_t shift) { home_ += shift; }
    void Forget() { armed_ = false; }
    bool Armed() const { return armed_; }

    // After a step that way (+1 or -1) to `step`, with whether the switch closed with it.
    Verdict Stepped(int direction, std::int64_t step, bool closingEdge);

private:
    bool armed_ = false;
    int direction_ = 1;
    double home_ = 0;      // in the homing direction's count
    double turn_ = 48;     // steps a turn
    std::int64_t met_ = 0; // the last turn whose switch place was met
};
