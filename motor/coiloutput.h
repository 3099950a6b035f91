// SPDX-License-Identifier: MIT
// Writes a coil pattern (the byte the geometry gives a phase) out to the port.
#pragma once

#include "output/coilport.h"
#include "stepgeometry.h"

#include <cstdint>

class CoilOutput {
public:
    explicit CoilOutput(CoilPort& port) : port_(port) {}

    void WriteCoilPattern(std::uint8_t pattern) { port_.WriteDataByte(pattern); }
    // All coils off: at start-up and at exit, so nothing is left heating.
    void DeenergiseCoils() { port_.WriteDataByte(StepGeometry::DeenergisedByte); }
    CoilPort& Port() { return port_; }
    const CoilPort& Port() const { return port_; }

private:
    CoilPort& port_;
};
