// SPDX-License-Identifier: MIT
// The one way anything reaches standard error: one line, the program's name in front, in
// one write so lines from two threads never interleave.
#pragma once

#include "programinfo.h"

#include <string_view>

// Writes "stepper-dial: <line>\n" to standard error.
void Report(std::string_view line);
