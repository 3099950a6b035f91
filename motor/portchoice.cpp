// Which coil output drives the motor, and what the operator is told about it.
#include "ports.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <optional>
#include <sstream>
#include <sys/ioctl.h>

namespace {

constexpr const char* ParportProcDir = "/proc/sys/dev/parport";
const std::string Prefix = "stepper-dial: coil output: ";

struct Parport {
    std::string name; // parportN
    std::optional<unsigned> base, baseHi;
    std::string modes, holder;
    std::string Device() const { return "/dev/" + name; }
};

std::string Hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string Trimmed(std::optional<std::string> text)
{
    if (!text)
        return "";
    while (!text->empty() && (text->back() == '\n' || text->back() == ' '))
        text->pop_back();
    return *text;
}

// The kernel writes "base<TAB>base_hi" (base_hi -1 where there is none).
void ReadBaseAddresses(const std::string& text, Parport& port)
{
    std::istringstream in(text);
    long base = -1, baseHi = -1;
    if (in >> base && base > 0)
        port.base = unsigned(base);
    if (in >> baseHi && baseHi > 0)
        port.baseHi = unsigned(baseHi);
}

// The parallel ports the kernel knows, in number order; nothing without the parport driver.
std::optional<std::vector<Parport>> ListParports(PortKernel& kernel)
{
    auto entries = kernel.ListDirectory(ParportProcDir);
    if (!entries)
        return std::nullopt;
    std::vector<Parport> ports;
    for (const auto& name : *entries) {
        if (name.size() <= 7 || name.compare(0, 7, "parport") != 0 ||
            !std::all_of(name.begin() + 7, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const std::string dir = std::string(ParportProcDir) + "/" + name;
        Parport port{name,
                     {},
                     {},
                     Trimmed(kernel.ReadFile(dir + "/modes")),
                     Trimmed(kernel.ReadFile(dir + "/devices/active"))};
        ReadBaseAddresses(Trimmed(kernel.ReadFile(dir + "/base-addr")), port);
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(), [](const Parport& a, const Parport& b) {
        return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
    });
    return ports;
}

std::string OpenFailure(const std::string& device, int error)
{
    switch (error) {
    case ENOENT: return device + " missing (load the drivers: sudo modprobe parport_pc ppdev)";
    case EACCES:
    case EPERM:
        return device + ": permission denied (add your user to group lp and log in again, "
                        "or run as root)";
    case ENXIO:
    case ENODEV: return device + ": no such device (is the parport_pc module loaded?)";
    default: return device + ": " + std::strerror(error);
    }
}

// Claims the port and readies its data lines: outputs (a bidirectional port may have them
// tristated) in compatibility mode (not EPP or ECP, where the lines follow handshakes).
std::unique_ptr<CoilPort> TryPpdev(PortKernel& kernel, const std::string& device, std::string& why)
{
    const int fd = kernel.Open(device);
    if (fd < 0) {
        why = OpenFailure(device, -fd);
        return nullptr;
    }
    if (int error = kernel.Ioctl(fd, PPCLAIM, nullptr); error < 0) {
        why = error == -EBUSY || error == -ENXIO
                  ? device + ": port busy, another driver holds it (usually lp: sudo rmmod lp)"
                  : device + ": cannot claim the port: " + std::strerror(-error);
        kernel.Close(fd);
        return nullptr;
    }
    int forward = 0;
    int mode = IEEE1284_MODE_COMPAT;
    int error = kernel.Ioctl(fd, PPDATADIR, &forward);
    const char* step = "set its data lines to output";
    if (error == 0) {
        error = kernel.Ioctl(fd, PPSETMODE, &mode);
        step = "set compatibility mode";
    }
    if (error < 0) {
        why = device + ": cannot " + step + ": " + std::strerror(-error);
        kernel.Ioctl(fd, PPRELEASE, nullptr);
        kernel.Close(fd);
        return nullptr;
    }
    return std::make_unique<PpdevPort>(kernel, fd, device);
}

std::string Lockdown(PortKernel& kernel)
{
    // "none [integrity] confidentiality": the bracketed one is in force.
    const std::string text = Trimmed(kernel.ReadFile("/sys/kernel/security/lockdown"));
    const auto open = text.find('['), close = text.find(']');
    return open != std::string::npos && close > open ? text.substr(open + 1, close - open - 1)
                                                     : "none";
}

std::unique_ptr<CoilPort> TryRawIo(PortKernel& kernel, unsigned address, std::string& why)
{
    if (!kernel.HasRawIo()) {
        why = "not available on this processor";
        return nullptr;
    }
    if (int error = kernel.Ioperm(address, 1, 1); error < 0) {
        const std::string lockdown = Lockdown(kernel);
        if (lockdown != "none")
            why = "the kernel's lockdown (" + lockdown + ", Secure Boot) forbids it; use ppdev";
        else if (error == -EPERM || error == -EACCES)
            why = "ioperm(" + Hex(address) + ") not permitted (run as root or grant CAP_SYS_RAWIO)";
        else
            why = "ioperm(" + Hex(address) + ") failed: " + std::strerror(-error);
        return nullptr;
    }
    return std::make_unique<RawIoPort>(kernel, address);
}

// The ppdev device of the port at this base address, or why there is none.
std::optional<std::string> DeviceAt(PortKernel& kernel, unsigned address, std::string& why)
{
    const auto ports = ListParports(kernel);
    if (!ports) {
        why = std::string("no parallel port known to the kernel (") + ParportProcDir +
              " missing: load parport_pc)";
        return std::nullopt;
    }
    for (const Parport& port : *ports)
        if (port.base == address)
            return port.Device();
    why = "no parallel port at " + Hex(address) + " in " + ParportProcDir;
    return std::nullopt;
}

PortChoice ChooseDefault(PortKernel& kernel, int traceFd)
{
    std::string ppdevWhy;
    if (auto device = DeviceAt(kernel, DataPort, ppdevWhy))
        if (auto port = TryPpdev(kernel, *device, ppdevWhy))
            return {std::move(port), Prefix + "ppdev " + *device + " at 0x378"};
    std::string rawWhy;
    if (auto port = TryRawIo(kernel, DataPort, rawWhy))
        return {std::move(port),
                Prefix + "raw port I/O at 0x378 (ioperm; ppdev: " + ppdevWhy + ")"};
    return {std::make_unique<SimulatedPort>(traceFd),
            Prefix + "simulated port at 0x378, writes traced on standard output; no real port: " +
                "ppdev: " + ppdevWhy + "; raw I/O: " + rawWhy};
}

PortChoice ChooseParport(PortKernel& kernel, const OutputRequest& request)
{
    const std::string failed = "stepper-dial: cannot drive --port " + request.asWritten + ": ";
    std::string why;
    if (!request.byAddress) {
        if (auto port = TryPpdev(kernel, request.device, why))
            return {std::move(port), Prefix + "ppdev " + request.device};
        return {nullptr, failed + why + " (see stepper-dial --list-ports)"};
    }
    const std::string at = " at " + Hex(request.address);
    std::string ppdevWhy;
    if (auto device = DeviceAt(kernel, request.address, ppdevWhy))
        if (auto port = TryPpdev(kernel, *device, ppdevWhy))
            return {std::move(port), Prefix + "ppdev " + *device + at};
    std::string rawWhy;
    if (auto port = TryRawIo(kernel, request.address, rawWhy))
        return {std::move(port),
                Prefix + "raw port I/O" + at + " (ioperm; ppdev: " + ppdevWhy + ")"};
    return {nullptr, failed + "ppdev: " + ppdevWhy + "; raw I/O: " + rawWhy +
                         " (see stepper-dial --list-ports)"};
}

std::string ChipFailure(const std::string& chip, int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
        return "no GPIO chip '" + chip + "' (see stepper-dial --list-ports; is its driver loaded?)";
    case EACCES:
    case EPERM:
        return "GPIO chip '" + chip +
               "': permission denied (add your user to group gpio and log in again, with a udev "
               "rule where /dev/gpiochip* belongs to root alone, or run as root)";
    case ENOSYS: return "this build has no GPIO support (libgpiod was not found when it was built)";
    default: return "GPIO chip '" + chip + "': " + std::strerror(error);
    }
}

PortChoice ChooseGpio(GpioChips& chips, const OutputRequest& request)
{
    const std::string failed = "stepper-dial: cannot drive --gpio " + request.asWritten + ": ";
    int error = 0;
    std::unique_ptr<GpioChip> chip = chips.Open(request.chip, error);
    if (!chip)
        return {nullptr, failed + ChipFailure(request.chip, error)};
    const GpioChipInfo info = chip->Info();
    std::array<unsigned, 4> offsets{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string& line = request.lines[i];
        unsigned offset = 0;
        if (std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            offset = unsigned(std::stoul(line));
            if (offset >= info.lines)
                return {nullptr, failed + "line " + line + " does not exist on " + info.name +
                                     " (it has " + std::to_string(info.lines) + " lines)"};
        } else {
            const int found = chip->FindLine(line);
            if (found < 0)
                return {nullptr, failed + "no line named '" + line + "' on " + info.name +
                                     " (gpioinfo " + info.name + " lists them)"};
            offset = unsigned(found);
        }
        if (std::find(offsets.begin(), offsets.begin() + i, offset) != offsets.begin() + i)
            return {nullptr, failed + "line " + line + " is given twice; four lines are needed"};
        offsets[i] = offset;
    }
    if (int requested = chip->RequestOutputs(offsets); requested < 0) {
        std::string why = std::strerror(-requested);
        if (requested == -EBUSY)
            for (unsigned offset : offsets)
                if (std::string holder = chip->Consumer(offset); !holder.empty()) {
                    why = "line " + std::to_string(offset) + " is in use by '" + holder +
                          "' (stop it, or pick other lines)";
                    break;
                }
        return {nullptr, failed + why};
    }
    std::string name = "GPIO " + info.name + " lines ";
    for (std::size_t i = 0; i < 4; ++i) {
        if (i > 0)
            name += ',';
        name += std::to_string(offsets[i]);
    }
    return {std::make_unique<GpioPort>(std::move(chip), name), Prefix + name};
}

} // namespace

PortChoice ChoosePort(PortKernel& kernel, GpioChips& chips, const OutputRequest& request,
                      int traceFd)
{
    switch (request.kind) {
    case OutputRequest::Kind::Simulate:
        return {std::make_unique<SimulatedPort>(traceFd),
                Prefix + "simulated port at 0x378, writes traced on standard output (--simulate)"};
    case OutputRequest::Kind::Parport: return ChooseParport(kernel, request);
    case OutputRequest::Kind::Gpio: return ChooseGpio(chips, request);
    case OutputRequest::Kind::Default: break;
    }
    return ChooseDefault(kernel, traceFd);
}

std::string ListPorts(PortKernel& kernel, GpioChips& chips)
{
    std::ostringstream out;
    bool anything = false;
    const auto parports = ListParports(kernel);
    out << "Parallel ports:\n";
    if (!parports || parports->empty())
        out << "  none (" << (parports ? "no ports" : std::string(ParportProcDir) + " missing")
            << "; for a PCI/PCIe card: sudo modprobe parport_pc ppdev)\n";
    for (const Parport& port : parports ? *parports : std::vector<Parport>{}) {
        anything = true;
        out << "  " << port.name << "  " << port.Device() << "  base "
            << (port.base ? Hex(*port.base) : "?") << " (base_hi "
            << (port.baseHi ? Hex(*port.baseHi) : "none") << ")  modes "
            << (port.modes.empty() ? "?" : port.modes) << "  held by "
            << (port.holder.empty() ? "none" : port.holder) << "\n    ";
        const int fd = kernel.Open(port.Device());
        if (fd >= 0) {
            kernel.Close(fd);
            out << "can be opened";
            if (!port.holder.empty() && port.holder != "none")
                out << ", but " << port.holder << " holds it (sudo rmmod " << port.holder << ")";
        } else {
            out << "cannot be opened: " << OpenFailure(port.Device(), -fd);
        }
        out << "\n";
    }
    out << "Raw port I/O: ";
    const std::string lockdown = Lockdown(kernel);
    bool rawIo = false;
    if (!kernel.HasRawIo()) {
        out << "not available on this processor\n";
    } else if (lockdown != "none") {
        out << "forbidden by the kernel's lockdown (" << lockdown << ", Secure Boot)\n";
    } else if (int error = kernel.Ioperm(DataPort, 1, 1); error == 0) {
        kernel.Ioperm(DataPort, 1, 0);
        rawIo = true;
        out << "possible here (x86, lockdown none)\n";
    } else if (error == -EPERM || error == -EACCES) {
        out << "possible on this x86 machine as root or with CAP_SYS_RAWIO (lockdown none)\n";
    } else {
        out << "not possible here: ioperm: " << std::strerror(-error) << "\n";
    }

    out << "GPIO chips:\n";
    const std::vector<GpioChipInfo> gpio = chips.List();
    if (gpio.empty())
        out << "  none\n";
    for (const GpioChipInfo& chip : gpio) {
        anything = true;
        out << "  " << chip.name << "  " << chip.path;
        if (chip.error)
            out << "  cannot be opened: " << ChipFailure(chip.name, chip.error) << "\n";
        else
            out << "  [" << chip.label << "]  " << chip.lines << " lines\n";
    }

    // What a plain start would use, by a look that claims nothing.
    out << "A plain start would use: ";
    std::string why;
    const auto device = DeviceAt(kernel, DataPort, why);
    int fd = device ? kernel.Open(*device) : -ENOENT;
    if (fd >= 0) {
        kernel.Close(fd);
        out << "ppdev " << *device << " at 0x378\n";
    } else if (rawIo) {
        out << "raw port I/O at 0x378\n";
    } else {
        out << "the simulated port (no real port at 0x378 can be reached)\n";
    }
    if (!anything)
        out << "No parallel port and no GPIO chip here: try stepper-dial --simulate.\n";
    return out.str();
}
