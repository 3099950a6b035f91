// SPDX-License-Identifier: MIT
// Turns a phase into the coil byte (two neighbouring coils on) and writes it out.
#pragma once

#include "output/coilport.h"
#include "stepgeometry.h"

#include <cstdint>

class CoilOutput {
public:
    explicit CoilOutput(CoilPort& port) : port_(port) {}

    void WriteCoilPattern(int phase);
    // All coils off: at start-up and at exit, so nothing is left heating.
    void DeenergiseCoils() { port_.WriteDataByte(StepGeometry::DeenergisedByte); }
    CoilPort& Port() { return port_; }
    const CoilPort& Port() const { return port_; }

private:
    CoilPort& port_;
};
