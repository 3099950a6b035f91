// SPDX-License-Identifier: MIT
// The stepping thread asks for real-time scheduling: by itself where the process may (root,
// CAP_SYS_NICE or an RLIMIT_RTPRIO), else through a broker such as RealtimeKit on a desktop,
// else a short time slice where the kernel offers one (Linux 6.12 and later), else it runs at
// normal priority.
#pragma once

#include "base/failure.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <thread>

// A modest priority: above every normal task, below the kernel's own interrupt threads.
inline constexpr int SteppingPriority = 20;
// The shortest time slice a normal thread may ask for: it is woken ahead of busier threads.
inline constexpr unsigned long long SteppingSliceNs = 100'000;

// Someone who may make a thread real-time on the process's behalf.
class RealTimeBroker {
public:
    virtual ~RealTimeBroker() = default;
    // One line's worth of who this is ("RealtimeKit").
    virtual std::string Name() const = 0;
    // Asks for SCHED_FIFO for the thread, at most at priority, which it lowers to what was
    // granted; a failure saying why when refused or absent.
    virtual Outcome MakeThreadRealtime(pid_t tid, int& priority) = 0;
};

// Returns one line for standard error: what the thread got, from whom, and how to allow more.
std::string MakeRealTime(std::thread& thread, pid_t tid, RealTimeBroker* broker);

// Starts `run` on a thread named "stepping", made real-time as above; returns MakeRealTime's
// line.
std::string StartSteppingThread(std::thread& thread, std::function<void()> run,
                                RealTimeBroker* broker);
