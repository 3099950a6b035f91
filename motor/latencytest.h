// SPDX-License-Identifier: MIT
// The machine's own check before a motor is wired to it: the stepping clock runs on the
// stepping thread, real-time as a move would get it, for a number of seconds, with nothing
// written anywhere; every tick's lateness is kept for the report.
#pragma once

#include "realtime.h"
#include "steppingclock.h"
#include "steppingtiming.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct LatencySummary {
    std::string scheduling; // what the thread got, as the start-up line says it
    int seconds = 0;
    std::uint64_t ticks = 0;     // grid points in the run, delivered or missed
    std::uint64_t delivered = 0; // ticks the thread woke for
    std::uint64_t missed = 0;    // grid points passed while the thread was late
    // Lateness of the delivered ticks, nanoseconds.
    std::int64_t min = 0, p50 = 0, p99 = 0, p999 = 0, max = 0;
    double within100us = 0.0, within500us = 0.0; // shares of the delivered ticks
    std::array<std::uint64_t, LatenessBoundsNs.size() + 1> histogram{};

    // The machine keeps 1 kHz: at least 99.9 % of ticks within 0.5 ms and none missed.
    bool Keeps() const { return delivered > 0 && within500us >= 0.999 && missed == 0; }
};

class LatencyTest {
public:
    LatencyTest(std::unique_ptr<SteppingClock> clock, int seconds);
    ~LatencyTest();
    LatencyTest(const LatencyTest&) = delete;
    LatencyTest& operator=(const LatencyTest&) = delete;

    // Starts the run; returns the line that says what scheduling the thread got.
    std::string Start(RealTimeBroker* broker);
    // Any thread, while it runs.
    bool Running() const { return !done_.load(); }
    std::int64_t WorstSoFar() const { return worst_.load(std::memory_order_relaxed); }
    // Any thread: the run ends at its next tick, its report covering the ticks so far.
    void Stop()
    {
        stop_.store(true);
        clock_->Wake();
    }
    // Waits for the end of the run.
    LatencySummary Finish();

private:
    void Run();

    std::unique_ptr<SteppingClock> clock_;
    int seconds_;
    std::string scheduling_;
    std::vector<std::int64_t> lateness_; // sized before the run: nothing allocated in it
    std::atomic<std::int64_t> worst_{0};
    std::atomic<bool> done_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
