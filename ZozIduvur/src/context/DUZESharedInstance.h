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

  // Holds the current instance's lock (`lockOf` gives it), then this
  // holder's, from before a fork until `releaseAfterFork`, which a fork
  // handler calls in the parent and in the child: a forked child, where only
  // the forking thread lives, finds them free, never held by a thread that
  // did not come along. The instance's lock first, as a thread that holds it
  // may ask for the shared instance. A fork has to wait for those who hold
  // them, all of which end what they do under them. (The check cannot follow
  // a lock reached through `lockOf`, nor holds that span the fork.)
  template <class Lock>
  void holdAcrossFork(Lock& (*lockOf)(T&)) KX_NO_THREAD_SAFETY_ANALYSIS {
    for (;;) {
      std::shared_ptr<T> instance;
      {
        base::LockGuard lock(mutex_);
        instance = instance_;
      }
      if (instance) lockOf(*instance).lock();
      mutex_.lock();
      if (instance_ == instance) {
        forking_ = std::move(instance);
        return;
      }
      // Replaced meanwhile: hold the new one.
      mutex_.unlock();
      if (instance) lockOf(*instance).unlock();
    }
  }
  // In the child, the instance's lock is made anew rather than let go: a
  // recursive lock is let go only by the thread that took it, and the
  // forking thread is another thread in the child. It is as the forking
  // thread left it, which held it.
  template <class Lock>
  void releaseAfterFork(Lock& (*lockOf)(T&), bool inChild) KX_NO_THREAD_SAFETY_ANALYSIS {
    std::shared_ptr<T> instance = std::move(forking_);
    mutex_.unlock();
    if (!instance) return;
    if (inChild) {
      new (&lockOf(*instance)) Lock();
    } else {
      lockOf(*instance).unlock();
    }
  }

 private:
  base::Mutex mutex_;
  std::shared_ptr<T> instance_ KX_GUARDED_BY(mutex_);
  // The instance held across a fork (only while one is under way).
  std::shared_ptr<T> forking_ KX_GUARDED_BY(mutex_);
};
