// The coil port backends: the kernel's ppdev driver, raw port I/O, and a simulated port
// that traces every write for people without hardware (and for the tests).
#pragma once

#include "coilport.h"
#include "portkernel.h"

#include <memory>
#include <string>

class PpdevPort final : public CoilPort {
public:
    // Takes a descriptor of /dev/parportN that is already claimed.
    PpdevPort(PortKernel& kernel, int fd, std::string device);
    ~PpdevPort() override;
    void WriteDataByte(std::uint8_t value) override;
    std::string Name() const override;

private:
    PortKernel& kernel_;
    int fd_;
    std::string device_;
    bool reportedFailure_ = false;
};

class RawIoPort final : public CoilPort {
public:
    explicit RawIoPort(PortKernel& kernel) : kernel_(kernel) {}
    void WriteDataByte(std::uint8_t value) override;
    std::string Name() const override;

private:
    PortKernel& kernel_;
};

class SimulatedPort final : public CoilPort {
public:
    // Each write becomes one line "port 0x378 <- V at T" on traceFd, written at once.
    explicit SimulatedPort(int traceFd) : traceFd_(traceFd) {}
    void WriteDataByte(std::uint8_t value) override;
    std::string Name() const override;

private:
    int traceFd_;
};

struct PortChoice {
    std::unique_ptr<CoilPort> port;
    // One line for standard error: the backend in use and, on fallback, why each real one
    // could not be used.
    std::string message;
};

// Tries ppdev, then raw port I/O, then falls back to the simulated port; with simulate set
// it goes straight to the simulated port.
PortChoice ChoosePort(PortKernel& kernel, bool simulate, int traceFd);
