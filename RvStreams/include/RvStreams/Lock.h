#pragma once

// Locks of the library. Every lock of a lock owner (subjects, multi-input
// sinks, composite and serial disposables, the async lock) is recursive: event
// handlers re-enter their own owner through synchronous downstream code.

#include <mutex>

namespace rv {

using RecursiveLock = std::recursive_mutex;
using LockGuard = std::lock_guard<std::recursive_mutex>;

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
