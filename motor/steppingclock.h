// SPDX-License-Identifier: MIT
// The stepping clock, 1 ms. Only the stepping thread waits on it; any thread may wake
// that wait, without a lock, to hand the thread a request.
#pragma once

#include "steppingclockgrid.h"

#include <chrono>
#include <cstdint>
#include <memory>

// CLOCK_MONOTONIC (libstdc++'s steady_clock), the clock the timerfd's absolute deadlines use.
inline std::int64_t MonotonicNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class SteppingClock {
public:
    virtual ~SteppingClock() = default;
    // Starting a running clock leaves it running, phase and all. Stepping thread only.
    virtual void Start() = 0;
    // No tick is delivered after Stop returns. Stepping thread only.
    virtual void Stop() = 0;
    // Blocks until a tick is due (true) or until Wake is called (false); while stopped, only
    // Wake ends it.
    virtual bool WaitForTick() = 0;
    // After a tick's port write: the minimum gap between steps counts from here.
    virtual void TickEnded() {}
    // Any thread: the current or the next WaitForTick returns false.
    virtual void Wake() = 0;
    // The time in nanoseconds on the clock's own scale, for how long it stood between moves.
    virtual std::int64_t Now() const { return MonotonicNanoseconds(); }
    // The last tick: when it came, on the scale of Now, and how long after its time.
    virtual std::int64_t TickAt() const { return Now(); }
    virtual std::int64_t Lateness() const { return 0; }
};

// An absolute 1 ms grid on a CLOCK_MONOTONIC timerfd; wake-ups come through an eventfd.
class TimerfdSteppingClock final : public SteppingClock {
public:
    TimerfdSteppingClock();
    ~TimerfdSteppingClock() override;
    TimerfdSteppingClock(const TimerfdSteppingClock&) = delete;
    TimerfdSteppingClock& operator=(const TimerfdSteppingClock&) = delete;

    bool IsValid() const { return timerFd_ >= 0 && wakeFd_ >= 0; }
    void Start() override;
    void Stop() override;
    bool WaitForTick() override;
    void TickEnded() override { grid_.TickEnded(MonotonicNanoseconds()); }
    void Wake() override;
    std::int64_t TickAt() const override { return tickAt_; }
    std::int64_t Lateness() const override { return grid_.Lateness(); }

private:
    void Arm(std::int64_t deadline);

    int timerFd_ = -1;
    int wakeFd_ = -1;
    SteppingClockGrid grid_;
    std::int64_t tickAt_ = 0;
};

std::unique_ptr<SteppingClock> MakeSteppingClock();
