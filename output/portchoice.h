// SPDX-License-Identifier: MIT
// Which coil output drives the motor, and what the operator is told about it.
#pragma once

#include "coilport.h"
#include "gpioport.h"
#include "outputrequest.h"
#include "portkernel.h"

#include <memory>
#include <string>

// Without a named output: ppdev at 0x378, then raw port I/O at 0x378 (only when no driver
// holds it), then the simulated port. A named output (--port, --gpio) is that one or none,
// never the simulated port. The port is null when the program must not run; why is one line
// for standard error (without the program's name): the output in use and, on fallback, why
// each real one could not be used; or what failed and how to mend it.
PortAttempt ChoosePort(PortKernel& kernel, GpioChips& chips, const OutputRequest& request,
                       int traceFd);
