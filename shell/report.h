// SPDX-License-Identifier: MIT
// The one way anything reaches standard error: one line, the program's name in front, in
// one write so lines from two threads never interleave.
#pragma once

#include <string_view>

inline constexpr std::string_view ProgramName = "stepper-dial";

// Writes "stepper-dial: <line>\n" to standard error.
void Report(std::string_view line);
