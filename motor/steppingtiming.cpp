// SPDX-License-Identifier: MIT
#include "steppingtiming.h"

#include <algorithm>

void SteppingTiming::CountTick(std::int64_t latenessNs)
{
    Add(ticks_, std::uint64_t(1));
    Add(latenessSum_, latenessNs);
    Add(lateness_[BucketOf(LatenessBoundsNs, latenessNs)], std::uint64_t(1));
    if (latenessNs > LateTickNs)
        Add(lateTicks_, std::uint64_t(1));
    if (latenessNs > worstLateness_.load(std::memory_order_relaxed))
        worstLateness_.store(latenessNs, std::memory_order_relaxed);
}

void SteppingTiming::CountStep(std::int64_t tickAtNs)
{
    Add(steps_, std::uint64_t(1));
    if (lastStepAt_ >= 0)
        Add(intervals_[BucketOf(IntervalBoundsNs, tickAtNs - lastStepAt_)], std::uint64_t(1));
    lastStepAt_ = tickAtNs;
}

void SteppingTiming::MoveStarted()
{
    lastStepAt_ = -1;
    for (auto& bucket : intervals_)
        bucket.store(0, std::memory_order_relaxed);
}

TimingCounts SteppingTiming::Read() const
{
    TimingCounts counts;
    counts.ticks = ticks_.load(std::memory_order_relaxed);
    counts.steps = steps_.load(std::memory_order_relaxed);
    counts.lateTicks = lateTicks_.load(std::memory_order_relaxed);
    counts.worstLatenessNs = worstLateness_.load(std::memory_order_relaxed);
    counts.latenessSumNs = latenessSum_.load(std::memory_order_relaxed);
    std::transform(lateness_.begin(), lateness_.end(), counts.lateness.begin(),
                   [](const auto& bucket) { return bucket.load(std::memory_order_relaxed); });
    std::transform(intervals_.begin(), intervals_.end(), counts.intervals.begin(),
                   [](const auto& bucket) { return bucket.load(std::memory_order_relaxed); });
    return counts;
}
