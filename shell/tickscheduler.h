// When the stepping clock may tick: on an absolute 1 ms grid anchored at start, one tick per
// wake-up however many grid points were missed, and never two ticks closer than 0.9 ms (a
// burst of steps stalls a real motor). Times are CLOCK_MONOTONIC nanoseconds.
#pragma once

#include <cstdint>
#include <limits>

class TickScheduler {
public:
    static constexpr std::int64_t Period = 1'000'000;
    static constexpr std::int64_t MinimumGap = 900'000;

    // Starting a running schedule keeps its phase; the first tick comes one period later.
    void Start(std::int64_t now)
    {
        if (running_)
            return;
        running_ = true;
        anchor_ = now;
        nextDeadline_ = now + Period;
    }
    void Stop() { running_ = false; }
    bool IsRunning() const { return running_; }
    std::int64_t NextDeadline() const { return nextDeadline_; }

    // Called when the deadline may have passed; true means tick now. Either way the caller
    // re-arms for NextDeadline().
    bool OnWake(std::int64_t now)
    {
        if (!running_ || now < nextDeadline_)
            return false;
        if (now - lastTick_ < MinimumGap) {
            nextDeadline_ = lastTick_ + MinimumGap;
            return false;
        }
        const std::int64_t latestGridPoint = anchor_ + (now - anchor_) / Period * Period;
        nextDeadline_ = latestGridPoint + Period;
        lastTick_ = now;
        return true;
    }

private:
    bool running_ = false;
    std::int64_t anchor_ = 0;
    std::int64_t nextDeadline_ = 0;
    std::int64_t lastTick_ = std::numeric_limits<std::int64_t>::min() / 2;
};
