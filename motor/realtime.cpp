// SPDX-License-Identifier: MIT
#include "realtime.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <future>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif

// The kernel's struct sched_attr (glibc 2.36 has no wrapper).
struct SchedAttr {
    std::uint32_t size = sizeof(SchedAttr);
    std::uint32_t policy = 0;
    std::uint64_t flags = 0;
    std::int32_t nice = 0;
    std::uint32_t priority = 0;
    std::uint64_t runtime = 0, deadline = 0, period = 0;
    std::uint32_t utilMin = 0, utilMax = 0;
};

// A short slice for a normal thread; only kernels that keep it (6.12 on) read it back.
bool GiveShortSlice(pid_t tid)
{
    SchedAttr attr;
    attr.policy = SCHED_OTHER;
    attr.runtime = SteppingSliceNs;
    if (syscall(SYS_sched_setattr, tid, &attr, 0) != 0)
        return false;
    SchedAttr now;
    return syscall(SYS_sched_getattr, tid, &now, sizeof now, 0) == 0 &&
           now.runtime == SteppingSliceNs;
}

// Locked pages never fault in the middle of a step. On fault, so untouched reservations
// (and the sanitizers' shadow memory) are not pulled in.
std::string LockMemory()
{
    if (Sanitized)
        return "memory not locked under the sanitizers";
    if (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) != 0)
        return std::string("memory not locked: ") + std::strerror(errno);
    return "memory locked";
}

} // namespace

std::string MakeRealTime(std::thread& thread, pid_t tid, RealTimeBroker* broker)
{
    const std::string prefix = "stepping thread: ";
    int priority = SteppingPriority;
    // An unprivileged user may go as high as RLIMIT_RTPRIO allows.
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0 &&
        limit.rlim_cur < rlim_t(priority))
        priority = int(limit.rlim_cur);
    sched_param param{};
    param.sched_priority = priority;
    const int error = pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param);
    if (error == 0)
        return prefix + "real-time (SCHED_FIFO priority " + std::to_string(priority) + ", " +
               LockMemory() + ")";

    int granted = SteppingPriority;
    const Outcome refused = broker ? broker->MakeThreadRealtime(tid, granted) : Outcome();
    if (broker && !refused)
        return prefix + "real-time through " + broker->Name() + " (SCHED_FIFO priority " +
               std::to_string(granted) + ", " + LockMemory() + ")";
    const std::string allow =
        "real-time scheduling not permitted: " + std::string(std::strerror(error)) +
        (broker ? "; " + broker->Name() + ": " + refused->line : std::string()) +
        "; allow it with LimitRTPRIO=" + std::to_string(SteppingPriority) +
        " in a systemd unit, or a line '<user> - rtprio " + std::to_string(SteppingPriority) +
        "' in /etc/security/limits.d/, or run as root";
    if (GiveShortSlice(tid))
        return prefix + "normal priority with a short time slice (" +
               std::to_string(SteppingSliceNs / 1000) + " us) (" + allow + ")";
    return prefix + "normal priority (" + allow + ")";
}

std::string StartSteppingThread(std::thread& thread, std::function<void()> run,
                                RealTimeBroker* broker)
{
    // The thread's kernel id, for a broker that schedules it from outside.
    std::promise<pid_t> started;
    std::future<pid_t> tid = started.get_future();
    thread = std::thread([&started, run = std::move(run)] {
        pthread_setname_np(pthread_self(), "stepping");
        started.set_value(gettid());
        run();
    });
    return MakeRealTime(thread, tid.get(), broker);
}
