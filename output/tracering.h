// SPDX-License-Identifier: MIT
// A byte ring for one producer and one consumer, without locks: the stepping thread appends
// trace lines and never waits; the trace writer takes them out at its own pace. A line that
// does not fit whole is refused, so the trace never holds half a line.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <memory>
#include <string_view>

class TraceRing {
public:
    // Capacity is rounded up to a power of two. The bytes are zeroed here, so every page is
    // resident from the start: the producer never takes a page fault on the ring, and the
    // resident size does not creep up while the trace goes round for the first time.
    explicit TraceRing(std::size_t capacity)
        : size_(std::bit_ceil(std::max<std::size_t>(capacity, 64))), mask_(size_ - 1),
          buffer_(new char[size_]())
    {
    }

    // Producer. False when the line does not fit; nothing is then stored.
    bool Push(std::string_view line)
    {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        if (line.size() > size_ - (head - tail))
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
        const std::size_t size = std::min(head - tail, size_ - start);
        return {buffer_.get() + start, size};
    }
    void Consume(std::size_t size) { tail_.fetch_add(size, std::memory_order_release); }
    // Lines stored and not yet consumed; for the count of what was lost at the end, once the
    // producer has stopped.
    std::size_t LinesHeld() const
    {
        const std::size_t head = head_.load(std::memory_order_acquire);
        std::size_t lines = 0;
        for (std::size_t at = tail_.load(std::memory_order_acquire); at != head; ++at)
            lines += buffer_[at & mask_] == '\n';
        return lines;
    }

private:
    std::size_t size_;
    std::size_t mask_;
    std::unique_ptr<char[]> buffer_;
    alignas(64) std::atomic<std::size_t> head_{0}; // bytes ever pushed
    alignas(64) std::atomic<std::size_t> tail_{0}; // bytes ever consumed
};
