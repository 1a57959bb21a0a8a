#pragma once

// A subject that emits only at its end: it remembers the last element and,
// when it completes, sends that element and then completed; a subscriber that
// arrives after the end gets the same outcome during subscribe. An error is
// passed on unchanged and the remembered element is then never sent.

#include <optional>
#include <utility>

#include "RvStreams/Subject.h"

namespace rv {

template <class T>
class AsyncSubject final : public SubjectBase<AsyncSubject<T>, T> {
  friend SubjectBase<AsyncSubject<T>, T>;
  using SubjectBase<AsyncSubject<T>, T>::lock_;
  using SubjectBase<AsyncSubject<T>, T>::observers_;

 public:
  static Ref<AsyncSubject> create() { return std::make_shared<AsyncSubject>(); }

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      LockGuard guard(lock_);
      if (!stoppedEvent_) lastElement_ = *element;
      return;
    }
    stop(event);
  }

 private:
  Ref<Disposable> subscribeLocked(Ref<ObserverType<T>> observer,
                                  concurrency::DeferredRetire& retired) KX_REQUIRES(lock_) {
    if (stoppedEvent_) {
      observer->on(*stoppedEvent_);
      if (stoppedEvent_->isNext()) observer->on(Event<T>::completed());
      return Disposables::create();
    }
    return this->insertObserver(std::move(observer), retired);
  }

  // Records the outcome and delivers it to the observers of that moment,
  // which the subject then forgets.
  [[gnu::noinline]] void stop(const Event<T>& event) noexcept {
    concurrency::DeferredRetire retired;
    ObserverDelivery<T> delivery;
    std::optional<Event<T>> outcome;
    {
      LockGuard guard(lock_);
      if (stoppedEvent_) return;
      observers_.takeAll(lock_, delivery, retired);
      if (event.isCompleted() && lastElement_) {
        stoppedEvent_ = Event<T>::next(*lastElement_);
      } else {
        stoppedEvent_ = event;
      }
      outcome = stoppedEvent_;
    }
    // Every observer receives the element before any receives completed.
    delivery.deliver(*outcome);
    if (outcome->isNext()) delivery.deliver(Event<T>::completed());
  }

  // The final outcome: next(last element) meaning that element then
  // completed, completed alone, or the error.
  std::optional<Event<T>> stoppedEvent_ KX_GUARDED_BY(lock_);
  std::optional<T> lastElement_ KX_GUARDED_BY(lock_);
};

}  // namespace rv
