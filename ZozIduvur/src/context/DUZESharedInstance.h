#pragma once

#include <atomic>
#include <memory>
#include <new>

#include "base/Mutex.h"
#include "base/ThreadSafety.h"

// The process-wide instance of a class: made on first use, dropped by
// `reset` so that tests (and a restart of the client) get a fresh one.
template <class T>
class DUZESharedInstance {
 public:
  // The holder of T's instance for the process. Never destroyed: the
  // client's threads still ask for the instance while the process exits.
  static DUZESharedInstance& ofProcess() {
    static auto* const holder = new DUZESharedInstance();
    return *holder;
  }

  DUZESharedInstance() = default;
  ~DUZESharedInstance() { delete whole_.load(); }
  DUZESharedInstance(const DUZESharedInstance&) = delete;
  DUZESharedInstance& operator=(const DUZESharedInstance&) = delete;

  std::shared_ptr<T> get() {
    base::LockGuard lock(mutex_);
    if (!instance_) {
      instance_ = std::make_shared<T>();
      delete whole_.exchange(new std::shared_ptr<T>(instance_));
    }
    return instance_;
  }
  void reset() {
    std::shared_ptr<T> old;
    {
      base::LockGuard lock(mutex_);
      old = std::move(instance_);
      delete whole_.exchange(nullptr);
    }
  }

  // In a forked child, from a fork handler, where only the forking thread
  // lives: the instance that pointers taken before the fork name stays the
  // instance, and `renew` makes it usable (true when it changed it). Where a
  // thread that did not come along held this holder's lock, the lock is made
  // anew and the instance is the last one made whole (what that thread left
  // is never touched nor freed); where there is none, `copy()` is. True when
  // the instance or its state changed. Nothing is held across the fork, so a
  // host's own fork handlers and fork-safe locks may use the instance.
  bool renewInChild(bool (*renew)(T&), std::shared_ptr<T> (*copy)()) KX_NO_THREAD_SAFETY_ANALYSIS {
    if (mutex_.tryLock()) {
      mutex_.unlock();
    } else {
      new (&mutex_) base::Mutex();
      const std::shared_ptr<T>* whole = whole_.load();
      new (&instance_) std::shared_ptr<T>(whole != nullptr ? *whole : nullptr);
    }
    if (instance_) return renew(*instance_);
    instance_ = copy();
    whole_.store(new std::shared_ptr<T>(instance_));
    return true;
  }

 private:
  base::Mutex mutex_;
  std::shared_ptr<T> instance_ KX_GUARDED_BY(mutex_);
  // The instance once it is made whole, which a forked child takes when a
  // thread that did not come along was changing `instance_`.
  std::atomic<std::shared_ptr<T>*> whole_{nullptr};
};
