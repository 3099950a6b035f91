// SPDX-License-Identifier: MIT
#include "portchoice.h"

#include "devicenames.h"
#include "parports.h"
#include "ppdevport.h"
#include "rawioport.h"
#include "simulatedport.h"

namespace {

const std::string Chosen = "coil output: ";

std::string SimulatedAt()
{
    return "simulated port at " + DataPortText() + ", writes traced on standard output";
}

// ppdev on the port at this address, or why not.
PortAttempt PpdevAt(PortKernel& kernel, unsigned address)
{
    const auto ports = ListParports(kernel);
    if (!ports)
        return {nullptr,
                "no parallel port known to the kernel (/proc/sys/dev/parport missing: load "
                "parport_pc)"};
    for (const Parport& port : *ports)
        if (port.base == address)
            return OpenPpdev(kernel, port.Device());
    return {nullptr, "no parallel port at " + Hex(address) + " in /proc/sys/dev/parport"};
}

// ppdev at the address, else raw I/O there unless a driver holds the port. The message
// says which, or (no port) why neither.
PortAttempt ChooseAtAddress(PortKernel& kernel, unsigned address)
{
    const std::string at = " at " + Hex(address);
    PortAttempt ppdev = PpdevAt(kernel, address);
    if (ppdev.port) {
        ppdev.why = Chosen + ppdev.port->Name() + at;
        return ppdev;
    }
    if (ppdev.held)
        return ppdev;
    PortAttempt raw = OpenRawIo(kernel, address);
    if (raw.port)
        return {std::move(raw.port),
                Chosen + "raw port I/O" + at + " (ioperm; ppdev: " + ppdev.why + ")"};
    return {nullptr, "ppdev: " + ppdev.why + "; raw I/O: " + raw.why, raw.held};
}

PortAttempt ChooseDefault(PortKernel& kernel, int traceFd)
{
    PortAttempt attempt = ChooseAtAddress(kernel, DataPort);
    if (attempt.port)
        return attempt;
    // A port that is there but held is hardware someone else drives: no stand-in for it.
    if (attempt.held)
        return {nullptr,
                "cannot drive the parallel port at " + DataPortText() + ": " + attempt.why +
                    "; or start with --simulate",
                true};
    return {std::make_unique<SimulatedPort>(traceFd),
            Chosen + SimulatedAt() + "; no real port: " + attempt.why};
}

PortAttempt ChooseNamed(PortKernel& kernel, GpioChips& chips, const OutputRequest& request)
{
    const bool gpio = request.kind == OutputRequest::Kind::Gpio;
    const std::string failed =
        "cannot drive " + std::string(gpio ? "--gpio " : "--port ") + request.asWritten + ": ";
    if (gpio) {
        PortAttempt attempt = OpenGpio(chips, request);
        if (attempt.port)
            attempt.why = Chosen + attempt.port->Name();
        else
            attempt.why = failed + attempt.why;
        return attempt;
    }
    PortAttempt attempt = request.byAddress ? ChooseAtAddress(kernel, request.address)
                                            : OpenPpdev(kernel, request.device);
    if (attempt.port) {
        // By address the message already says which way and where.
        std::string chosen = attempt.why.empty() ? Chosen + attempt.port->Name() : attempt.why;
        return {std::move(attempt.port), std::move(chosen)};
    }
    return {nullptr,
            failed + attempt.why + (attempt.held ? "" : " (see stepper-dial --list-ports)")};
}

} // namespace

PortAttempt ChoosePort(PortKernel& kernel, GpioChips& chips, const OutputRequest& request,
                       int traceFd)
{
    switch (request.kind) {
    case OutputRequest::Kind::Simulate:
        return {std::make_unique<SimulatedPort>(traceFd), Chosen + SimulatedAt() + " (--simulate)"};
    case OutputRequest::Kind::Parport:
    case OutputRequest::Kind::Gpio: return ChooseNamed(kernel, chips, request);
    case OutputRequest::Kind::Default: break;
    }
    return ChooseDefault(kernel, traceFd);
}
