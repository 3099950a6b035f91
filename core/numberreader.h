// SPDX-License-Identifier: MIT
// Reads the requested angle out of free text the way operators and clients expect:
// blanks ignored anywhere, a plain signed decimal, reading stops where the number does.
#pragma once

#include <string_view>

// Spaces, tabs and line feeds are skipped wherever they stand; carriage return is not.
// Only the full stop separates decimals. No exponent, no radix prefix. A text without a
// leading number reads as 0; a number beyond the double range reads as the largest finite
// double of its sign. Never NaN, never infinite.
double ReadAngleNumber(std::u16string_view text);
