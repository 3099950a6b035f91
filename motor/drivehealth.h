// SPDX-License-Identifier: MIT
// A snapshot of the stepping thread's liveness, for a watchdog on another thread.
#pragma once

#include <cstdint>

struct DriveHealth {
    std::uint64_t pingsAsked = 0;
    std::uint64_t pingsAnswered = 0;
    std::uint64_t ticks = 0; // ticks run since start-up
    bool moving = false;
};
