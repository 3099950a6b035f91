// SPDX-License-Identifier: MIT
// The motor's geometry, the one place it is written: a full step turns the shaft 7.5
// degrees, and four phases repeat, each energising two neighbouring coils.
#pragma once

#include <cstdint>

namespace StepGeometry {

inline constexpr double StepAngle = 7.5;
inline constexpr int Phases = 4;
// The coil byte of each phase: bits 0..3 are the four coils.
inline constexpr std::uint8_t CoilPatterns[Phases] = {3, 6, 12, 9};
inline constexpr std::uint8_t DeenergisedByte = 0;

inline constexpr double StepsFor(double degrees)
{
    return degrees / StepAngle;
}
inline constexpr double DegreesAt(std::int64_t step)
{
    return double(step) * StepAngle;
}
// The phase a step stands at, turned by an offset: 0..Phases-1 for every step, below zero too.
inline constexpr int PhaseOf(std::int64_t step, int offset)
{
    return int((((step % Phases) + offset) % Phases + Phases) % Phases);
}

} // namespace StepGeometry
