// The one seam between the stepping logic and the hardware: a byte to the data register.
#pragma once

#include <cstdint>
#include <string>

inline constexpr unsigned DataPort = 0x378;

class CoilPort {
public:
    virtual ~CoilPort() = default;
    // Exactly one write to the data register per call, in call order; nothing is read back.
    virtual void WriteDataByte(std::uint8_t value) = 0;
    virtual std::string Name() const = 0;
};
