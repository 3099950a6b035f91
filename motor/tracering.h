// A byte ring for one producer and one consumer, without locks: the stepping thread appends
// trace lines and never waits; the trace writer takes them out at its own pace. A line that
// does not fit whole is refused, so the trace never holds half a line.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <string_view>
#include <vector>

class TraceRing {
public:
    // Capacity is rounded up to a power of two.
    explicit TraceRing(std::size_t capacity) : buffer_(RoundUp(capacity)), mask_(buffer_.size() - 1)
    {
    }

    // Producer. False when the line does not fit; nothing is then stored.
    bool Push(std::string_view line)
    {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        if (line.size() > buffer_.size() - (head - tail))
            return false;
        for (std::size_t i = 0; i < line.size(); ++i)
            buffer_[(head + i) & mask_] = line[i];
        head_.store(head + line.size(), std::memory_order_release);
        return true;
    }

    // Consumer: the longest run of stored bytes that is contiguous in memory.
    std::string_view Peek() const
    {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t head = head_.load(std::memory_order_acquire);
        const std::size_t start = tail & mask_;
        const std::size_t size = std::min(head - tail, buffer_.size() - start);
        return {buffer_.data() + start, size};
    }
    void Consume(std::size_t size) { tail_.fetch_add(size, std::memory_order_release); }

    std::size_t Capacity() const { return buffer_.size(); }

private:
    static std::size_t RoundUp(std::size_t n)
    {
        std::size_t size = 64;
        while (size < n)
            size *= 2;
        return size;
    }

    std::vector<char> buffer_;
    std::size_t mask_;
    alignas(64) std::atomic<std::size_t> head_{0}; // bytes ever pushed
    alignas(64) std::atomic<std::size_t> tail_{0}; // bytes ever consumed
};
