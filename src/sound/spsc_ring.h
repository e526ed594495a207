// A fixed-size single-producer, single-consumer ring: the only road between the loop thread
// and the audio thread. The producer stages items and publishes them together, which is how
// one batch of changes reaches the mixer whole. Neither side ever waits or allocates.
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

namespace horatone {

template <typename T>
class SpscRing {
 public:
  explicit SpscRing(std::size_t capacity) : items_(capacity + 1) {}

  // Producer side.
  std::size_t FreeSlots() const {
    const std::size_t used =
        (staged_ + items_.size() - tail_.load(std::memory_order_acquire)) % items_.size();
    return items_.size() - 1 - used;
  }
  bool Stage(const T& item) {
    const std::size_t next = (staged_ + 1) % items_.size();
    if (next == tail_.load(std::memory_order_acquire)) return false;
    items_[staged_] = item;
    staged_ = next;
    return true;
  }
  void Publish() { head_.store(staged_, std::memory_order_release); }
  bool Push(const T& item) {
    if (!Stage(item)) return false;
    Publish();
    return true;
  }

  // Consumer side: only published items are seen.
  bool Empty() const {
    return tail_.load(std::memory_order_relaxed) == head_.load(std::memory_order_acquire);
  }
  bool Pop(T* item) {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return false;
    *item = items_[tail];
    tail_.store((tail + 1) % items_.size(), std::memory_order_release);
    return true;
  }

 private:
  std::vector<T> items_;
  std::size_t staged_ = 0;  // producer's private write index
  std::atomic<std::size_t> head_{0};
  std::atomic<std::size_t> tail_{0};
};

}  // namespace horatone
