#pragma once

// Serialises invocations without blocking a caller for the length of another's
// work and without recursion: whoever finds the lock idle runs its invocation
// and then drains what others queued meanwhile; whoever finds it busy only
// queues. Invocations never run under the lock and never concurrently.

#include <optional>
#include <utility>

#include "RvStreams/Disposable.h"
#include "RvStreams/Lock.h"
#include "RvStreams/Queue.h"

namespace rv {

// `Invocation` is anything with `invoke()`.
template <class Invocation>
class AsyncLock final : public DisposeBase, public Disposable {
 public:
  AsyncLock() = default;

  // Runs `invocation` now, or queues it when another invocation is running,
  // or drops it once disposed. Returns when this thread has nothing more to
  // run.
  void invoke(Invocation invocation) {
    if (!enqueue(invocation)) return;
    // An invocation that throws must not leave the lock executing for good.
    struct ResetOnUnwind {
      AsyncLock* self;
      bool done = false;
      ~ResetOnUnwind() {
        if (!done) {
          LockGuard guard(self->lock_);
          self->isExecuting_ = false;
        }
      }
    } reset{this};
    invocation.invoke();
    for (;;) {
      std::optional<Invocation> next = dequeue();
      if (!next) break;
      next->invoke();
    }
    reset.done = true;
  }

  // Drops every waiting invocation (destroyed after the lock is released) and
  // refuses new ones. An invocation already running finishes.
  void dispose() noexcept override {
    Queue<Invocation> dropped(0);
    {
      LockGuard guard(lock_);
      std::swap(dropped, queue_);
      hasFaulted_ = true;
    }
  }

  void lock() KX_ACQUIRE(lock_) { lock_.lock(); }
  void unlock() KX_RELEASE(lock_) { lock_.unlock(); }

 private:
  // True when the caller must run `invocation` itself.
  bool enqueue(Invocation& invocation) {
    LockGuard guard(lock_);
    if (hasFaulted_) return false;
    if (isExecuting_) {
      queue_.enqueue(std::move(invocation));
      return false;
    }
    isExecuting_ = true;
    return true;
  }

  std::optional<Invocation> dequeue() {
    LockGuard guard(lock_);
    if (!queue_.isEmpty()) return queue_.dequeue();
    isExecuting_ = false;
    return std::nullopt;
  }

  RecursiveLock lock_;
  Queue<Invocation> queue_ KX_GUARDED_BY(lock_) = Queue<Invocation>(0);
  bool isExecuting_ KX_GUARDED_BY(lock_) = false;
  bool hasFaulted_ KX_GUARDED_BY(lock_) = false;
};

// The endless sequence of one repeated value.
template <class T>
class InfiniteSequence {
 public:
  explicit InfiniteSequence(T repeatedValue) : repeatedValue_(std::move(repeatedValue)) {}

  class Iterator {
   public:
    explicit Iterator(T value) : value_(std::move(value)) {}
    // Always the repeated value; the iterator never ends.
    std::optional<T> next() { return value_; }

   private:
    T value_;
  };

  Iterator makeIterator() const { return Iterator(repeatedValue_); }

 private:
  T repeatedValue_;
};

}  // namespace rv
