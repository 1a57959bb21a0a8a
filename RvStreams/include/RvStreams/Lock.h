#pragma once

// Locks of the library. Every lock of a lock owner (subjects, multi-input
// sinks, composite and serial disposables, the async lock) is recursive: event
// handlers re-enter their own owner through synchronous downstream code. Most
// of them are only ever taken by one thread (a pipeline driven from one
// thread), so they are biased recursive locks, which that thread takes
// without a locked instruction (concurrency/BiasedRecursiveLock.h).
//
// The members a lock guards say so, and so do the functions that run under
// it, for clang's lock check (base/ThreadSafety.h). A sink whose `on`
// runs under a lock that may be its parent's names it through a `lock()`
// getter marked KX_RETURN_CAPABILITY.

#include "base/Mutex.h"
#include "base/ThreadSafety.h"
#include "concurrency/BiasedRecursiveLock.h"

namespace rv {

using RecursiveLock = concurrency::BiasedRecursiveLock;
using LockGuard = base::LockGuard<RecursiveLock>;

// An owner whose subscriptions are removed by key (subjects). Takes the
// owner's own lock; callers must not rely on holding it.
template <class Key>
class SynchronizedUnsubscribeType {
 public:
  using DisposeKey = Key;
  virtual void synchronizedUnsubscribe(Key key) noexcept = 0;

 protected:
  ~SynchronizedUnsubscribeType() = default;
};

}  // namespace rv
