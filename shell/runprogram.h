// SPDX-License-Identifier: MIT
// From a ready coil port to the end of the run: the core and its start-up, the window (or
// none, headless), the event loop until the window closes or a quit signal comes, then the
// stepping thread stopped and the coils off. The coils go off on every way out, failures
// included.
#pragma once

class CoilPort;
class SwitchInput;
class WindowFront;

// homeSwitch: a real switch, opened; null without one (or with a simulated one, which this
// sets up). front null: headless, under a QCoreApplication. Returns the exit status.
int RunProgram(CoilPort& port, SwitchInput* homeSwitch, const struct CommandLine& commandLine,
               WindowFront* front, char* argv0);
