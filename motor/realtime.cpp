// SPDX-License-Identifier: MIT
#include "realtime.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif

} // namespace

std::string MakeRealTime(std::thread& thread)
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
    if (int error = pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param); error != 0)
        return prefix +
               "normal priority (real-time scheduling not permitted: " + std::strerror(error) +
               "; allow it with LimitRTPRIO=" + std::to_string(SteppingPriority) +
               " in a systemd unit, or a line '<user> - rtprio " +
               std::to_string(SteppingPriority) + "' in /etc/security/limits.d/, or run as root)";
    std::string line = prefix + "real-time (SCHED_FIFO priority " + std::to_string(priority) + ", ";
    // Locked pages never fault in the middle of a step. On fault, so untouched reservations
    // (and the sanitizers' shadow memory) are not pulled in.
    if (Sanitized)
        return line + "memory not locked under the sanitizers)";
    if (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) != 0)
        return line + "memory not locked: " + std::strerror(errno) + ")";
    return line + "memory locked)";
}
