#pragma once

// A subject without replay: every observer subscribed at the moment an event
// is pushed receives it. After its first stop event the subject only replays
// that stop event to later subscribers.
//
// State changes happen under the subject's recursive lock; an element is
// delivered to the published snapshot of the observers without taking it,
// and every delivery happens outside it, so handlers may subscribe,
// unsubscribe or push during delivery. Delivery is not serialised: callers
// that need ordered delivery serialise their calls to `on`. What a late
// subscriber gets replayed is delivered during subscribe, under the lock.

#include <atomic>
#include <optional>
#include <utility>

#include "RvStreams/Subject.h"

namespace rv {

template <class T>
class PublishSubject final : public SubjectBase<PublishSubject<T>, T>, public Cancelable {
  friend SubjectBase<PublishSubject<T>, T>;
  using SubjectBase<PublishSubject<T>, T>::lock_;
  using SubjectBase<PublishSubject<T>, T>::observers_;

 public:
  static Ref<PublishSubject> create() { return std::make_shared<PublishSubject>(); }

  // Elements go to the published snapshot without the lock; a stopped or
  // disposed subject has emptied it.
  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      observers_.deliver(event, lock_);
    } else {
      stop(event);
    }
  }

  // Read without the lock: advisory.
  bool isDisposed() const noexcept override { return disposed_.load(); }

  // Forgets every observer (without telling them) and the recorded stop
  // event; later subscribers get the disposed error, unless a stop event
  // arrives afterwards and is recorded again.
  void dispose() noexcept override { this->disposeSubject(); }

 private:
  void forgetLocked() noexcept KX_REQUIRES(lock_) {
    disposed_.store(true);
    stoppedEvent_.reset();
  }

  Ref<Disposable> subscribeLocked(Ref<ObserverType<T>> observer,
                                  concurrency::DeferredRetire& retired) KX_REQUIRES(lock_) {
    if (stoppedEvent_) {
      // A copy: the observer may dispose this subject from its handler, which
      // clears the recorded event while the observer still reads it.
      const Event<T> stopped = *stoppedEvent_;
      observer->on(stopped);
      return Disposables::create();
    }
    if (disposed_.load()) {
      observer->on(Event<T>::error(detail::disposedError(*this)));
      return Disposables::create();
    }
    return this->insertObserver(std::move(observer), retired);
  }

  // Records the first stop event and delivers it to the observers of that
  // moment, which the subject then forgets.
  [[gnu::noinline]] void stop(const Event<T>& event) noexcept {
    concurrency::DeferredRetire retired;
    ObserverDelivery<T> delivery;
    {
      LockGuard guard(lock_);
      if (stoppedEvent_) return;
      // A stop event is recorded even by a disposed subject.
      stoppedEvent_ = event;
      observers_.takeAll(lock_, delivery, retired);
    }
    delivery.deliver(event);
  }

  std::atomic<bool> disposed_{false};
  std::optional<Event<T>> stoppedEvent_ KX_GUARDED_BY(lock_);
};

}  // namespace rv
