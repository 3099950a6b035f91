// SPDX-License-Identifier: MIT
// The parallel port through the kernel's ppdev driver: claimed once, data lines driven as
// outputs, released at the end.
#pragma once

#include "coilport.h"
#include "portkernel.h"
#include "statuspins.h"

#include <memory>
#include <string>

// How long a claim may take before the port counts as held: the kernel would sleep in it
// until the holder lets go, and hold up every other ppdev user meanwhile.
inline constexpr int ClaimTimeoutMs = 300;

class PpdevPort final : public CoilPort, public StatusPins {
public:
    // Takes a descriptor of a ppdev device that is already claimed.
    PpdevPort(PortKernel& kernel, int fd, std::string device);
    ~PpdevPort() override;
    void WriteDataByte(std::uint8_t value) override;
    std::string Name() const override;
    int OpenStatus() override { return 0; }
    int ReadStatus() override;

private:
    PortKernel& kernel_;
    int fd_;
    std::string device_;
};

// Checks the device is ppdev's and that nobody holds its port, then claims it (bounded) and
// readies the data lines; never sleeps waiting for another holder.
PortAttempt OpenPpdev(PortKernel& kernel, const std::string& device);
// Why a ppdev device cannot be opened, from open(2)'s error.
std::string OpenFailure(const std::string& device, int error);
