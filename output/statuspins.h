// SPDX-License-Identifier: MIT
// The parallel port's status register, for a home switch on one of its pins: read through
// the port that drives the coils (ppdev, or raw I/O at the address after the data register).
#pragma once

class StatusPins {
public:
    virtual ~StatusPins() = default;
    // Makes the register readable; 0 or -errno.
    virtual int OpenStatus() = 0;
    // The register (bit 3 pin 15, 4 pin 13, 5 pin 12, 6 pin 10, 7 pin 11 inverted), or -errno;
    // one system call at most.
    virtual int ReadStatus() = 0;
};
