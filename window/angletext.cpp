// SPDX-License-Identifier: MIT
#include "angletext.h"

#include <charconv>
#include <cmath>

std::string FormatAngleText(double degrees, std::string_view decimalSeparator)
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
    if (auto point = text.find('.'); point != std::string::npos)
        text.replace(point, 1, decimalSeparator);
    return text;
}
