// SPDX-License-Identifier: MIT
// Which coil output the operator asked for on the command line, read from its text.
#pragma once

#include "base/failure.h"

#include <array>
#include <optional>
#include <string>

// A GPIO line as written: an offset, or else a line name.
struct GpioLineRequest {
    std::string asWritten;
    std::optional<unsigned> offset;
};

struct OutputRequest {
    enum class Kind { Default, Simulate, Parport, Gpio };
    Kind kind = Kind::Default;
    std::string asWritten; // for messages

    // --port: a device path, or a port number (giving /dev/parportN), or a base address.
    std::string device;
    bool byAddress = false;
    unsigned address = 0;

    // --gpio: the chip by name, path, label or number; each line by offset or name.
    std::string chip;
    std::array<GpioLineRequest, 4> lines;
};

// "0".."15", "0xd010", "/dev/parport1"; a usage failure when malformed.
Outcome ReadPortOption(const std::string& text, OutputRequest& request);
// "CHIP:L0,L1,L2,L3" with exactly four lines; a usage failure when malformed.
Outcome ReadGpioOption(const std::string& text, OutputRequest& request);
