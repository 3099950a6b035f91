// SPDX-License-Identifier: MIT
#include "portchoice.h"

#include "devicenames.h"
#include "parports.h"
#include "ppdevport.h"
#include "rawioport.h"
#include "simulatedport.h"

namespace {

const std::string Chosen = "coil output: ";

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
    std::string rawWhy;
    if (auto port = OpenRawIo(kernel, address, rawWhy))
        return {std::move(port),
                Chosen + "raw port I/O" + at + " (ioperm; ppdev: " + ppdev.why + ")"};
    return {nullptr, "ppdev: " + ppdev.why + "; raw I/O: " + rawWhy};
}

PortChoice ChooseDefault(PortKernel& kernel, int traceFd)
{
    PortAttempt attempt = ChooseAtAddress(kernel, DataPort);
    if (attempt.port)
        return {std::move(attempt.port), attempt.why};
    // A port that is there but held is hardware someone else drives: no stand-in for it.
    if (attempt.held)
        return {nullptr, "cannot drive the parallel port at 0x378: " + attempt.why +
                             "; or start with --simulate"};
    return {std::make_unique<SimulatedPort>(traceFd),
            Chosen + "simulated port at 0x378, writes traced on standard output; no real port: " +
                attempt.why};
}

PortChoice ChooseNamed(PortKernel& kernel, GpioChips& chips, const OutputRequest& request)
{
    const bool gpio = request.kind == OutputRequest::Kind::Gpio;
    const std::string failed =
        "cannot drive " + std::string(gpio ? "--gpio " : "--port ") + request.asWritten + ": ";
    std::string why;
    if (gpio) {
        if (auto port = OpenGpio(chips, request, why)) {
            const std::string name = port->Name();
            return {std::move(port), Chosen + name};
        }
        return {nullptr, failed + why};
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

PortChoice ChoosePort(PortKernel& kernel, GpioChips& chips, const OutputRequest& request,
                      int traceFd)
{
    switch (request.kind) {
    case OutputRequest::Kind::Simulate:
        return {std::make_unique<SimulatedPort>(traceFd),
                Chosen + "simulated port at 0x378, writes traced on standard output (--simulate)"};
    case OutputRequest::Kind::Parport:
    case OutputRequest::Kind::Gpio: return ChooseNamed(kernel, chips, request);
    case OutputRequest::Kind::Default: break;
    }
    return ChooseDefault(kernel, traceFd);
}
