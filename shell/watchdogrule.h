// SPDX-License-Identifier: MIT
// When the service manager's watchdog may be told all is well: the stepping thread answered
// the last ping (it is not stuck, in a port write or anywhere else) and, while the motor
// moves, it keeps at least half of its 1 ms grid. Pure, so it is tested with numbers alone.
#pragma once

#include "motor/drivehealth.h"

#include <cstdint>

class WatchdogRule {
public:
    // Called once a watchdog period, after at least elapsedMs since the last call, before
    // the next ping is sent. True: send WATCHDOG=1.
    bool Healthy(const DriveHealth& now, std::int64_t elapsedMs)
    {
        const bool answered = now.pingsAnswered >= now.pingsAsked;
        // A move that began or ended within the period proves nothing about the grid.
        const bool movedThroughout = wasMoving_ && now.moving;
        const bool onGrid = !movedThroughout || (now.ticks - lastTicks_) * 2 >=
                                                    std::uint64_t(elapsedMs > 0 ? elapsedMs : 0);
        wasMoving_ = now.moving;
        lastTicks_ = now.ticks;
        return answered && onGrid;
    }

private:
    bool wasMoving_ = false;
    std::uint64_t lastTicks_ = 0;
};
