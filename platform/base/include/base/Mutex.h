#pragma once

// A mutex and guards that clang's lock check follows (base/ThreadSafety.h).
// `Mutex` is a std::mutex said to be a lock, `RecursiveMutex` a
// std::recursive_mutex; `LockGuard` holds any annotated lock for its scope, as
// std::lock_guard does; `UniqueLock` holds a Mutex and may let it go and take
// it again, as std::unique_lock does. The standard library's own types carry
// no annotations, so members guarded by a lock are guarded by one of these.
//
// A Mutex waits on condition variables while it is held:
//
//   base::LockGuard lock(mutex_);
//   mutex_.wait(ready_, [this]() KX_REQUIRES(mutex_) { return !jobs_.empty(); });
//
// Both locks know which thread holds them, in every build, so that
// `assertHeld` means the same wherever it was compiled; it checks in builds
// with assertions (no NDEBUG).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/ThreadSafety.h"

namespace base {

namespace detail {

// Names the calling thread more cheaply than its id: the address of an object
// each thread has its own of.
inline const void* currentThread() noexcept {
  static thread_local const char mark = 0;
  return &mark;
}

[[noreturn]] void lockNotHeld(const char* file, int line) noexcept;

// Both locks' `assertHeld`: stops the process, in builds with assertions,
// unless `owner` names the calling thread.
inline void checkHeld(const std::atomic<const void*>& owner, const char* file, int line) {
#ifndef NDEBUG
  if (owner.load(std::memory_order_relaxed) != currentThread()) lockNotHeld(file, line);
#else
  (void)owner;
  (void)file;
  (void)line;
#endif
}

}  // namespace detail

class KX_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() KX_ACQUIRE() {
    mutex_.lock();
    held();
  }
  void unlock() KX_RELEASE() {
    letGo();
    mutex_.unlock();
  }
  bool tryLock() KX_TRY_ACQUIRE(true) {
    if (!mutex_.try_lock()) return false;
    held();
    return true;
  }

  // Tells the check that the calling thread holds the mutex, where it cannot
  // see the hold itself; in builds with assertions, stops the process with a
  // fatal error unless it does.
  void assertHeld(const char* file = __builtin_FILE(), int line = __builtin_LINE()) const
      KX_ASSERT_CAPABILITY(this) {
    detail::checkHeld(owner_, file, line);
  }

  // Waits on `condition` until `ready()` is true, and returns holding the
  // mutex. The calling thread holds it; it is let go while the thread waits
  // and held again each time `ready` is asked, first before any wait. `ready`
  // reads what the mutex guards, so a lambda says KX_REQUIRES of the mutex.
  template <class Ready>
  void wait(std::condition_variable& condition, Ready ready) KX_REQUIRES(this) {
    while (!askLocked(ready)) waitOnce(condition);
  }

  // As `wait`, giving up at `deadline`: returns what `ready()` said last,
  // false when the deadline passed first.
  template <class Clock, class Duration, class Ready>
  bool waitUntil(std::condition_variable& condition,
                 const std::chrono::time_point<Clock, Duration>& deadline, Ready ready)
      KX_REQUIRES(this) {
    while (!askLocked(ready)) {
      if (waitOnceUntil(condition, deadline) == std::cv_status::timeout) return askLocked(ready);
    }
    return true;
  }

 private:
  friend class UniqueLock;

  // The std::mutex, held by the calling thread, as a condition variable takes
  // it for one wait; the owner is let go for the wait and set again after it,
  // and the hold stays the caller's.
  class Adopted {
   public:
    explicit Adopted(Mutex& mutex) : mutex_(mutex), lock_(mutex.mutex_, std::adopt_lock) {
      mutex_.letGo();
    }
    ~Adopted() {
      mutex_.held();
      (void)lock_.release();
    }
    Adopted(const Adopted&) = delete;
    Adopted& operator=(const Adopted&) = delete;
    std::unique_lock<std::mutex>& lock() { return lock_; }

   private:
    Mutex& mutex_;
    std::unique_lock<std::mutex> lock_;
  };

  void held() { owner_.store(detail::currentThread(), std::memory_order_relaxed); }
  void letGo() { owner_.store(nullptr, std::memory_order_relaxed); }

  // The check cannot tie what `ready` requires, named in its caller's terms,
  // to this mutex.
  template <class Ready>
  static bool askLocked(Ready& ready) KX_NO_THREAD_SAFETY_ANALYSIS {
    return static_cast<bool>(ready());
  }
  void waitOnce(std::condition_variable& condition) {
    Adopted adopted(*this);
    condition.wait(adopted.lock());
  }
  template <class Clock, class Duration>
  std::cv_status waitOnceUntil(std::condition_variable& condition,
                               const std::chrono::time_point<Clock, Duration>& deadline) {
    Adopted adopted(*this);
    return condition.wait_until(adopted.lock(), deadline);
  }

  // The one standard mutex of the type, which these annotations describe.
  std::mutex mutex_;
  std::atomic<const void*> owner_{nullptr};
};

// For the locks a thread may take again while it holds them. The check
// follows holds, not their depth: a function that takes the lock where the
// check knows it held is flagged, so a hold is taken again only by a function
// called under the first, which says neither KX_REQUIRES nor KX_EXCLUDES of it.
// It has no waits: a wait would let go of one hold of several and keep the
// others.
class KX_CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() KX_ACQUIRE() {
    mutex_.lock();
    held();
  }
  void unlock() KX_RELEASE() {
    if (--depth_ == 0) owner_.store(nullptr, std::memory_order_relaxed);
    mutex_.unlock();
  }
  bool tryLock() KX_TRY_ACQUIRE(true) {
    if (!mutex_.try_lock()) return false;
    held();
    return true;
  }

  // As Mutex's: a hold of any depth counts.
  void assertHeld(const char* file = __builtin_FILE(), int line = __builtin_LINE()) const
      KX_ASSERT_CAPABILITY(this) {
    detail::checkHeld(owner_, file, line);
  }

 private:
  void held() {
    if (depth_++ == 0) owner_.store(detail::currentThread(), std::memory_order_relaxed);
  }

  // The one standard mutex of the type, which these annotations describe.
  std::recursive_mutex mutex_;
  std::atomic<const void*> owner_{nullptr};
  uint32_t depth_ = 0;  // read and written by the holding thread only
};

// Holds `lock` from construction to destruction; with std::adopt_lock, takes
// over a hold the calling thread has already taken.
template <class Lockable>
class KX_SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Lockable& lock) KX_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  LockGuard(Lockable& lock, std::adopt_lock_t) KX_REQUIRES(lock) : lock_(lock) {}
  ~LockGuard() KX_RELEASE() { lock_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lockable& lock_;
};

// Holds a Mutex from construction, unless let go meanwhile, to destruction.
// Its waits let the mutex go while they wait and hold it again when they
// return, as std::condition_variable's do; a caller waiting for a condition
// tests it in a loop around them, or uses the Mutex's own waits.
class KX_SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& mutex) KX_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~UniqueLock() KX_RELEASE() {
    if (held_) mutex_.unlock();
  }
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() KX_ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }
  void unlock() KX_RELEASE() {
    held_ = false;
    mutex_.unlock();
  }

  void wait(std::condition_variable& condition) { mutex_.waitOnce(condition); }
  template <class Clock, class Duration>
  std::cv_status waitUntil(std::condition_variable& condition,
                           const std::chrono::time_point<Clock, Duration>& deadline) {
    return mutex_.waitOnceUntil(condition, deadline);
  }
  template <class Rep, class Period>
  std::cv_status waitFor(std::condition_variable& condition,
                         const std::chrono::duration<Rep, Period>& duration) {
    return waitUntil(condition, std::chrono::steady_clock::now() + duration);
  }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

}  // namespace base
