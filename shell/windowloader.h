// SPDX-License-Identifier: MIT
// Finds and loads the window module: beside the program (a build tree), else where the
// package installs it (../lib/stepper-dial from the program's directory). A headless run
// never calls this.
#pragma once

#include "base/failure.h"

class WindowFront;

// Sets `front` to the window module's front end; a failure saying why it cannot be had.
Outcome LoadWindowFront(WindowFront*& front);
