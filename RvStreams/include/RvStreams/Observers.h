#pragma once

// Observers: the stop-aware base, the callable-backed observer, the
// type-erased observer value, and the mixin of observers that handle every
// event under their owner's recursive lock.

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "RvStreams/AtomicInt.h"
#include "RvStreams/Disposable.h"
#include "RvStreams/Lock.h"
#include "RvStreams/ObserverType.h"

namespace rv {

// Delivers at most one stop event and nothing after it or after dispose.
// `next` events are not serialised: concurrent callers reach onCore
// concurrently.
template <class T>
class ObserverBase : public ObserverType<T>, public Disposable {
 public:
  void on(const Event<T>& event) noexcept override {
    if (admits(event)) onCore(event);
  }
  void dispose() noexcept override { isStopped_.fetchOr(1); }

 protected:
  virtual void onCore(const Event<T>& event) noexcept = 0;

  // Whether `event` goes on to onCore; a stop event is admitted once.
  bool admits(const Event<T>& event) noexcept {
    if (event.isNext()) return isStopped_.load() == 0;
    return isStopped_.fetchOr(1) == 0;
  }

 private:
  AtomicInt isStopped_;
};

// Calls one event handler.
template <class T, class Handler>
class AnonymousObserver final : public ObserverBase<T> {
 public:
  explicit AnonymousObserver(Handler handler) : handler_(std::move(handler)) {}

  // The handler straight from `on`: one indirect call less per event.
  void on(const Event<T>& event) noexcept override {
    if (this->admits(event)) handler_(event);
  }

 protected:
  void onCore(const Event<T>& event) noexcept override { handler_(event); }

 private:
  Handler handler_;
};

template <class T, class Handler>
Ref<AnonymousObserver<T, std::decay_t<Handler>>> makeAnonymousObserver(Handler&& handler) {
  return std::make_shared<AnonymousObserver<T, std::decay_t<Handler>>>(
      std::forward<Handler>(handler));
}

// A value wrapping one event handler. Made from an observer it keeps a strong
// reference to it.
template <class T>
class AnyObserver final : public ObserverType<T> {
 public:
  using EventHandler = std::function<void(const Event<T>&)>;

  explicit AnyObserver(EventHandler eventHandler) : handler_(std::move(eventHandler)) {}
  explicit AnyObserver(Ref<ObserverType<T>> observer)
      : handler_([observer = std::move(observer)](const Event<T>& e) { observer->on(e); }) {}

  void on(const Event<T>& event) noexcept override { handler_(event); }
  const AnyObserver& asObserver() const noexcept { return *this; }

 private:
  EventHandler handler_;
};

// The observer as an AnyObserver.
template <class T>
AnyObserver<T> asObserver(Ref<ObserverType<T>> observer) {
  return AnyObserver<T>(std::move(observer));
}

// An observer of R that maps each event with `transform` (R to T) and passes
// it on; a throwing transform reaches `observer` as an error event.
template <class R, class T, class F>
AnyObserver<R> mapObserver(Ref<ObserverType<T>> observer, F transform) {
  return AnyObserver<R>([observer = std::move(observer), transform = std::move(transform)](
                            const Event<R>& event) { observer->on(event.map(transform)); });
}

// Observers whose `on` runs their `synchronized_on` under their owner's
// recursive lock, downstream delivery included. `Derived` provides
// `RecursiveLock& lock()` and `void synchronized_on(const Event<T>&) noexcept`,
// marked KX_RETURN_CAPABILITY and KX_REQUIRES(lock()) for the lock check.
// A child observer returns its parent's lock, so parent and children
// serialise on one lock.
template <class Derived, class T>
class SynchronizedOnType : public ObserverType<T> {
 public:
  void on(const Event<T>& event) noexcept final {
    Derived& self = static_cast<Derived&>(*this);
    LockGuard guard(self.lock());
    self.synchronized_on(event);
  }
};

}  // namespace rv
