// SPDX-License-Identifier: MIT
#include "rawioport.h"

#include "devicenames.h"
#include "parports.h"

#include <cerrno>
#include <cstring>

void RawIoPort::WriteDataByte(std::uint8_t value)
{
    kernel_.Outb(value, static_cast<unsigned short>(address_));
}

std::string RawIoPort::Name() const
{
    return "raw port I/O";
}

std::optional<std::string> Lockdown(PortKernel& kernel)
{
    // "none [integrity] confidentiality": the bracketed one is in force.
    const auto text = kernel.ReadFile("/sys/kernel/security/lockdown");
    if (!text)
        return std::nullopt;
    const auto open = text->find('['), close = text->find(']');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return std::nullopt;
    return text->substr(open + 1, close - open - 1);
}

PortAttempt OpenRawIo(PortKernel& kernel, unsigned address)
{
    if (!kernel.HasRawIo())
        return {nullptr, "not available on this processor"};
    if (address < LowestRawIoAddress)
        return {nullptr, Hex(address) + " is below " + Hex(LowestRawIoAddress) +
                             ", where no parallel port is"};
    const auto owner = IoportOwner(kernel, address);
    // Without the owner, the address may be another device's: never written blind.
    if (!owner)
        return {nullptr, "who owns " + Hex(address) +
                             " cannot be read (/proc/ioports shows its addresses only with "
                             "CAP_SYS_ADMIN): run as root, or use ppdev"};
    const auto number = NumberAfter(*owner, "parport");
    if (!owner->empty() && !number)
        return {nullptr,
                Hex(address) + " belongs to " + *owner + " (/proc/ioports), not a parallel port"};
    // A port a driver has claimed (lp printing, say) is never written behind its back.
    if (number)
        if (const std::string holder = PortHolder(kernel, *number); !holder.empty())
            return {nullptr,
                    *owner + " at " + Hex(address) + " is claimed by " + holder +
                        " (/proc/sys/dev/parport/" + *owner +
                        "/devices/active): " + HolderRemedy(holder, "/dev/" + *owner),
                    true};
    if (int error = kernel.Ioperm(address, 1, 1); error < 0) {
        std::string why;
        const auto lockdown = Lockdown(kernel);
        const std::string call = "ioperm(" + Hex(address) + ")";
        if (lockdown && *lockdown != "none")
            why = "the kernel's lockdown (" + *lockdown + ", Secure Boot) forbids it; use ppdev";
        else if ((error == -EPERM || error == -EACCES) && lockdown)
            why = call + " not permitted (run as root or grant CAP_SYS_RAWIO)";
        else if (error == -EPERM || error == -EACCES)
            why = call + " not permitted (run as root or grant CAP_SYS_RAWIO; if it is root "
                         "already, the kernel's lockdown may forbid it, and its state cannot be "
                         "read: /sys/kernel/security/lockdown missing)";
        else
            why = call + " failed: " + std::strerror(-error);
        return {nullptr, why};
    }
    return {std::make_unique<RawIoPort>(kernel, address), ""};
}
