// SPDX-License-Identifier: MIT
#include "steppingcontroller.h"

#include <algorithm>
#include <cmath>

void SteppingController::MoveTowardRequested(double requestedDegrees)
{
    Aim(requestedDegrees);
    if (TargetSteps > static_cast<double>(CurrentStep))
        ++CurrentStep;
    if (TargetSteps < static_cast<double>(CurrentStep))
        --CurrentStep;
}

bool SteppingController::TargetReached() const
{
    return std::fabs(TargetSteps - static_cast<double>(CurrentStep)) < 1.0;
}

void SteppingController::SetPosition(std::int64_t step)
{
    PhaseOffset = Geometry.PhaseOf(CurrentStep - step, PhaseOffset);
    CurrentStep = step;
}

namespace {

double Reachable(double targetSteps)
{
    const double limit = double(SteppingController::ReachableSteps);
    return std::clamp(targetSteps, -limit, limit);
}

} // namespace

// From below the rule stops at the first step less than one short, from above at the first
// one less than one over: floor and ceiling of the target.
std::int64_t SteppingController::LowestRest(double targetSteps)
{
    return std::int64_t(std::floor(Reachable(targetSteps)));
}

std::int64_t SteppingController::HighestRest(double targetSteps)
{
    return std::int64_t(std::ceil(Reachable(targetSteps)));
}
