// SPDX-License-Identifier: MIT
// The one way anything reaches standard error: one line, the program's name in front, in
// one write so lines from two threads never interleave. Report never waits for the reader:
// lines go to a bounded queue that a writer thread of its own drains; a reader that stalls
// (a stopped pager, Ctrl-S, a stuck journal) loses the lines that do not fit, and one line
// says how many once it reads again.
#pragma once

#include "programinfo.h"

#include <chrono>
#include <string_view>

// Queues "stepper-dial: <line>\n" for standard error.
void Report(std::string_view line);
// Waits until the queued lines are written, or the time is up (a stalled reader); at exit.
void FlushReports(std::chrono::milliseconds within = std::chrono::milliseconds(2000));
