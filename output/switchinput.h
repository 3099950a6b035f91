// SPDX-License-Identifier: MIT
// The seam between homing and a switch: closed or open, read on the stepping thread once a
// tick while the motor moves or homes, at most one system call a read.
#pragma once

#include <string>

class SwitchInput {
public:
    virtual ~SwitchInput() = default;
    // Closed now, the active level applied.
    virtual bool Closed() = 0;
    // "GPIO line gpiochip0:17", "status pin 10 of /dev/parport0", for messages.
    virtual std::string Name() const = 0;
};
