#pragma once

// A fixed-size queue for one producer thread and one consumer thread, on two
// atomic indexes and nothing else: neither side ever locks, allocates or
// waits, so the audio callback can sit at either end of it. Messages are
// plain values copied in and out.

#include <array>
#include <atomic>
#include <cstddef>
#include <type_traits>

namespace tambrel::audio {

template <typename T, std::size_t Capacity>
class SpscQueue {
    static_assert(std::is_trivially_copyable_v<T>, "messages are copied as plain values");
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0, "capacity is a power of two");

  public:
    // Producer side. False when the queue is full; the message is not queued.
    bool push(const T& value) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        if (head - tail == Capacity) return false;
        slots_[head & (Capacity - 1)] = value;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    // Consumer side. False when the queue is empty.
    bool pop(T& out) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t head = head_.load(std::memory_order_acquire);
        if (head == tail) return false;
        out = slots_[tail & (Capacity - 1)];
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Either side; exact only when the other side is idle.
    std::size_t size() const {
        return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire);
    }

  private:
    // Indexes grow without bound and are masked on use; they sit on separate
    // cache lines so that producer and consumer do not bounce one line.
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) std::array<T, Capacity> slots_{};
};

}  // namespace tambrel::audio
