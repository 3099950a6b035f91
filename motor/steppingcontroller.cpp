// SPDX-License-Identifier: MIT
#include "steppingcontroller.h"

#include <cmath>

void SteppingController::MoveTowardRequested(double requestedDegrees)
{
    TargetSteps = requestedDegrees / StepAngle;
    if (TargetSteps > static_cast<double>(CurrentStep))
        ++CurrentStep;
    if (TargetSteps < static_cast<double>(CurrentStep))
        --CurrentStep;
}

bool SteppingController::TargetReached() const
{
    return std::fabs(TargetSteps - static_cast<double>(CurrentStep)) < 1.0;
}
