#pragma once

// A mutex and guards that clang's lock check follows (base/ThreadSafety.h).
// `Mutex` is a std::mutex said to be a lock, `RecursiveMutex` a
// std::recursive_mutex; `LockGuard` holds any annotated lock for its scope, as
// std::lock_guard does; `UniqueLock` holds a Mutex and
// may let it go and take it again, and waits on condition variables, as
// std::unique_lock does. The standard library's own types carry no
// annotations, so members guarded by a lock are guarded by one of these.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/ThreadSafety.h"

namespace base {

class KX_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() KX_ACQUIRE() { mutex_.lock(); }
  void unlock() KX_RELEASE() { mutex_.unlock(); }
  bool try_lock() KX_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class UniqueLock;
  std::mutex mutex_;
};

// For the locks a thread may take again while it holds them. The check
// follows holds, not their depth: a function that takes the lock where the
// check knows it held is flagged, so a hold is taken again only by a function
// called under the first, which says neither KX_REQUIRES nor KX_EXCLUDES of it.
class KX_CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() KX_ACQUIRE() { mutex_.lock(); }
  void unlock() KX_RELEASE() { mutex_.unlock(); }
  bool try_lock() KX_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds `lock` from construction to destruction.
template <class Lockable>
class KX_SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Lockable& lock) KX_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~LockGuard() KX_RELEASE() { lock_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lockable& lock_;
};

// Holds a Mutex from construction, unless let go meanwhile, to destruction.
// The waits let the mutex go while they wait and hold it again when they
// return, as std::condition_variable's do; a caller waiting for a condition
// tests it in a loop around them.
class KX_SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& mutex) KX_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~UniqueLock() KX_RELEASE() {}
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() KX_ACQUIRE() { lock_.lock(); }
  void unlock() KX_RELEASE() { lock_.unlock(); }

  void wait(std::condition_variable& condition) { condition.wait(lock_); }
  template <class Clock, class Duration>
  std::cv_status waitUntil(std::condition_variable& condition,
                           const std::chrono::time_point<Clock, Duration>& deadline) {
    return condition.wait_until(lock_, deadline);
  }
  template <class Rep, class Period>
  std::cv_status waitFor(std::condition_variable& condition,
                         const std::chrono::duration<Rep, Period>& duration) {
    return condition.wait_for(lock_, duration);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace base
