// SPDX-License-Identifier: MIT
#include "stepgeometry.h"

#include <charconv>
#include <cmath>

namespace {

// Going up, two neighbouring coils then one, round the four: the full-step sequence is the
// even phases, so a motor at rest keeps its place when the mode changes.
constexpr std::array<std::uint8_t, 8> HalfStepPatterns = {3, 2, 6, 4, 12, 8, 9, 1};

std::string NumberText(double value)
{
    char buffer[64];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return error == std::errc() ? std::string(buffer, end) : std::string("?");
}

} // namespace

StepGeometry::StepGeometry(double fullStepsPerTurn, bool halfStep, bool reverse)
    : fullStepsPerTurn_(fullStepsPerTurn), halfStep_(halfStep), reverse_(reverse),
      stepsPerTurn_(fullStepsPerTurn * (halfStep ? 2 : 1)), stepAngle_(360.0 / stepsPerTurn_),
      phaseMask_(halfStep ? 7 : 3)
{
    // Exact in binary with room to spare: every multiple a text can name divides exactly.
    const double scaled = std::ldexp(stepAngle_, 32);
    exact_ = scaled == std::floor(scaled);
    const int phases = Phases();
    const int stride = halfStep ? 1 : 2;
    for (int phase = 0; phase < phases; ++phase) {
        const int up = reverse ? (phases - phase) % phases : phase;
        patterns_[std::size_t(phase)] = HalfStepPatterns[std::size_t(up * stride)];
    }
}

int StepGeometry::PhaseEnergising(std::uint8_t byte) const
{
    for (int phase = 0; phase < Phases(); ++phase)
        if (patterns_[std::size_t(phase)] == byte)
            return phase;
    for (int phase = 0; phase < Phases(); ++phase)
        if (patterns_[std::size_t(phase)] & byte)
            return phase;
    return 0;
}

double StepGeometry::Snapped(double steps) const
{
    const double whole = std::round(steps);
    return std::fabs(steps - whole) <= std::fabs(steps) * 1e-12 ? whole : steps;
}

double StepGeometry::DegreesAt(std::int64_t step) const
{
    if (exact_)
        return double(step) * stepAngle_;
    return double(step) * 360.0 / stepsPerTurn_;
}

std::string StepGeometry::Description() const
{
    return NumberText(fullStepsPerTurn_) + " full steps a turn" +
           (halfStep_ ? ", half steps" : "") + (reverse_ ? ", reversed" : "");
}

std::optional<double> ReadStepsPerTurn(std::string_view text)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (text.empty() || error != std::errc() || at != end || text.front() == '-' ||
        !(value >= StepGeometry::FewestStepsPerTurn && value <= StepGeometry::MostStepsPerTurn))
        return std::nullopt;
    return value;
}

Outcome ReadStepGeometry(const std::optional<std::string>& stepsPerTurn, bool halfStep,
                         bool reverse, StepGeometry& geometry)
{
    double steps = StepGeometry::DefaultStepsPerTurn;
    if (stepsPerTurn) {
        const std::optional<double> read = ReadStepsPerTurn(*stepsPerTurn);
        if (!read)
            return UsageFailure("--steps-per-turn: '" + *stepsPerTurn +
                                "' is not a number of full steps from 4 to 1000000 (such as "
                                "200, or 2037.8864 for a 28BYJ-48).");
        steps = *read;
    }
    geometry = StepGeometry(steps, halfStep, reverse);
    return {};
}
