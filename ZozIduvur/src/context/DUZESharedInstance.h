#pragma once

#include <memory>
#include <new>

#include "base/Mutex.h"
#include "base/ThreadSafety.h"

// The process-wide instance of a class: made on first use, dropped by
// `reset` so that tests (and a restart of the client) get a fresh one.
template <class T>
class DUZESharedInstance {
 public:
  std::shared_ptr<T> get() {
    base::LockGuard lock(mutex_);
    if (!instance_) instance_ = std::make_shared<T>();
    return instance_;
  }
  void reset() {
    std::shared_ptr<T> old;
    {
      base::LockGuard lock(mutex_);
      old = std::move(instance_);
    }
  }

  // In a forked child, from a fork handler, where only the forking thread
  // lives: keeps the instance when neither its lock (`lockOf` gives it) nor
  // this holder's was held at the fork. Else a thread that did not come along
  // may have been changing them: they are left as they are, never locked nor
  // freed, and `copy()` (what the parent last published) becomes the
  // instance; so it does where there was none. True when it did. Nothing is
  // held across the fork, so a host's own fork handlers and fork-safe locks
  // may use the instance.
  template <class Lock>
  bool renewInChild(Lock& (*lockOf)(T&),
                    std::shared_ptr<T> (*copy)()) KX_NO_THREAD_SAFETY_ANALYSIS {
    if (mutex_.tryLock()) {
      T* instance = instance_.get();
      const bool keep = instance != nullptr && lockOf(*instance).tryLock();
      if (keep) lockOf(*instance).unlock();
      mutex_.unlock();
      if (keep) return false;
    }
    new (&mutex_) base::Mutex();
    new (&instance_) std::shared_ptr<T>(copy());
    return true;
  }

 private:
  base::Mutex mutex_;
  std::shared_ptr<T> instance_ KX_GUARDED_BY(mutex_);
};
