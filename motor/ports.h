// The coil port backends: the kernel's ppdev driver, raw port I/O, and a simulated port
// that traces every write for people without hardware (and for the tests).
#pragma once

#include "coilport.h"
#include "gpio.h"
#include "outputrequest.h"
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
};

class RawIoPort final : public CoilPort {
public:
    // Takes an address that ioperm already granted.
    RawIoPort(PortKernel& kernel, unsigned address) : kernel_(kernel), address_(address) {}
    void WriteDataByte(std::uint8_t value) override;
    std::string Name() const override;

private:
    PortKernel& kernel_;
    unsigned address_;
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
    // Null when an output named on the command line cannot be had: the program must not run.
    std::unique_ptr<CoilPort> port;
    // One line for standard error: the backend in use and, on fallback, why each real one
    // could not be used; or, for a named output, what failed and how to mend it.
    std::string message;
};

// Without a named output: ppdev at 0x378, then raw port I/O at 0x378, then the simulated
// port. A named output (--port, --gpio) is that one or none, never the simulated port.
PortChoice ChoosePort(PortKernel& kernel, GpioChips& chips, const OutputRequest& request,
                      int traceFd);

// What this machine offers: parallel ports, raw port I/O, GPIO chips, and what a plain start
// would use. Opens nothing for longer than a look.
std::string ListPorts(PortKernel& kernel, GpioChips& chips);
