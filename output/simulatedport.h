// SPDX-License-Identifier: MIT
// The simulated port, for people without hardware (and for the tests): every write becomes a
// trace line, written out by a thread of the port's own so a slow reader never holds up the
// motor.
#pragma once

#include "coilport.h"

#include <memory>
#include <string>
#include <thread>

class SimulatedPort final : public CoilPort {
public:
    // Room for about two minutes of trace at 1 kHz while the reader stalls; beyond it lines
    // are dropped and counted, never waited for. Resident from the start.
    static constexpr std::size_t TraceBufferSize = 4u << 20;
    static constexpr int ExitDrainMs = 2000;

    // Each write becomes one line "port 0x378 <- V at T" on traceFd.
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
    const std::string linePrefix_ = "port " + DataPortText() + " <- ";
};
