// SPDX-License-Identifier: MIT
// A home switch on a GPIO input line: pulled up, its edges read once a tick, so a switch that
// closes and opens again between two ticks still counts as closed once.
#pragma once

#include "gpioport.h"
#include "switchinput.h"

#include <memory>
#include <string>

class GpioSwitch final : public SwitchInput {
public:
    // Takes a chip whose line is already requested.
    GpioSwitch(std::unique_ptr<GpioChip> chip, std::string name, bool activeHigh)
        : chip_(std::move(chip)), name_(std::move(name)), activeHigh_(activeHigh)
    {
    }
    bool Closed() override;
    std::string Name() const override { return name_; }

private:
    std::unique_ptr<GpioChip> chip_;
    std::string name_;
    bool activeHigh_;
    bool closed_ = false; // the last level read, kept if a read fails
};

// The line `line` (an offset or a name) of `chip`, requested as the home switch, with its level
// now in `closed`; or why not. A line another program holds is named with its holder.
Opened<SwitchInput> OpenGpioSwitch(GpioChips& chips, const std::string& chip,
                                   const std::string& line, bool activeHigh, bool& closed);
