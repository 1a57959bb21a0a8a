#pragma once

// Disposables with a policy of their own: a replaceable inner disposable, a
// disposable shared by reference count, and one disposed on a scheduler.
// Bookkeeping happens under the owner's lock; inner disposables are disposed
// after it is released, on the calling thread.

#include <atomic>
#include <cstdint>
#include <limits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Lock.h"
#include "RvStreams/Scheduler.h"

namespace rv {

// Holds one replaceable inner disposable: assigning a new one disposes the
// previous one; once disposed, every assignment disposes its value at once.
class SerialDisposable final : public DisposeBase, public Cancelable {
 public:
  static Ref<SerialDisposable> create() { return std::make_shared<SerialDisposable>(); }

  // The current inner disposable, or the shared no-op one when there is none.
  Ref<Disposable> disposable() const {
    LockGuard guard(lock_);
    return current_ ? current_ : Disposables::create();
  }

  void setDisposable(Ref<Disposable> disposable) {
    Ref<Disposable> toDispose;
    {
      LockGuard guard(lock_);
      if (disposed_.load()) {
        toDispose = std::move(disposable);
      } else {
        toDispose = std::exchange(current_, std::move(disposable));
      }
    }
    if (toDispose) toDispose->dispose();
  }

  void dispose() noexcept override {
    Ref<Disposable> toDispose;
    {
      LockGuard guard(lock_);
      if (!disposed_.load()) {
        disposed_.store(true);
        toDispose = std::move(current_);
        current_.reset();
      }
    }
    if (toDispose) toDispose->dispose();
  }

  // Read without the lock: advisory.
  bool isDisposed() const noexcept override { return disposed_.load(); }

 private:
  mutable RecursiveLock lock_;
  Ref<Disposable> current_ KX_GUARDED_BY(lock_);
  std::atomic<bool> disposed_{false};
};

// Keeps an underlying disposable until both its own (primary) dispose has
// happened and every handle it handed out is released.
class RefCountDisposable final : public DisposeBase,
                                 public Cancelable,
                                 public std::enable_shared_from_this<RefCountDisposable> {
 public:
  explicit RefCountDisposable(Ref<Disposable> disposable) : disposable_(std::move(disposable)) {}
  static Ref<RefCountDisposable> create(Ref<Disposable> disposable) {
    return std::make_shared<RefCountDisposable>(std::move(disposable));
  }

  // A handle that keeps the underlying disposable alive until it is disposed;
  // the no-op disposable once the underlying one is gone.
  Ref<Disposable> retain() {
    LockGuard guard(lock_);
    if (!disposable_) return Disposables::create();
    if (count_ == std::numeric_limits<int64_t>::max()) {
      fatalError("RefCountDisposable increment failed");
    }
    ++count_;
    return std::make_shared<Inner>(shared_from_this());
  }

  void dispose() noexcept override {
    Ref<Disposable> toDispose;
    {
      LockGuard guard(lock_);
      if (disposable_ && !primaryDisposed_) {
        primaryDisposed_ = true;
        if (count_ == 0) toDispose = std::exchange(disposable_, nullptr);
      }
    }
    if (toDispose) toDispose->dispose();
  }

  bool isDisposed() const noexcept override {
    LockGuard guard(lock_);
    return !disposable_;
  }

 private:
  class Inner final : public DisposeBase, public Disposable {
   public:
    explicit Inner(Ref<RefCountDisposable> parent) : parent_(std::move(parent)) {}
    void dispose() noexcept override {
      if (isDisposed_.fetchOr(1) == 0) parent_->release();
    }

   private:
    Ref<RefCountDisposable> parent_;
    AtomicInt isDisposed_;
  };

  void release() noexcept {
    Ref<Disposable> toDispose;
    {
      LockGuard guard(lock_);
      if (disposable_) {
        if (count_ == std::numeric_limits<int64_t>::min()) {
          fatalError("RefCountDisposable decrement on release failed");
        }
        --count_;
        if (count_ < 0) fatalError("RefCountDisposable counter is lower than 0");
        if (primaryDisposed_ && count_ == 0) toDispose = std::exchange(disposable_, nullptr);
      }
    }
    if (toDispose) toDispose->dispose();
  }

  mutable RecursiveLock lock_;
  Ref<Disposable> disposable_ KX_GUARDED_BY(lock_);
  bool primaryDisposed_ KX_GUARDED_BY(lock_) = false;
  int64_t count_ KX_GUARDED_BY(lock_) = 0;
};

// Disposes its inner disposable on a scheduler. Every dispose schedules one
// action (which cannot be cancelled); the first to run disposes the inner.
class ScheduledDisposable final : public Cancelable,
                                  public std::enable_shared_from_this<ScheduledDisposable> {
 public:
  ScheduledDisposable(Ref<ImmediateSchedulerType> scheduler, Ref<Disposable> disposable)
      : scheduler_(std::move(scheduler)), disposable_(std::move(disposable)) {}
  static Ref<ScheduledDisposable> create(Ref<ImmediateSchedulerType> scheduler,
                                         Ref<Disposable> disposable) {
    return std::make_shared<ScheduledDisposable>(std::move(scheduler), std::move(disposable));
  }

  const Ref<ImmediateSchedulerType>& scheduler() const noexcept { return scheduler_; }

  void dispose() noexcept override {
    scheduler_->schedule(shared_from_this(), [](Ref<ScheduledDisposable> self) {
      self->disposeInner();
      return Disposables::create();
    });
  }

  // True once the scheduled disposal has run.
  bool isDisposed() const noexcept override { return disposed_.testBits(1); }

 private:
  void disposeInner() noexcept {
    if (disposed_.fetchOr(1) == 0) {
      Ref<Disposable> inner = std::move(disposable_);
      disposable_.reset();
      if (inner) inner->dispose();
    }
  }

  Ref<ImmediateSchedulerType> scheduler_;
  AtomicInt disposed_;
  Ref<Disposable> disposable_;
};

}  // namespace rv
