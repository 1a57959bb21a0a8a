#pragma once

#include <utility>

#include "base/Mutex.h"
#include "base/ThreadSafety.h"

// The one observer of a context's current value. The context tells it under
// its own lock, so that the calls come in the order of the changes; this
// lock only guards the observer while it is replaced or copied, and is not
// held while it runs (it may set another observer). A fork holds it
// (`holdAcrossFork`, after the context's lock) so that a forked child finds
// it free.
template <class Observer>
class DUZEContextObserver {
 public:
  void holdAcrossFork() KX_ACQUIRE(mutex_) { mutex_.lock(); }
  void releaseAfterFork() KX_RELEASE(mutex_) { mutex_.unlock(); }

  void replace(Observer observer) {
    base::LockGuard lock(mutex_);
    observer_ = std::move(observer);
  }
  template <class Value>
  void tell(const Value& value) {
    Observer observer;
    {
      base::LockGuard lock(mutex_);
      observer = observer_;
    }
    if (observer) observer(value);
  }

 private:
  base::Mutex mutex_;
  Observer observer_ KX_GUARDED_BY(mutex_);
};
