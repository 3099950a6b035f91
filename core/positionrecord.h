// SPDX-License-Identifier: MIT
// The remembered position as a small versioned text record: where the motor last stood at
// rest, the coil phase offset, whether a move was under way (and the steps it could reach),
// and how far the count may be from the rotor. A checksum over the rest makes a torn or
// edited record read as bad, never as a position.
#pragma once

#include "base/failure.h"
#include "motor/stepgeometry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct PositionRecord {
    // 1 has no geometry line and is the default geometry's; 2 names it. The default's record
    // stays at 1, so an older program still reads it.
    static constexpr int Version = 2;

    StepGeometry geometry; // what the steps are counted in
    std::int64_t step = 0; // the last position known at rest
    int phaseOffset = 0;   // 0..the geometry's phases - 1
    // A move was under way: the motor stands somewhere in lowest..highest (steps).
    bool moving = false;
    std::int64_t lowest = 0, highest = 0;
    // How far the rotor may be from the count after an unclean stop: within
    // doubtLow..doubtHigh steps of it, or nobody knows (a record that could not be read).
    enum class Doubt { None, Bounded, Unknown };
    Doubt doubt = Doubt::None;
    std::int64_t doubtLow = 0, doubtHigh = 0;

    bool operator==(const PositionRecord&) const = default;
};

std::string FormatPositionRecord(const PositionRecord& record);
// Reads the text into `record`; a failure saying what is wrong with the text.
Outcome ParsePositionRecord(std::string_view text, PositionRecord& record);
