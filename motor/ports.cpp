#include "ports.h"

#include "tracering.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <linux/ppdev.h>
#include <optional>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr const char* ParportProcDir = "/proc/sys/dev/parport";

bool IsDigitChar(char c)
{
    return c >= '0' && c <= '9';
}

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

std::string OpenFailure(const std::string& device, int error)
{
    switch (error) {
    case ENOENT: return device + " missing (load the ppdev module: sudo modprobe ppdev)";
    case EACCES:
    case EPERM:
        return device + ": permission denied (add your user to group lp and log in again, "
                        "or run as root)";
    case ENXIO:
    case ENODEV: return device + ": no such device (is the parport_pc module loaded?)";
    default: return device + ": " + ErrnoText(error);
    }
}

std::string ClaimFailure(const std::string& device, int error)
{
    if (error == EBUSY || error == ENXIO)
        return device + ": port busy, another driver holds it (usually lp: sudo rmmod lp)";
    return device + ": cannot claim the port: " + ErrnoText(error);
}

// The parportN entry of /proc whose base address is 0x378 (888 in decimal), if any.
std::optional<std::string> FindParportAt0x378(PortKernel& kernel, std::string& why)
{
    auto entries = kernel.ListDirectory(ParportProcDir);
    if (!entries) {
        why = std::string("no parallel port known to the kernel (") + ParportProcDir +
              " missing: load parport_pc)";
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (const auto& name : *entries) {
        if (name.size() > 7 && name.compare(0, 7, "parport") == 0 &&
            std::all_of(name.begin() + 7, name.end(), IsDigitChar))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    for (const auto& name : names) {
        auto base = kernel.ReadFile(std::string(ParportProcDir) + "/" + name + "/base-addr");
        if (base && base->compare(0, 3, "888") == 0 &&
            (base->size() == 3 || !IsDigitChar((*base)[3])))
            return name;
    }
    why = "no parallel port at 0x378 in " + std::string(ParportProcDir);
    return std::nullopt;
}

std::unique_ptr<CoilPort> TryPpdev(PortKernel& kernel, std::string& why)
{
    auto parport = FindParportAt0x378(kernel, why);
    if (!parport)
        return nullptr;
    std::string device = "/dev/" + *parport;
    int fd = kernel.Open(device);
    if (fd < 0) {
        why = OpenFailure(device, -fd);
        return nullptr;
    }
    if (int error = kernel.Ioctl(fd, PPCLAIM, nullptr); error < 0) {
        why = ClaimFailure(device, -error);
        kernel.Close(fd);
        return nullptr;
    }
    return std::make_unique<PpdevPort>(kernel, fd, device);
}

std::unique_ptr<CoilPort> TryRawIo(PortKernel& kernel, std::string& why)
{
    if (!kernel.HasRawIo()) {
        why = "not available on this processor";
        return nullptr;
    }
    if (int error = kernel.Ioperm(DataPort, 1, 1); error < 0) {
        if (-error == EPERM || -error == EACCES)
            why = "ioperm(0x378) not permitted (run as root or grant CAP_SYS_RAWIO)";
        else
            why = "ioperm(0x378) failed: " + ErrnoText(-error);
        return nullptr;
    }
    return std::make_unique<RawIoPort>(kernel);
}

} // namespace

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
    int error = kernel_.Ioctl(fd_, PPWDATA, &byte);
    if (error < 0 && !reportedFailure_) {
        // Once is enough to tell the operator; a line per tick would drown the terminal.
        reportedFailure_ = true;
        std::fprintf(stderr, "stepper-dial: writing to %s failed: %s\n", device_.c_str(),
                     std::strerror(-error));
    }
}

std::string PpdevPort::Name() const
{
    return "ppdev " + device_;
}

void RawIoPort::WriteDataByte(std::uint8_t value)
{
    kernel_.Outb(value, static_cast<unsigned short>(DataPort));
}

std::string RawIoPort::Name() const
{
    return "raw port I/O";
}

struct SimulatedPort::Trace {
    Trace(int fd, std::size_t size) : fd(fd), wakeFd(eventfd(0, EFD_CLOEXEC)), ring(size) {}
    ~Trace() { ::close(wakeFd); }
    void Wake()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t put = ::write(wakeFd, &one, sizeof one);
    }
    // The writer thread: drain on every wake-up, report what was lost once caught up.
    void Write()
    {
        for (;;) {
            std::uint64_t wakes = 0;
            if (::read(wakeFd, &wakes, sizeof wakes) < 0 && errno == EINTR)
                continue;
            for (auto run = ring.Peek(); !run.empty(); run = ring.Peek()) {
                const ssize_t written = ::write(fd, run.data(), run.size());
                if (written < 0 && errno == EINTR)
                    continue;
                // A reader that went away loses the trace; the motor goes on.
                ring.Consume(written < 0 ? run.size() : std::size_t(written));
            }
            if (const std::uint64_t lost = dropped.exchange(0))
                std::fprintf(stderr,
                             "stepper-dial: the trace reader fell behind: %llu port writes "
                             "were not traced\n",
                             static_cast<unsigned long long>(lost));
            if (closing.load() && ring.Peek().empty())
                break;
        }
        finished.set_value();
    }

    const int fd;
    const int wakeFd;
    TraceRing ring;
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<bool> closing{false};
    std::promise<void> finished;
};

SimulatedPort::SimulatedPort(int traceFd, std::size_t bufferSize)
    : trace_(std::make_shared<Trace>(traceFd, bufferSize))
{
    writer_ = std::thread([trace = trace_] { trace->Write(); });
}

SimulatedPort::~SimulatedPort()
{
    std::future<void> finished = trace_->finished.get_future();
    trace_->closing.store(true);
    trace_->Wake();
    if (finished.wait_for(std::chrono::milliseconds(ExitDrainMs)) == std::future_status::ready)
        writer_.join();
    else
        writer_.detach();
}

void SimulatedPort::WriteDataByte(std::uint8_t value)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[64];
    const int size = std::snprintf(line, sizeof line, "port 0x378 <- %u at %lld.%06ld\n",
                                   static_cast<unsigned>(value), static_cast<long long>(now.tv_sec),
                                   now.tv_nsec / 1000);
    if (!trace_->ring.Push({line, static_cast<std::size_t>(size)}))
        trace_->dropped.fetch_add(1);
    trace_->Wake();
}

std::string SimulatedPort::Name() const
{
    return "simulated port";
}

PortChoice ChoosePort(PortKernel& kernel, bool simulate, int traceFd)
{
    const std::string prefix = "stepper-dial: coil output: ";
    const std::string simulated = "simulated port at 0x378, writes traced on standard output";
    if (simulate)
        return {std::make_unique<SimulatedPort>(traceFd), prefix + simulated + " (--simulate)"};

    std::string ppdevWhy;
    if (auto port = TryPpdev(kernel, ppdevWhy)) {
        std::string name = port->Name();
        return {std::move(port), prefix + name + " at 0x378"};
    }
    std::string rawWhy;
    if (auto port = TryRawIo(kernel, rawWhy))
        return {std::move(port),
                prefix + "raw port I/O at 0x378 (ioperm; ppdev: " + ppdevWhy + ")"};
    return {std::make_unique<SimulatedPort>(traceFd),
            prefix + simulated + "; no real port: ppdev: " + ppdevWhy + "; raw I/O: " + rawWhy};
}
