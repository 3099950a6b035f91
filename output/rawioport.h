// SPDX-License-Identifier: MIT
// The parallel port through raw port I/O (ioperm + outb), for ports without a ppdev driver:
// only where a parallel port can be, never where /proc/ioports shows another device.
#pragma once

#include "coilport.h"
#include "portkernel.h"
#include "statuspins.h"

#include <memory>
#include <optional>
#include <string>

// Below this lie the PC's own controllers (DMA, interrupts, timer, keyboard).
inline constexpr unsigned LowestRawIoAddress = 0x100;

class RawIoPort final : public CoilPort, public StatusPins {
public:
    // Takes an address that ioperm already granted.
    RawIoPort(PortKernel& kernel, unsigned address) : kernel_(kernel), address_(address) {}
    void WriteDataByte(std::uint8_t value) override;
    std::string Name() const override;
    int OpenStatus() override { return kernel_.Ioperm(address_ + 1, 1, 1); }
    int ReadStatus() override { return kernel_.Inb(static_cast<unsigned short>(address_ + 1)); }

private:
    PortKernel& kernel_;
    unsigned address_;
};

// The port at address, or why not.
PortAttempt OpenRawIo(PortKernel& kernel, unsigned address);
// The kernel's lockdown mode in force ("none", "integrity", "confidentiality"), or nothing
// when it cannot be read (securityfs not mounted).
std::optional<std::string> Lockdown(PortKernel& kernel);
