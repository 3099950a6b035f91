// SPDX-License-Identifier: MIT
#include "portlist.h"

#include "coilport.h"
#include "devicenames.h"
#include "parports.h"
#include "ppdevport.h"
#include "rawioport.h"

#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

// Whether raw I/O at 0x378 would be granted, said in one line.
bool DescribeRawIo(PortKernel& kernel, std::ostream& out)
{
    const auto lockdown = Lockdown(kernel);
    const std::string state = lockdown ? "lockdown " + *lockdown : "lockdown state unreadable";
    if (!kernel.HasRawIo()) {
        out << "not available on this processor\n";
    } else if (lockdown && *lockdown != "none") {
        out << "forbidden by the kernel's lockdown (" << *lockdown << ", Secure Boot)\n";
    } else if (int error = kernel.Ioperm(DataPort, 1, 1); error == 0) {
        kernel.Ioperm(DataPort, 1, 0);
        out << "possible here (x86, " << state << ")\n";
        return true;
    } else if (error == -EPERM || error == -EACCES) {
        out << "possible on this x86 machine as root or with CAP_SYS_RAWIO (" << state << ")\n";
    } else {
        out << "not possible here: ioperm: " << std::strerror(-error) << "\n";
    }
    return false;
}

} // namespace

std::string ListPorts(PortKernel& kernel, GpioChips& chips)
{
    std::ostringstream out;
    bool anything = false;
    const auto parports = ListParports(kernel);
    out << "Parallel ports:\n";
    if (!parports || parports->empty())
        out << "  none (" << (parports ? "no ports" : "/proc/sys/dev/parport missing")
            << "; for a PCI/PCIe card: sudo modprobe parport_pc ppdev)\n";
    // The port a plain start would take: the first at 0x378, and whether it opened.
    std::optional<Parport> plain;
    bool plainOpens = false;
    for (const Parport& port : parports ? *parports : std::vector<Parport>{}) {
        anything = true;
        const bool isPlain = port.base == DataPort && !plain;
        if (isPlain)
            plain = port;
        out << "  " << port.Name() << "  " << port.Device() << "  base "
            << (port.base ? Hex(*port.base) : "?") << " (base_hi "
            << (port.baseHi ? Hex(*port.baseHi) : "none") << ")  modes "
            << (port.modes.empty() ? "?" : port.modes) << "  held by "
            << (port.holder.empty() ? "none" : port.holder) << "\n    ";
        if (!port.holder.empty()) {
            out << "held: " << HolderRemedy(port.holder, port.Device()) << "\n";
            continue;
        }
        const int fd = kernel.Open(port.Device());
        if (fd >= 0) {
            kernel.Close(fd);
            plainOpens = plainOpens || isPlain;
            out << "can be opened\n";
        } else {
            out << "cannot be opened: " << OpenFailure(port.Device(), -fd) << "\n";
        }
    }
    out << "Raw port I/O: ";
    const bool rawIo = DescribeRawIo(kernel, out);

    out << "GPIO chips:\n";
    const std::vector<GpioChipInfo> gpio = chips.List();
    if (gpio.empty())
        out << "  none\n";
    for (const GpioChipInfo& chip : gpio) {
        anything = true;
        out << "  " << chip.name << "  " << chip.path;
        if (!chip.why.empty())
            out << "  cannot be opened: " << chip.why << "\n";
        else
            out << "  [" << chip.label << "]  " << chip.lines << " lines\n";
    }

    // What a plain start would use, by the look above, which claims nothing.
    out << "A plain start would use: ";
    if (plainOpens) {
        out << "ppdev " << plain->Device() << " at " << DataPortText() << "\n";
    } else if (plain && !plain->holder.empty()) {
        out << "nothing: the port at " << DataPortText() << " is held by " << plain->holder
            << " (a plain start would stop)\n";
    } else if (rawIo) {
        out << "raw port I/O at " << DataPortText() << "\n";
    } else {
        out << "the simulated port (no real port at " << DataPortText() << " can be reached)\n";
    }
    if (!anything)
        out << "No parallel port and no GPIO chip here: try stepper-dial --simulate.\n";
    return out.str();
}
