#pragma once

#include <memory>

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

 private:
  base::Mutex mutex_;
  std::shared_ptr<T> instance_ KX_GUARDED_BY(mutex_);
};
