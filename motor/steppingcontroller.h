// SPDX-License-Identifier: MIT
// The position model and the per-tick stepping rule. Knows nothing of ports, threads or
// widgets: the drive's tick feeds it the requested degrees and sends its phase to the coils.
#pragma once

#include "stepgeometry.h"

#include <cstdint>

struct SteppingController {
    StepGeometry Geometry;
    // Set from the start, so no tick can ever divide by zero.
    double StepAngle = Geometry.StepAngle();
    std::int64_t CurrentStep = 0;
    double TargetSteps = 0.0;
    // Which coils a position needs: the geometry's phase of CurrentStep + PhaseOffset. Zero
    // unless the position was set by hand, which renames the place the rotor stands without
    // moving it.
    int PhaseOffset = 0;

    void InitStepping(const StepGeometry& geometry)
    {
        Geometry = geometry;
        StepAngle = geometry.StepAngle();
    }

    // The first three steps of the tick: target from the requested degrees, then two
    // independent tests, so a tick just under a fractional target goes up and back down.
    void MoveTowardRequested(double requestedDegrees);
    void Aim(double requestedDegrees)
    {
        TargetSteps = Geometry.WholeWithin(requestedDegrees / StepAngle);
    }

    std::uint8_t CoilPattern() const
    {
        return Geometry.CoilPattern(Geometry.PhaseOf(CurrentStep, PhaseOffset));
    }

    // Calls the rotor's place `step` from now on: the phase, and so the coils, stay.
    void SetPosition(std::int64_t step);

    // The stop rule: strictly less than one step away.
    bool TargetReached() const;

    // Where the rule leaves the motor for a target, from either side: between these two.
    static std::int64_t LowestRest(double targetSteps);
    static std::int64_t HighestRest(double targetSteps);
    // No motor gets further than this many steps from zero in a lifetime (30000 years at
    // 1 kHz); targets beyond it are held here for reckoning.
    static constexpr std::int64_t ReachableSteps = std::int64_t(1) << 50;
};
