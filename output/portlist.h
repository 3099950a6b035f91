// SPDX-License-Identifier: MIT
// The --list-ports report: what this machine offers and what a plain start would use.
#pragma once

#include "gpioport.h"
#include "portkernel.h"

#include <string>

// Parallel ports (with who holds each and what to do about it), raw port I/O, GPIO chips,
// and what a plain start would use. Claims nothing; opens nothing for longer than a look.
std::string ListPorts(PortKernel& kernel, GpioChips& chips);
