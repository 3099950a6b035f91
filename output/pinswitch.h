// SPDX-License-Identifier: MIT
// A home switch on a status pin of the parallel port that drives the coils: 10 (ACK), 11
// (BUSY, which the port inverts), 12, 13 or 15, read once a tick while the motor moves.
#pragma once

#include "coilport.h"
#include "statuspins.h"
#include "switchinput.h"

#include <string>

class PinSwitch final : public SwitchInput {
public:
    PinSwitch(StatusPins& pins, int pin, bool activeHigh, std::string name);
    bool Closed() override;
    std::string Name() const override { return name_; }
    // The pin's level (0 or 1) in a status register.
    static int Level(int status, int pin);

private:
    StatusPins& pins_;
    const int pin_;
    const bool activeHigh_;
    const std::string name_;
    bool closed_ = false; // the last level read, kept if a read fails
};

// Pin `pin` of the port that drives the coils as the home switch, with its level now in
// `closed`; or why not (a port that is no parallel port, or a register that cannot be read).
Opened<SwitchInput> OpenPinSwitch(CoilPort& port, int pin, bool activeHigh, bool& closed);
