// SPDX-License-Identifier: MIT
// The current angle as the operator reads it: shortest exact decimal, never an exponent,
// no group separators, the locale's decimal separator. In the header: the window's module
// takes it from here, not from the program.
#pragma once

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

inline std::string FormatAngleText(double degrees, std::string_view decimalSeparator)
{
    if (!std::isfinite(degrees))
        return "0";
    if (degrees == 0.0)
        degrees = 0.0; // no "-0"
    // Fixed notation with the fewest digits that still read back as the same double.
    char buffer[400];
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, degrees, std::chars_format::fixed);
    if (error != std::errc())
        return "0";
    std::string text(buffer, end);
    if (auto point = text.find('.'); point != std::string::npos && decimalSeparator != ".")
        text.replace(point, 1, decimalSeparator);
    return text;
}
