// SPDX-License-Identifier: MIT
// The parallel ports the kernel knows (/proc/sys/dev/parport), who holds each, and who owns
// an I/O address (/proc/ioports): the facts every parallel-port backend and the listing
// decide by.
#pragma once

#include "portkernel.h"

#include <optional>
#include <string>
#include <vector>

// ppdev's character-device major number.
inline constexpr unsigned PpdevMajor = 99;

struct Parport {
    unsigned number = 0; // N of parportN, ppdev's minor
    std::optional<unsigned> base, baseHi;
    std::string modes;
    std::string holder; // the claiming driver's device ("ppdev0", "lp"), empty when none
    std::string Name() const { return "parport" + std::to_string(number); }
    std::string Device() const { return "/dev/" + Name(); }
};

// In number order; nothing when the parport driver is not loaded.
std::optional<std::vector<Parport>> ListParports(PortKernel& kernel);
// The device now holding parportN, empty when none (or when that cannot be read).
std::string PortHolder(PortKernel& kernel, unsigned number);
// What the operator can do about a holder: another ppdev program, the printer driver, or
// another driver.
std::string HolderRemedy(const std::string& holder, const std::string& device);
// The name /proc/ioports gives the innermost range holding address ("parport0", "serial"),
// empty when none does, nothing when it cannot be read (or shows no addresses to this user).
std::optional<std::string> IoportOwner(PortKernel& kernel, unsigned address);
