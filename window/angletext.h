// SPDX-License-Identifier: MIT
// The current angle as the operator reads it: shortest exact decimal, never an exponent,
// no group separators, the locale's decimal separator.
#pragma once

#include <string>
#include <string_view>

std::string FormatAngleText(double degrees, std::string_view decimalSeparator);
