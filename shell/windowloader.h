// SPDX-License-Identifier: MIT
// Finds and loads the window module: beside the program (a build tree), else where the
// package installs it (../lib/stepper-dial from the program's directory). A headless run
// never calls this.
#pragma once

#include <string>

class WindowFront;

// The front end, or null with why.
WindowFront* LoadWindowFront(std::string& why);
