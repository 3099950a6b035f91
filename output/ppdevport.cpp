// SPDX-License-Identifier: MIT
#include "ppdevport.h"

#include "parports.h"

#include <cerrno>
#include <cstring>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

PpdevPort::PpdevPort(PortKernel& kernel, int fd, std::string device)
    : kernel_(kernel), fd_(fd), device_(std::move(device))
{
}

PpdevPort::~PpdevPort()
{
    kernel_.Ioctl(fd_, PPRELEASE, nullptr);
    kernel_.Close(fd_);
}

void PpdevPort::WriteDataByte(std::uint8_t value)
{
    unsigned char byte = value;
    if (int error = kernel_.Ioctl(fd_, PPWDATA, &byte); error < 0)
        NoteFailure(-error);
}

int PpdevPort::ReadStatus()
{
    unsigned char status = 0;
    const int error = kernel_.Ioctl(fd_, PPRSTATUS, &status);
    return error < 0 ? error : status;
}

std::string PpdevPort::Name() const
{
    return "ppdev " + device_;
}

std::string OpenFailure(const std::string& device, int error)
{
    switch (error) {
    case ENOENT: return device + " missing (load the drivers: sudo modprobe parport_pc ppdev)";
    // The file's permissions say no.
    case EACCES:
        return device + ": permission denied (add your user to group lp and log in again, "
                        "or run as root)";
    // A device policy says no, whatever the file allows: a systemd unit's DevicePolicy (its
    // DeviceAllow=char-ppdev takes effect only if ppdev was loaded when the unit started) or
    // a container's device rules.
    case EPERM:
        return device + ": not permitted by a device policy, though the file may allow it (in "
                        "a systemd unit, DeviceAllow=char-ppdev needs ppdev loaded before the "
                        "unit starts: load parport_pc and ppdev at boot, then restart the "
                        "unit; in a container, allow the device)";
    // The character device without its driver, or ppdev without such a port.
    case ENXIO:
    case ENODEV:
        return device + ": no such port, or ppdev not loaded (sudo modprobe parport_pc ppdev)";
    default: return device + ": " + std::strerror(error);
    }
}

namespace {

std::string HeldBy(const std::string& device, const std::string& holder)
{
    return device + " is held by " + holder + ": " + HolderRemedy(holder, device);
}

// Outputs (a bidirectional port may have them tristated) in compatibility mode (not EPP or
// ECP, where the lines follow handshakes).
int ReadyDataLines(PortKernel& kernel, int fd, std::string& why, const std::string& device)
{
    int forward = 0;
    int mode = IEEE1284_MODE_COMPAT;
    int error = kernel.Ioctl(fd, PPDATADIR, &forward);
    const char* step = "set its data lines to output";
    if (error == 0) {
        error = kernel.Ioctl(fd, PPSETMODE, &mode);
        step = "set compatibility mode";
    }
    if (error < 0)
        why = device + ": cannot " + step + ": " + std::strerror(-error);
    return error;
}

} // namespace

PortAttempt OpenPpdev(PortKernel& kernel, const std::string& device)
{
    DeviceNode node;
    if (int error = kernel.StatDevice(device, node); error < 0)
        return {nullptr, OpenFailure(device, -error)};
    if (!node.character || node.major != PpdevMajor)
        return {nullptr, device + " is not a ppdev device (a character device of major " +
                             std::to_string(PpdevMajor) + ", such as /dev/parport0)"};
    if (std::string holder = PortHolder(kernel, node.minor); !holder.empty())
        return {nullptr, HeldBy(device, holder), true};

    const int fd = kernel.Open(device);
    if (fd < 0)
        return {nullptr, OpenFailure(device, -fd)};
    PortAttempt attempt;
    if (int error = kernel.ClaimWithin(fd, ClaimTimeoutMs); error < 0) {
        attempt.held = error == -EINTR || error == -ENXIO;
        if (error == -EINTR) {
            const std::string holder = PortHolder(kernel, node.minor);
            attempt.why = holder.empty() ? device + " was held by another driver or program "
                                                    "(the claim did not come through)"
                                         : HeldBy(device, holder);
        } else if (error == -ENXIO) {
            attempt.why = device + ": another driver holds the port for itself alone "
                                   "(pps_parport, or a program with exclusive access), or "
                                   "there is no such port (see stepper-dial --list-ports)";
        } else {
            attempt.why = device + ": cannot claim the port: " + std::strerror(-error);
        }
        kernel.Close(fd);
        return attempt;
    }
    if (ReadyDataLines(kernel, fd, attempt.why, device) < 0) {
        kernel.Ioctl(fd, PPRELEASE, nullptr);
        kernel.Close(fd);
        return attempt;
    }
    attempt.port = std::make_unique<PpdevPort>(kernel, fd, device);
    return attempt;
}
