// SPDX-License-Identifier: MIT
// From a ready coil port to the end of the run: the window, start-up, the event loop until
// the window closes or a quit signal comes, then the stepping thread stopped and the coils
// off. The coils go off on every way out, failures included.
#pragma once

class CoilPort;
struct CommandLine;

// Returns the exit status: 1 when the command listener or the clock could not be had, else
// the loop's.
int RunOperatorWindow(CoilPort& port, const CommandLine& commandLine, char* argv0);
