// The coil port backends: the kernel's ppdev driver, raw port I/O, and a simulated port
// that traces every write for people without hardware (and for the tests).
#pragma once

#include "coilport.h"
#include "portkernel.h"

#include <memory>
#include <string>
#include <thread>

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
    // Room for minutes of trace while the reader stalls; beyond it lines are dropped and
    // counted, never waited for.
    static constexpr std::size_t TraceBufferSize = 16u << 20;
    static constexpr int ExitDrainMs = 2000;

    // Each write becomes one line "port 0x378 <- V at T" on traceFd, written by a thread of
    // the port's own so a stalled reader never holds up the caller.
    explicit SimulatedPort(int traceFd, std::size_t bufferSize = TraceBufferSize);
    // Lets the writer finish the trace for up to ExitDrainMs, then leaves it behind.
    ~SimulatedPort() override;
    void WriteDataByte(std::uint8_t value) override;
    std::string Name() const override;

private:
    struct Trace;
    // Shared with the writer, which may outlive the port when the reader never drains.
    std::shared_ptr<Trace> trace_;
    std::thread writer_;
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
