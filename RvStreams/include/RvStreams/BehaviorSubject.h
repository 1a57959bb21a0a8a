#pragma once

// A subject that always holds a current value: created with one, replaced by
// every next event, and sent to every new subscriber during subscribe (under
// the lock, so a racing `on` waits until the new subscriber has it).

#include <atomic>
#include <optional>
#include <utility>

#include "RvStreams/Subject.h"

namespace rv {

template <class T>
class BehaviorSubject final : public SubjectBase<BehaviorSubject<T>, T>, public Cancelable {
  friend SubjectBase<BehaviorSubject<T>, T>;
  using SubjectBase<BehaviorSubject<T>, T>::lock_;
  using SubjectBase<BehaviorSubject<T>, T>::observers_;

 public:
  explicit BehaviorSubject(T value) : element_(std::move(value)) {}
  static Ref<BehaviorSubject> create(T value) {
    return std::make_shared<BehaviorSubject>(std::move(value));
  }

  // The current value. Throws the disposed error once disposed and the
  // subject's error once failed; after completion the last value stays
  // readable.
  T value() const {
    LockGuard guard(lock_);
    if (disposed_.load()) {
      std::rethrow_exception(detail::disposedError(*this));
    }
    if (stoppedEvent_) {
      if (const Error* error = stoppedEvent_->error()) std::rethrow_exception(*error);
    }
    return element_;
  }

  void on(const Event<T>& event) noexcept override {
    ObserverDelivery<T> delivery;
    {
      LockGuard guard(lock_);
      if (stoppedEvent_ || disposed_.load()) return;
      if (const T* element = event.element()) {
        element_ = *element;
      } else {
        // Observers stay subscribed after a stop event.
        stoppedEvent_ = event;
      }
      observers_.hold(lock_, delivery);
    }
    delivery.deliver(event);
  }

  // Read without the lock: advisory.
  bool isDisposed() const noexcept override { return disposed_.load(); }

  void dispose() noexcept override { this->disposeSubject(); }

 private:
  void forgetLocked() noexcept KX_REQUIRES(lock_) {
    disposed_.store(true);
    stoppedEvent_.reset();
  }

  Ref<Disposable> subscribeLocked(Ref<ObserverType<T>> observer,
                                  concurrency::DeferredRetire& retired) KX_REQUIRES(lock_) {
    if (disposed_.load()) {
      observer->on(Event<T>::error(detail::disposedError(*this)));
      return Disposables::create();
    }
    if (stoppedEvent_) {
      // A copy: the observer may dispose this subject from its handler, which
      // clears the recorded event while the observer still reads it.
      const Event<T> stopped = *stoppedEvent_;
      observer->on(stopped);
      return Disposables::create();
    }
    Ref<Disposable> disposable = this->insertObserver(observer, retired);
    observer->on(Event<T>::next(element_));
    return disposable;
  }

  bool unsubscribeRefused() const noexcept KX_REQUIRES(lock_) { return disposed_.load(); }

  std::atomic<bool> disposed_{false};
  T element_ KX_GUARDED_BY(lock_);
  std::optional<Event<T>> stoppedEvent_ KX_GUARDED_BY(lock_);
};

}  // namespace rv
