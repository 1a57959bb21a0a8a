#pragma once

// A binary min-heap ordered by a caller-supplied priority test. Index 0 holds
// the element of highest priority; the children of index i are 2i+1 and 2i+2.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "RvStreams/Describe.h"

namespace rv {

template <class T>
class PriorityQueue {
 public:
  // `hasHigherPriority(a, b)` is true when a must come out before b;
  // `isEqual` finds the element to remove.
  PriorityQueue(std::function<bool(const T&, const T&)> hasHigherPriority,
                std::function<bool(const T&, const T&)> isEqual)
      : hasHigherPriority_(std::move(hasHigherPriority)), isEqual_(std::move(isEqual)) {}

  void enqueue(T element) {
    elements_.push_back(std::move(element));
    bubbleUp(elements_.size() - 1);
  }

  // The element of highest priority, or none when empty.
  std::optional<T> peek() const {
    if (elements_.empty()) return std::nullopt;
    return elements_.front();
  }

  bool isEmpty() const noexcept { return elements_.empty(); }
  std::size_t count() const noexcept { return elements_.size(); }

  // Removes the first element, in array order, equal to `element`.
  void remove(const T& element) {
    for (std::size_t i = 0; i < elements_.size(); ++i) {
      if (isEqual_(elements_[i], element)) {
        removeAt(i);
        return;
      }
    }
  }

  // The heap array, in storage order.
  const std::vector<T>& elements() const noexcept { return elements_; }

  std::string debugDescription() const {
    std::string out = "[";
    for (std::size_t i = 0; i < elements_.size(); ++i) {
      if (i != 0) out += ", ";
      out += describe(elements_[i]);
    }
    return out + "]";
  }

 private:
  void removeAt(std::size_t index) {
    const std::size_t last = elements_.size() - 1;
    if (index != last) {
      std::swap(elements_[index], elements_[last]);
      elements_.pop_back();
      bubbleUp(index);
      bubbleDown(index);
    } else {
      elements_.pop_back();
    }
  }

  void bubbleUp(std::size_t index) {
    while (index > 0) {
      const std::size_t parent = (index - 1) / 2;
      if (!hasHigherPriority_(elements_[index], elements_[parent])) return;
      std::swap(elements_[index], elements_[parent]);
      index = parent;
    }
  }

  void bubbleDown(std::size_t index) {
    for (;;) {
      std::size_t best = index;
      const std::size_t left = 2 * index + 1;
      const std::size_t right = 2 * index + 2;
      if (left < elements_.size() && hasHigherPriority_(elements_[left], elements_[best])) {
        best = left;
      }
      if (right < elements_.size() && hasHigherPriority_(elements_[right], elements_[best])) {
        best = right;
      }
      if (best == index) return;
      std::swap(elements_[index], elements_[best]);
      index = best;
    }
  }

  std::function<bool(const T&, const T&)> hasHigherPriority_;
  std::function<bool(const T&, const T&)> isEqual_;
  std::vector<T> elements_;
};

}  // namespace rv
