#pragma once

// What the subjects share: the observer bag they deliver to, and the
// disposable that removes one subscriber from its subject.

#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <utility>

#include "RvStreams/Bag.h"
#include "RvStreams/Describe.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Lock.h"
#include "RvStreams/Observable.h"
#include "RvStreams/RvError.h"

namespace rv {

// A subject's subscribers, each stored as its observer.
template <class T>
using ObserverBag = Bag<Ref<ObserverType<T>>>;

// What every subject keeps: its recursive lock and its subscribers.
// `Derived` may define `bool unsubscribeRefused() const` (under the lock) to
// ignore unsubscriptions, as a disposed behavior or replay subject does.
template <class Derived, class T>
class SubjectBase : public Observable<T>,
                    public ObserverType<T>,
                    public SynchronizedUnsubscribeType<BagKey> {
 public:
  bool hasObservers() const {
    LockGuard guard(lock_);
    return observers_.count() > 0;
  }

  // The subject's observer side: the subject itself.
  Ref<ObserverType<T>> asObserver() {
    return std::static_pointer_cast<Derived>(this->shared_from_this());
  }

  void synchronizedUnsubscribe(BagKey key) noexcept final {
    std::optional<Ref<ObserverType<T>>> removed;  // released after the lock
    LockGuard guard(lock_);
    if (!static_cast<const Derived&>(*this).unsubscribeRefused())
      removed = observers_.removeKey(key);
  }

 protected:
  bool unsubscribeRefused() const noexcept { return false; }

  // Empties the observers and returns them, so that the caller releases them
  // after the lock.
  ObserverBag<T> takeObservers() {
    ObserverBag<T> taken = observers_;
    observers_.removeAll();
    return taken;
  }

  mutable RecursiveLock lock_;
  ObserverBag<T> observers_;
};

namespace detail {

// The disposable removing subscription `key` from `subject`, which it holds
// weakly.
template <class Subject>
Ref<Disposable> subscriptionDisposable(Subject& subject, BagKey key) {
  Ref<Subject> strong = std::static_pointer_cast<Subject>(subject.shared_from_this());
  return std::make_shared<SubscriptionDisposable<BagKey>>(
      Weak<SynchronizedUnsubscribeType<BagKey>>(strong), key);
}

// The error a subscriber of a disposed subject receives.
template <class Subject>
Error disposedError(const Subject& subject) {
  Ref<const void> object = subject.shared_from_this();
  return std::make_exception_ptr(RvError::disposed(object, typeName(typeid(subject))));
}

}  // namespace detail
}  // namespace rv
