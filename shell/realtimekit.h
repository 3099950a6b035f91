// SPDX-License-Identifier: MIT
// RealtimeKit, the desktop's way to real time without root: the system bus service
// org.freedesktop.RealtimeKit1 makes one thread SCHED_FIFO, within limits it sets, for a
// process that caps its own real-time CPU time (RLIMIT_RTTIME) within them.
#pragma once

#include "motor/realtime.h"

class RealtimeKit final : public RealTimeBroker {
public:
    static constexpr int CallTimeoutMs = 2000;

    std::string Name() const override { return "RealtimeKit"; }
    Outcome MakeThreadRealtime(pid_t tid, int& priority) override;
};
