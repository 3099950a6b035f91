// SPDX-License-Identifier: MIT
#include "simulatedport.h"

#include "shell/report.h"
#include "tracering.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <future>
#include <sys/eventfd.h>
#include <unistd.h>

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
                Report("the trace reader fell behind: " + std::to_string(lost) +
                       " port writes were not traced");
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
