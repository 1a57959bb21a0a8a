#pragma once

#include <pthread.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "DUZESharedInstance.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"

// What a context class (the session or the user id context) shares across
// the process: its shared instance and the one observer of its current
// value. `Context` names this class a friend, guards its state with
// `mutex_`, and tells its value with `notifyLocked()`, which calls `tell`.
//
// The context tells the observer under its own lock, so that the calls come
// in the order of the changes; the observer's lock only guards it while it is
// replaced or copied, and is not held while it runs (it may set another
// observer). A fork holds the shared instance's lock, its holder's and the
// observer's across it (DUZESharedInstance::holdAcrossFork), so that a forked
// child, where only the forking thread lives, can change the context.
template <class Context>
class DUZEContextShare {
 public:
  using Observer = typename Context::Observer;

  // The share of `Context`: made once, never destroyed (contexts are used from
  // other static objects' destructors and from fork handlers).
  static DUZEContextShare& of() {
    static DUZEContextShare* const share = new DUZEContextShare();
    return *share;
  }

  std::shared_ptr<Context> get() { return instance_.get(); }
  // Drops the shared instance; the next one has no current value, which the
  // observer is told.
  void reset() {
    instance_.reset();
    tell(std::nullopt);
  }
  // Replaces the observer and tells it the current value, under the shared
  // instance's lock, so that no change comes between.
  void observe(Observer observer) {
    auto context = get();
    base::LockGuard lock(context->mutex_);
    {
      base::LockGuard guard(observerMutex_);
      observer_ = std::move(observer);
    }
    context->notifyLocked();
  }
  void tell(const std::optional<std::string>& value) {
    Observer observer;
    {
      base::LockGuard guard(observerMutex_);
      observer = observer_;
    }
    if (observer) observer(value);
  }

 private:
  DUZEContextShare() { ::pthread_atfork(&holdAcrossFork, &releaseInParent, &releaseInChild); }
  static base::RecursiveMutex& lockOf(Context& context) { return context.mutex_; }
  // The check cannot follow holds that span the fork.
  static void holdAcrossFork() KX_NO_THREAD_SAFETY_ANALYSIS {
    of().instance_.holdAcrossFork(&lockOf);
    of().observerMutex_.lock();
  }
  static void releaseInParent() KX_NO_THREAD_SAFETY_ANALYSIS {
    of().observerMutex_.unlock();
    of().instance_.releaseAfterFork(&lockOf, false);
  }
  static void releaseInChild() KX_NO_THREAD_SAFETY_ANALYSIS {
    of().observerMutex_.unlock();
    of().instance_.releaseAfterFork(&lockOf, true);
  }

  DUZESharedInstance<Context> instance_;
  base::Mutex observerMutex_;
  Observer observer_ KX_GUARDED_BY(observerMutex_);
};
