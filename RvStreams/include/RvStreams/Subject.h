#pragma once

// What the subjects share: the observer set they deliver to, and the
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
#include "RvStreams/detail/ObserverSet.h"
#include "concurrency/HazardSlots.h"

namespace rv {

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

// A subject's subscribers, each stored as its observer.
template <class T>
using ObserverBag = Bag<Ref<ObserverType<T>>>;

// A snapshot of a subject's subscribers held for one delivery.
template <class T>
using ObserverDelivery = typename detail::ObserverSet<T>::Delivery;

// What every subject keeps: its recursive lock and its subscribers.
// `Derived` may define `bool unsubscribeRefused() const` (under the lock) to
// ignore unsubscriptions, as a disposed behavior or replay subject does.
template <class Derived, class T>
class SubjectBase : public Observable<T>,
                    public ObserverType<T>,
                    public SynchronizedUnsubscribeType<BagKey> {
 public:
  // Subscribes under the lock through `Derived::subscribeLocked`, which
  // replays what a late subscriber gets or registers the observer.
  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) override {
    // What is replayed under the lock may lead the observer to drop the last
    // other reference to this subject: it lives on until the lock is released.
    const auto self = this->shared_from_this();
    concurrency::DeferredRetire retired;
    LockGuard guard(lock_);
    return static_cast<Derived&>(*this).subscribeLocked(std::move(observer), retired);
  }

  bool hasObservers() const {
    LockGuard guard(lock_);
    return observers_.count(lock_) > 0;
  }

  // The subject's observer side: the subject itself.
  Ref<ObserverType<T>> asObserver() {
    return std::static_pointer_cast<Derived>(this->shared_from_this());
  }

  void synchronizedUnsubscribe(BagKey key) noexcept final {
    concurrency::DeferredRetire retired;  // released after the lock
    LockGuard guard(lock_);
    if (!static_cast<const Derived&>(*this).unsubscribeRefused())
      observers_.removeKey(lock_, key, retired);
  }

 protected:
  bool unsubscribeRefused() const noexcept KX_REQUIRES(lock_) { return false; }

  // Registers `observer` and returns the disposable that unregisters it.
  // Under the lock; `retired` outlives it.
  Ref<Disposable> insertObserver(Ref<ObserverType<T>> observer,
                                 concurrency::DeferredRetire& retired) KX_REQUIRES(lock_) {
    return detail::subscriptionDisposable(static_cast<Derived&>(*this),
                                          observers_.insert(lock_, std::move(observer), retired));
  }

  // Disposes the subject: under the lock, `Derived::forgetLocked` marks it
  // disposed and drops what it recorded, and the observers are forgotten
  // (without being told); what they kept alive goes after the lock.
  void disposeSubject() noexcept {
    concurrency::DeferredRetire retired;
    LockGuard guard(lock_);
    static_cast<Derived&>(*this).forgetLocked();
    observers_.removeAll(lock_, retired);
  }

  mutable RecursiveLock lock_;
  // Changed under the lock; elements are delivered to its published snapshot
  // without it.
  detail::ObserverSet<T> observers_;
};

}  // namespace rv
