#pragma once

// A first-in-first-out ring buffer that grows by doubling when full and halves
// when it empties below a quarter (never below its initial capacity). A value:
// a copy is independent of the original.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "RvStreams/Base.h"

namespace rv {

template <class T>
class Queue {
 public:
  static constexpr int64_t kResizeFactor = 2;

  explicit Queue(int64_t capacity = 0) : initialCapacity_(capacity) {
    if (capacity < 0) fatalError("Queue capacity can't be negative");
    storage_.resize(static_cast<std::size_t>(capacity));
  }

  int64_t count() const noexcept { return count_; }
  bool isEmpty() const noexcept { return count_ == 0; }
  int64_t capacity() const noexcept { return static_cast<int64_t>(storage_.size()); }

  void enqueue(T element) {
    if (count_ == capacity()) resize(std::max<int64_t>(capacity(), 1) * kResizeFactor);
    storage_[static_cast<std::size_t>(pushNextIndex_)].emplace(std::move(element));
    ++pushNextIndex_;
    ++count_;
    if (pushNextIndex_ >= capacity()) pushNextIndex_ -= capacity();
  }

  // Removes and returns the oldest element; none when empty.
  std::optional<T> dequeue() {
    if (count_ == 0) return std::nullopt;
    auto& slot = storage_[static_cast<std::size_t>(headIndex())];
    std::optional<T> element(std::move(*slot));
    slot.reset();
    --count_;
    const int64_t downsizeLimit = capacity() / (kResizeFactor * kResizeFactor);
    if (count_ < downsizeLimit && downsizeLimit >= initialCapacity_) resize(capacity() / 2);
    return element;
  }

  // The oldest element; the queue must not be empty.
  const T& peek() const {
    if (count_ == 0) fatalError("Queue is empty");
    return *storage_[static_cast<std::size_t>(headIndex())];
  }

  // Iteration yields the elements oldest first without removing them. It
  // walks the queue as it is: callers that may change the queue while
  // iterating iterate a copy.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    const_iterator() = default;
    reference operator*() const { return *queue_->storage_[static_cast<std::size_t>(index())]; }
    pointer operator->() const { return &**this; }
    const_iterator& operator++() {
      ++offset_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++offset_;
      return old;
    }
    bool operator==(const const_iterator& other) const { return offset_ == other.offset_; }

   private:
    friend class Queue;
    const_iterator(const Queue* queue, int64_t offset) : queue_(queue), offset_(offset) {}
    int64_t index() const {
      int64_t i = queue_->headIndex() + offset_;
      return i >= queue_->capacity() ? i - queue_->capacity() : i;
    }
    const Queue* queue_ = nullptr;
    int64_t offset_ = 0;
  };

  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, count_); }

 private:
  int64_t headIndex() const noexcept {
    const int64_t index = pushNextIndex_ - count_;
    return index < 0 ? index + capacity() : index;
  }

  void resize(int64_t size) {
    std::vector<std::optional<T>> storage(static_cast<std::size_t>(size));
    const int64_t head = headIndex();
    const int64_t firstRun = std::min(capacity() - head, count_);
    for (int64_t i = 0; i < firstRun; ++i) {
      storage[static_cast<std::size_t>(i)] =
          std::move(storage_[static_cast<std::size_t>(head + i)]);
    }
    for (int64_t i = firstRun; i < count_; ++i) {
      storage[static_cast<std::size_t>(i)] =
          std::move(storage_[static_cast<std::size_t>(i - firstRun)]);
    }
    pushNextIndex_ = count_;
    storage_ = std::move(storage);
  }

  std::vector<std::optional<T>> storage_;
  int64_t count_ = 0;
  int64_t pushNextIndex_ = 0;
  int64_t initialCapacity_ = 0;
};

}  // namespace rv
