// SPDX-License-Identifier: MIT
// The motor's geometry, one value chosen at start-up: the full steps that turn the shaft the
// dial shows once, full or half steps, and which way the coil sequence runs. Every angle and
// every coil byte is read through it; nothing else knows a step angle or a phase count.
#pragma once

#include "base/failure.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

class StepGeometry {
public:
    static constexpr double DefaultStepsPerTurn = 48; // 7.5 degrees a full step
    static constexpr double FewestStepsPerTurn = 4;
    static constexpr double MostStepsPerTurn = 1'000'000;
    static constexpr std::uint8_t DeenergisedByte = 0;

    StepGeometry() : StepGeometry(DefaultStepsPerTurn, false, false) {}
    // Full steps a turn within FewestStepsPerTurn..MostStepsPerTurn.
    StepGeometry(double fullStepsPerTurn, bool halfStep, bool reverse);

    double FullStepsPerTurn() const { return fullStepsPerTurn_; }
    bool HalfStep() const { return halfStep_; }
    bool Reverse() const { return reverse_; }
    // In steps of the mode in use: a half step is a step.
    double StepsPerTurn() const { return stepsPerTurn_; }
    double StepAngle() const { return stepAngle_; }
    int Phases() const { return phaseMask_ + 1; }

    // Phases are a power of two, so a mask gives the phase of any step, below zero too,
    // with no division on the tick.
    int PhaseOf(std::int64_t step, int offset) const { return int((step + offset) & phaseMask_); }
    std::uint8_t CoilPattern(int phase) const { return patterns_[std::size_t(phase & phaseMask_)]; }
    // The phase whose pattern energises `byte`, or the first that shares a coil with it.
    int PhaseEnergising(std::uint8_t byte) const;

    // A step count the division left a rounding error away from a whole step is that step,
    // so 23.4 degrees is step 13 of a 1.8-degree motor from either side. A step angle exact
    // in binary (7.5, 360/2048) leaves no such error and is left alone.
    double WholeWithin(double steps) const { return exact_ ? steps : Snapped(steps); }
    double StepsFor(double degrees) const { return WholeWithin(degrees / stepAngle_); }
    // The nearest double to the step's true angle.
    double DegreesAt(std::int64_t step) const;

    // "48 full steps a turn", "2037.8864 full steps a turn, half steps, reversed".
    std::string Description() const;

    bool operator==(const StepGeometry& other) const
    {
        return fullStepsPerTurn_ == other.fullStepsPerTurn_ && halfStep_ == other.halfStep_ &&
               reverse_ == other.reverse_;
    }

private:
    double Snapped(double steps) const;

    double fullStepsPerTurn_;
    bool halfStep_;
    bool reverse_;
    double stepsPerTurn_;
    double stepAngle_;
    bool exact_;
    int phaseMask_;
    std::array<std::uint8_t, 8> patterns_{};
};

// The full steps a turn as written: a plain decimal (no sign, no exponent) within range.
std::optional<double> ReadStepsPerTurn(std::string_view text);
// The options as given; a usage failure naming the option and its range.
Outcome ReadStepGeometry(const std::optional<std::string>& stepsPerTurn, bool halfStep,
                         bool reverse, StepGeometry& geometry);
