// SPDX-License-Identifier: MIT
// A start-up error that ends the program: on standard error, and with a window front end on
// a real display also in a message box. Under the service (STEPPER_DIAL_SETTINGS set) the
// line names the file that holds the options.
#pragma once

#include "base/failure.h"

#include <string>

class WindowFront;

// Its status is what the program ends with, also when a quit signal closes the message box;
// returned for main to end with.
int ReportFatal(const Failure& failure, WindowFront* front);

// The kernel gave no stepping clock; read errno at once.
Failure NoClockFailure();
