// SPDX-License-Identifier: MIT
#include "homecheck.h"

#include <algorithm>

void HomeCheck::Homed(std::int64_t homeStep, double stepsPerTurn, int direction)
{
    direction_ = direction < 0 ? -1 : 1;
    home_ = double(direction_ * homeStep);
    turn_ = stepsPerTurn;
    met_ = 0;
    armed_ = true;
}

HomeCheck::Verdict HomeCheck::Stepped(int direction, std::int64_t step, bool closingEdge)
{
    Verdict verdict;
    if (!armed_)
        return verdict;
    // Counted the homing way, the switch sits at home + k turns.
    const double at = double(direction_ * step);
    if (direction != direction_) {
        // Well back past a place met, the switch must close there again on the way up.
        met_ = std::min(met_, std::int64_t(std::floor((at - home_ + turn_ / 4) / turn_)));
        return verdict;
    }
    if (closingEdge) {
        met_ = std::llround((at - home_) / turn_);
        const double place = std::round(home_ + double(met_) * turn_);
        verdict.error = direction_ * std::int64_t(at - place);
        return verdict;
    }
    const auto passed = std::int64_t(std::floor((at - home_) / turn_));
    if (passed > met_ && at - (home_ + double(passed) * turn_) >= turn_ / 4) {
        armed_ = false;
        verdict.lost = true;
    }
    return verdict;
}
