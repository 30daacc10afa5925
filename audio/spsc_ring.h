#pragma once
// A single-producer single-consumer ring of fixed capacity: push on one thread, pop on another,
// no locks, no allocation after construction. Capacity must be a power of two.
#include <array>
#include <atomic>
#include <cstddef>
#include <optional>

namespace corvanta {

template <typename T, std::size_t Capacity>
class SpscRing {
  static_assert((Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");

 public:
  // Producer thread only. False when full.
  bool Push(const T& value) {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) == Capacity) return false;
    items_[head % Capacity] = value;
    head_.store(head + 1, std::memory_order_release);
    return true;
  }

  // Consumer thread only.
  const T* Front() const {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return nullptr;
    return &items_[tail % Capacity];
  }
  void PopFront() {
    tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  std::optional<T> Pop() {
    const T* front = Front();
    if (front == nullptr) return std::nullopt;
    T value = *front;
    PopFront();
    return value;
  }

 private:
  std::array<T, Capacity> items_{};
  alignas(64) std::atomic<std::size_t> head_{0};
  alignas(64) std::atomic<std::size_t> tail_{0};
};

}  // namespace corvanta
