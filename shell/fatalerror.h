// SPDX-License-Identifier: MIT
// A start-up error that ends the program: on standard error, and on a real display also in a
// message box, since a program started from a menu has a standard error nobody reads. Under
// the service (STEPPER_DIAL_SETTINGS set) the line names the file that holds the options.
#pragma once

#include <string>

void ReportFatal(const std::string& line);
