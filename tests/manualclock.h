// SPDX-License-Identifier: MIT
// Doubles for the two hardware-facing seams: a port that records every byte, and a clock the
// test fires by hand under the drive's own stepping thread.
#pragma once

#include "motor/steppingclock.h"
#include "output/coilport.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

class RecordingPort final : public CoilPort {
public:
    void WriteDataByte(std::uint8_t value) override { writes.push_back(value); }
    std::string Name() const override { return "recording"; }
    std::vector<int> writes;
};

// A clock the test fires by hand. The drive's own stepping thread waits on it; each Fire lets
// one tick through and returns once that tick has ended, so what the tick wrote is visible.
class ManualClock final : public SteppingClock {
public:
    void Start() override
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            ++starts_;
        running_ = true;
        changed_.notify_all();
    }
    void Stop() override
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    bool WaitForTick() override
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return woken_ || (running_ && fires_ > 0); });
        if (woken_) {
            woken_ = false;
            changed_.notify_all();
            return false;
        }
        --fires_;
        ++ticks_;
        return true;
    }
    void TickEnded() override
    {
        std::lock_guard lock(mutex_);
        ++ended_;
        changed_.notify_all();
    }
    void Wake() override
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
        changed_.notify_all();
    }
    // One tick, once the stepping thread has taken what it was woken for and the clock runs;
    // false when the clock does not run.
    bool Fire()
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(5),
                               [this] { return running_ && !woken_; }))
            return false;
        ++fires_;
        const int ended = ended_ + 1;
        changed_.notify_all();
        return changed_.wait_for(lock, std::chrono::seconds(5),
                                 [this, ended] { return ended_ >= ended; });
    }
    // Time passes only as ticks are fired, a millisecond each; a tick's time is its own.
    std::int64_t Now() const override
    {
        std::lock_guard lock(mutex_);
        return ticks_ * SteppingClockGrid::Period;
    }
    bool Running() const
    {
        std::lock_guard lock(mutex_);
        return running_;
    }
    int Starts() const
    {
        std::lock_guard lock(mutex_);
        return starts_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool running_ = false;
    bool woken_ = false;
    int fires_ = 0;
    int ended_ = 0;
    std::int64_t ticks_ = 0;
    int starts_ = 0;
};
