// SPDX-License-Identifier: MIT
#include "speedprofile.h"

#include "base/wholenumber.h"

#include <algorithm>
#include <cmath>

std::int64_t SpeedProfile::TopIndex() const
{
    if (accel <= 0)
        return 0;
    const std::int64_t rise = std::int64_t(maxRate) * maxRate - std::int64_t(startRate) * startRate;
    return (rise + 2 * std::int64_t(accel) - 1) / (2 * std::int64_t(accel));
}

std::int64_t SpeedProfile::IntervalMicroseconds(std::int64_t index) const
{
    const double start = startRate;
    const double speed =
        std::min<double>(maxRate, std::sqrt(start * start + 2.0 * accel * double(index)));
    return std::int64_t(std::ceil(1e6 / speed));
}

namespace {

// "500", or "300 (250: a step every 4 ms)" where the rate falls between whole ticks.
std::string RateText(int rate, int ticks)
{
    const std::string text = std::to_string(rate);
    if (SpeedProfile::TickRate % rate == 0)
        return text;
    return text + " (" + std::to_string(SpeedProfile::TickRate / ticks) + ": a step every " +
           std::to_string(ticks) + " ms)";
}

} // namespace

std::string SpeedProfile::Description() const
{
    if (startRate == maxRate)
        return RateText(maxRate, TopTicks()) + " steps a second";
    return RateText(startRate, StartTicks()) + " to " + RateText(maxRate, TopTicks()) +
           " steps a second, speeding up and braking at " + std::to_string(accel) +
           " steps a second per second";
}

namespace {

// A whole number from `lowest` to `highest`, or a usage failure that names the option.
Outcome ReadRate(const std::optional<std::string>& text, const char* option, int lowest,
                 int highest, const char* unit, int& value)
{
    if (!text)
        return {};
    if (!ReadWholeNumber(*text, value) || value < lowest || value > highest)
        return UsageFailure(std::string(option) + ": '" + *text + "' is not a whole number from " +
                            std::to_string(lowest) + " to " + std::to_string(highest) + " " + unit +
                            ".");
    return {};
}

} // namespace

Outcome ReadSpeedProfile(const SpeedOptions& options, SpeedProfile& profile)
{
    SpeedProfile read;
    if (Outcome failed = ReadRate(options.maxRate, "--max-rate", 1, SpeedProfile::TickRate,
                                  "steps a second", read.maxRate))
        return failed;
    read.startRate = read.maxRate;
    if (Outcome failed = ReadRate(options.startRate, "--start-rate", 1, read.maxRate,
                                  "steps a second (at most --max-rate)", read.startRate))
        return failed;
    if (Outcome failed = ReadRate(options.accel, "--accel", 1, SpeedProfile::HighestAccel,
                                  "steps a second per second", read.accel))
        return failed;
    if (read.startRate < read.maxRate && !options.accel)
        return UsageFailure("--start-rate below --max-rate needs --accel, the steps a second "
                            "per second between them (such as 2000).");
    if (options.accel && read.startRate == read.maxRate)
        return UsageFailure("--accel needs a --start-rate below --max-rate: the rate a move "
                            "starts and ends at.");
    profile = read;
    return {};
}
