#include "ports.h"

#include "tracering.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <linux/ppdev.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

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

std::string PpdevPort::Name() const
{
    return "ppdev " + device_;
}

void RawIoPort::WriteDataByte(std::uint8_t value)
{
    kernel_.Outb(value, static_cast<unsigned short>(address_));
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
