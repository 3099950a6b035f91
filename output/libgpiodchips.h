// SPDX-License-Identifier: MIT
// The chips of this machine through libgpiod, whichever major version: each version's file
// gives its chip class and how it opens a chip by name, path, label or number.
#pragma once

#include "base/programinfo.h"
#include "gpioport.h"

#include <cerrno>
#include <gpiod.h>

// Closes the chip when its owner goes, after the lines are released.
using ChipHandle = std::unique_ptr<gpiod_chip, void (*)(gpiod_chip*)>;

template <class Chip> class LibgpiodChips final : public GpioChips {
public:
    using Opener = gpiod_chip* (*)(const std::string& name);
    explicit LibgpiodChips(Opener open) : open_(open) {}
    std::vector<GpioChipInfo> List() override { return DescribeDeviceChips(*this); }
    Opened<GpioChip> Open(const std::string& name) override
    {
        errno = 0;
        gpiod_chip* chip = open_(name);
        if (!chip)
            return {nullptr, ChipFailure(name, errno ? errno : ENOENT)};
        return {std::make_unique<Chip>(chip), ""};
    }

private:
    Opener open_;
};
