// SPDX-License-Identifier: MIT
#include "simulatedport.h"

#include "base/report.h"
#include "tracering.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

// The writer thread's side. While lines come it sleeps BatchMs and writes what gathered in
// one go; only once a whole batch period has brought nothing does it park on an eventfd, and
// the first line after that wakes it (a wake-up lost to the race between parking and that
// line costs at most ParkMs). So the stepping thread writes the eventfd once a move, at its
// first line, and makes no system call for the trace while the motor moves; the writer takes
// a turn a hundred times a second, not a thousand.
struct SimulatedPort::Trace {
    static constexpr int BatchMs = 10;
    static constexpr int ParkMs = 1000;

    Trace(int fd, std::size_t size) : fd(fd), wakeFd(eventfd(0, EFD_CLOEXEC)), ring(size) {}
    ~Trace() { ::close(wakeFd); }
    void Wake()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t put = ::write(wakeFd, &one, sizeof one);
    }
    // Producer, after a push: wakes a parked writer.
    void Pushed()
    {
        if (parked.load() && parked.exchange(false))
            Wake();
    }
    // Waits for a wake-up, or at most timeoutMs.
    void Wait(int timeoutMs)
    {
        pollfd wake{wakeFd, POLLIN, 0};
        if (::poll(&wake, 1, timeoutMs) > 0) {
            std::uint64_t wakes = 0;
            [[maybe_unused]] ssize_t got = ::read(wakeFd, &wakes, sizeof wakes);
        }
    }
    // Writes out what the ring holds; true when there was anything. A write that fails (a
    // full disk, a reader gone) keeps its bytes for the next try: lines are lost only when
    // the ring is full, and then counted.
    bool Drain()
    {
        bool any = false;
        for (auto run = ring.Peek(); !run.empty(); run = ring.Peek()) {
            any = true;
            const ssize_t written = ::write(fd, run.data(), run.size());
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0) {
                if (failure == 0)
                    Report("writing the trace to standard output failed: " +
                           std::string(std::strerror(errno)) +
                           "; port writes are kept for it, and counted if lost");
                failure = errno;
                return true;
            }
            if (failure != 0)
                Report("writing the trace works again");
            failure = 0;
            ring.Consume(std::size_t(written));
        }
        return any;
    }
    // Lines that will never be written: dropped when the ring was full, and at the end what
    // it still holds.
    void ReportLost(bool atEnd)
    {
        const std::uint64_t lost = dropped.exchange(0) + (atEnd ? ring.LinesHeld() : 0);
        if (lost == 0)
            return;
        const std::string why =
            failure != 0 ? std::string("writing the trace failed: ") + std::strerror(failure)
                         : std::string("the trace reader fell behind");
        Report(why + ": " + std::to_string(lost) + " port writes were not traced" +
               (atEnd ? " (at exit)" : ""));
    }
    // The writer thread, at idle priority (set by the constructor). Measured on a busy machine
    // without real-time rights: even at nice 10 the writer on the stepping thread's queue cost it a
    // step in twenty; as an idle task it costs none, and it still catches up whenever a CPU has a
    // moment (the ring holds minutes of trace).
    void Write()
    {
        pthread_setname_np(pthread_self(), "trace-writer");
        for (;;) {
            const bool flowing = Drain();
            // Dropped lines are told once the reader takes lines again, or at the end.
            if (failure == 0)
                ReportLost(false);
            if (closing.load() && (ring.Peek().empty() || failure != 0)) {
                ReportLost(true);
                break;
            }
            if (flowing) {
                Wait(BatchMs); // only the end cuts it short
                continue;
            }
            // A batch period brought nothing: park until a new line or the end wakes it.
            parked.store(true);
            if (ring.Peek().empty() && !closing.load())
                Wait(ParkMs);
            parked.store(false);
        }
        finished.set_value();
    }

    const int fd;
    const int wakeFd;
    TraceRing ring;
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<bool> closing{false};
    std::atomic<bool> parked{false};
    int failure = 0; // errno of the last failed write, 0 while writes succeed; writer only
    std::promise<void> finished;
};

SimulatedPort::SimulatedPort(int traceFd, std::size_t bufferSize)
    : trace_(std::make_shared<Trace>(traceFd, bufferSize))
{
    writer_ = std::thread([trace = trace_] { trace->Write(); });
    // Set from here, so the end's change back always comes after it.
    const sched_param idle{};
    pthread_setschedparam(writer_.native_handle(), SCHED_IDLE, &idle);
}

SimulatedPort::~SimulatedPort()
{
    std::future<void> finished = trace_->finished.get_future();
    // Nothing steps any more, and at idle priority a busy machine could starve the writer
    // past the wait below. Leaving the idle class needs CAP_SYS_NICE or RLIMIT_NICE.
    const sched_param normal{};
    pthread_setschedparam(writer_.native_handle(), SCHED_OTHER, &normal);
    trace_->closing.store(true);
    trace_->Wake();
    if (finished.wait_for(std::chrono::milliseconds(ExitDrainMs)) == std::future_status::ready) {
        writer_.join();
        return;
    }
    // The reader never took them; the writer stays stuck in its write and is left behind.
    writer_.detach();
    if (const std::uint64_t lost = trace_->dropped.load() + trace_->ring.LinesHeld())
        Report("the trace reader did not take the last " + std::to_string(lost) +
               " port writes (at exit)");
}

void SimulatedPort::WriteDataByte(std::uint8_t value)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[64];
    const int size = std::snprintf(line, sizeof line, "%s%u at %lld.%06ld\n", linePrefix_.c_str(),
                                   static_cast<unsigned>(value), static_cast<long long>(now.tv_sec),
                                   now.tv_nsec / 1000);
    if (!trace_->ring.Push({line, static_cast<std::size_t>(size)}))
        trace_->dropped.fetch_add(1);
    trace_->Pushed();
}

std::string SimulatedPort::Name() const
{
    return "simulated port";
}
