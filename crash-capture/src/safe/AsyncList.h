#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

// A doubly linked list that signal handlers walk without locks or
// allocation while ordinary threads change it under a lock. Readers raise the
// reader count, follow head and next with acquiring loads and lower the count
// when done; an entry unlinked while a reader may stand on it goes to a free
// list instead of being released, and later appends reuse it.
namespace rocrash::async {

template <typename V>
class async_list {
 public:
  struct node {
    V value;
    std::atomic<node*> prev{nullptr};
    std::atomic<node*> next{nullptr};
  };

  async_list() = default;
  async_list(const async_list&) = delete;
  async_list& operator=(const async_list&) = delete;
  ~async_list() {
    node* n = head_.exchange(nullptr);
    tail_ = nullptr;
    while (n != nullptr) {
      node* next = n->next.load();
      delete n;
      n = next;
    }
    releaseFreeList();
  }

  // Writers (ordinary threads).
  void nasync_append(const V& value) {
    std::lock_guard<std::mutex> lock(writeLock_);
    node* n = take(value);
    node* tail = tail_;
    if (tail == nullptr) {
      tail_ = n;
      node* expected = nullptr;
      head_.compare_exchange_strong(expected, n, std::memory_order_seq_cst);
    } else {
      node* expected = nullptr;
      n->prev.store(tail, std::memory_order_relaxed);
      tail->next.compare_exchange_strong(expected, n, std::memory_order_seq_cst);
      tail_ = n;
    }
  }

  void nasync_prepend(const V& value) {
    std::lock_guard<std::mutex> lock(writeLock_);
    node* n = take(value);
    node* head = head_.load(std::memory_order_acquire);
    n->next.store(head, std::memory_order_relaxed);
    if (head == nullptr) {
      tail_ = n;
    } else {
      head->prev.store(n, std::memory_order_relaxed);
    }
    head_.compare_exchange_strong(head, n, std::memory_order_seq_cst);
  }

  // Unlinks the first entry whose value equals `value`; false when none does.
  bool nasync_remove_first(const V& value) {
    std::lock_guard<std::mutex> lock(writeLock_);
    for (node* n = head_.load(std::memory_order_acquire); n != nullptr;
         n = n->next.load(std::memory_order_acquire)) {
      if (n->value == value) {
        unlink(n);
        return true;
      }
    }
    return false;
  }

  // Unlinks every entry.
  void nasync_remove_all() {
    std::lock_guard<std::mutex> lock(writeLock_);
    while (node* n = head_.load(std::memory_order_acquire)) unlink(n);
  }

  // Readers (any context, async-signal-safe).
  void set_reading(bool reading) {
    if (reading) {
      readers_.fetch_add(1, std::memory_order_seq_cst);
    } else {
      readers_.fetch_sub(1, std::memory_order_seq_cst);
    }
  }
  // The entry after `current`, or the first one when `current` is null.
  node* next(node* current) {
    if (current == nullptr) return head_.load(std::memory_order_acquire);
    return current->next.load(std::memory_order_acquire);
  }

  // Test seams.
  int32_t reader_count() const { return readers_.load(); }
  node* free_list() const { return free_; }

 private:
  node* take(const V& value) {
    node* n = free_;
    if (n != nullptr) {
      free_ = n->next.load(std::memory_order_relaxed);
    } else {
      n = new node();
    }
    n->value = value;
    n->prev.store(nullptr, std::memory_order_relaxed);
    n->next.store(nullptr, std::memory_order_relaxed);
    // Published by the sequentially consistent exchanges of the callers, so
    // a reader never sees the entry before these stores.
    return n;
  }

  // Under the write lock.
  void unlink(node* n) {
    node* prev = n->prev.load(std::memory_order_relaxed);
    node* next = n->next.load(std::memory_order_acquire);
    if (prev == nullptr) {
      node* expected = n;
      head_.compare_exchange_strong(expected, next, std::memory_order_seq_cst);
    } else {
      node* expected = n;
      prev->next.compare_exchange_strong(expected, next, std::memory_order_seq_cst);
    }
    if (next != nullptr) {
      next->prev.store(prev, std::memory_order_relaxed);
    } else {
      tail_ = prev;
    }
    if (readers_.load(std::memory_order_seq_cst) > 0) {
      // A reader may stand on it: keep it for reuse instead of releasing it.
      // Its memory stays valid; a reader that follows its next pointer ends
      // in spare entries at worst.
      n->prev.store(nullptr, std::memory_order_relaxed);
      n->next.store(free_, std::memory_order_seq_cst);
      free_ = n;
    } else {
      delete n;
    }
  }

  void releaseFreeList() {
    while (free_ != nullptr) {
      node* next = free_->next.load();
      delete free_;
      free_ = next;
    }
  }

  // Writers only. A standard mutex: what it orders is also walked without it
  // at crash time, which the lock check has no words for.
  std::mutex writeLock_;
  std::atomic<node*> head_{nullptr};
  node* tail_ = nullptr;
  std::atomic<int32_t> readers_{0};
  node* free_ = nullptr;
};

}  // namespace rocrash::async
