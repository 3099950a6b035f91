// SPDX-License-Identifier: MIT
#include "latencytest.h"

#include <algorithm>

LatencyTest::LatencyTest(std::unique_ptr<SteppingClock> clock, int seconds)
    : clock_(std::move(clock)), seconds_(seconds),
      lateness_(std::size_t(seconds) * 1000 + 16) // a tick early by the lead may add one
{
}

LatencyTest::~LatencyTest()
{
    if (thread_.joinable())
        thread_.join();
}

std::string LatencyTest::Start(RealTimeBroker* broker)
{
    scheduling_ = StartSteppingThread(
        thread_, [this] { Run(); }, broker);
    return scheduling_;
}

void LatencyTest::Run()
{
    const std::int64_t end =
        clock_->Now() + std::int64_t(seconds_) * SteppingClockGrid::Period * 1000;
    clock_->Start();
    std::uint64_t count = 0;
    while (count < lateness_.size() && clock_->Now() < end && !stop_.load()) {
        if (!clock_->WaitForTick())
            continue;
        const std::int64_t late = clock_->Lateness();
        lateness_[count++] = late;
        if (late > worst_.load(std::memory_order_relaxed))
            worst_.store(late, std::memory_order_relaxed);
        clock_->TickEnded();
    }
    clock_->Stop();
    lateness_.resize(count);
    done_.store(true);
}

LatencySummary LatencyTest::Finish()
{
    if (thread_.joinable())
        thread_.join();
    LatencySummary summary;
    summary.scheduling = scheduling_;
    summary.seconds = seconds_;
    std::vector<std::int64_t> sorted = lateness_;
    std::sort(sorted.begin(), sorted.end());
    summary.delivered = sorted.size();
    for (std::int64_t late : sorted) {
        summary.missed += std::uint64_t(late / SteppingClockGrid::Period);
        ++summary.histogram[BucketOf(LatenessBoundsNs, late)];
    }
    summary.ticks = summary.delivered + summary.missed;
    if (stop_.load()) // the seconds it ran, begun ones counted
        summary.seconds = int((summary.ticks + 999) / 1000);
    if (sorted.empty())
        return summary;
    // The nearest rank: the smallest value at or above that share of the ticks.
    const auto at = [&sorted](double share) {
        const auto rank = std::size_t(share * double(sorted.size()) + 0.999999);
        return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
    };
    summary.min = sorted.front();
    summary.p50 = at(0.50);
    summary.p99 = at(0.99);
    summary.p999 = at(0.999);
    summary.max = sorted.back();
    const auto share = [&sorted](std::int64_t bound) {
        return double(std::upper_bound(sorted.begin(), sorted.end(), bound) - sorted.begin()) /
               double(sorted.size());
    };
    summary.within100us = share(100'000);
    summary.within500us = share(LateTickNs);
    return summary;
}
