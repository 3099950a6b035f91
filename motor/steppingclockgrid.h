// SPDX-License-Identifier: MIT
// When the stepping clock may tick: on an absolute 1 ms grid anchored at start, one tick per
// wake-up however many grid points were missed, and never two ticks closer than 0.9 ms (a
// burst of steps stalls a real motor). Times are CLOCK_MONOTONIC nanoseconds.
#pragma once

#include <cstdint>
#include <limits>

class SteppingClockGrid {
public:
    static constexpr std::int64_t Period = 1'000'000;
    static constexpr std::int64_t MinimumGap = 900'000;
    // The timer is armed this much before each deadline so that the usual wake-up latency
    // lands the tick on the grid rather than after it.
    static constexpr std::int64_t WakeLead = 50'000;

    // Starting a running schedule keeps its phase; the first tick comes one period later.
    void Start(std::int64_t now)
    {
        if (running_)
            return;
        running_ = true;
        anchor_ = now;
        SetDeadline(now + Period, WakeLead);
    }
    void Stop() { running_ = false; }
    bool IsRunning() const { return running_; }
    // When the timer should fire for the next deadline.
    std::int64_t ArmAt() const { return armAt_; }
    // How long after its grid point the last tick came; a tick held back by the gap counts
    // from its grid point too. A tick up to WakeLead early is on time.
    std::int64_t Lateness() const { return lateness_; }

    // The gap is kept from the end of the tick's work, so it holds between the port writes
    // however long a tick took to reach its write.
    void TickEnded(std::int64_t now) { lastTick_ = now; }

    // Called when the timer fired; true means tick now. Either way the caller re-arms for
    // ArmAt().
    bool OnWake(std::int64_t now)
    {
        if (!running_ || now < armAt_)
            return false;
        if (now - lastTick_ < MinimumGap) {
            armAt_ = lastTick_ + MinimumGap; // a hard limit: no lead
            return false;
        }
        lateness_ = now > gridPoint_ ? now - gridPoint_ : 0;
        const std::int64_t latestGridPoint = anchor_ + (now + WakeLead - anchor_) / Period * Period;
        SetDeadline(latestGridPoint + Period, WakeLead);
        lastTick_ = now;
        return true;
    }

private:
    void SetDeadline(std::int64_t gridPoint, std::int64_t lead)
    {
        gridPoint_ = gridPoint;
        armAt_ = gridPoint - lead;
    }

    bool running_ = false;
    std::int64_t armAt_ = 0;
    std::int64_t gridPoint_ = 0;
    std::int64_t lateness_ = 0;
    std::int64_t anchor_ = 0;
    std::int64_t lastTick_ = std::numeric_limits<std::int64_t>::min() / 2;
};
