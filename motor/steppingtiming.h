// SPDX-License-Identifier: MIT
// How well the stepping thread keeps its time. Only that thread writes the counters, with
// plain stores (no locked instruction, no system call); any thread reads them. A read during
// a tick may see part of that tick counted; every counter it sees is whole.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

// A tick this much after its grid point is late.
inline constexpr std::int64_t LateTickNs = 500'000;
// Upper bounds of the lateness buckets, nanoseconds; one more bucket takes the rest.
inline constexpr std::array<std::int64_t, 8> LatenessBoundsNs{
    20'000, 50'000, 100'000, 200'000, 500'000, 1'000'000, 2'000'000, 5'000'000};
// Upper bounds of the buckets of a move's step intervals, nanoseconds; one more takes the rest.
inline constexpr std::array<std::int64_t, 6> IntervalBoundsNs{1'250'000,  2'500'000,  5'000'000,
                                                              10'000'000, 20'000'000, 50'000'000};

struct TimingCounts {
    std::uint64_t ticks = 0;
    std::uint64_t steps = 0;
    std::uint64_t lateTicks = 0;
    std::int64_t worstLatenessNs = 0;
    std::int64_t latenessSumNs = 0;
    std::array<std::uint64_t, LatenessBoundsNs.size() + 1> lateness{}; // each bucket alone
    // The intervals between the steps of the last move (or this one, while it runs).
    std::array<std::uint64_t, IntervalBoundsNs.size() + 1> intervals{};
};

class SteppingTiming {
public:
    // Stepping thread only.
    void CountTick(std::int64_t latenessNs);
    void CountStep(std::int64_t tickAtNs);
    void MoveStarted();

    // Any thread.
    TimingCounts Read() const;
    std::uint64_t Ticks() const { return ticks_.load(std::memory_order_relaxed); }

private:
    template <typename T> static void Add(std::atomic<T>& counter, T amount)
    {
        counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }

    std::atomic<std::uint64_t> ticks_{0};
    std::atomic<std::uint64_t> steps_{0};
    std::atomic<std::uint64_t> lateTicks_{0};
    std::atomic<std::int64_t> worstLateness_{0};
    std::atomic<std::int64_t> latenessSum_{0};
    std::array<std::atomic<std::uint64_t>, LatenessBoundsNs.size() + 1> lateness_{};
    std::array<std::atomic<std::uint64_t>, IntervalBoundsNs.size() + 1> intervals_{};
    std::int64_t lastStepAt_ = -1; // stepping thread only; none yet in this move
};

// The bucket a value falls in: the first whose bound it does not exceed.
template <std::size_t N>
std::size_t BucketOf(const std::array<std::int64_t, N>& bounds, std::int64_t value)
{
    std::size_t bucket = 0;
    while (bucket < N && value > bounds[bucket])
        ++bucket;
    return bucket;
}
