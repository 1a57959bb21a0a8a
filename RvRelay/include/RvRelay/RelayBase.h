#pragma once

// What every relay is: a subject that only ever receives elements. The relay
// has no state of its own; observers, locking and delivery are its subject's.

#include <RvStreams/Infallible.h>
#include <RvStreams/Observable.h>

#include <utility>

namespace rv {

template <class T, class Subject>
class RelayBase {
 public:
  using Element = T;

  // Sends `element` to the subscribers. May be called from any thread.
  void accept(T element) { subject_->onNext(std::move(element)); }

  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) {
    return subject_->subscribe(std::move(observer));
  }

  // The relay's subject.
  Ref<Observable<T>> asObservable() const { return subject_; }

  // Never fails; would complete instead, were an error ever to come.
  Infallible<T> asInfallible() const {
    return asObservable() | rv::asInfallible(Infallible<T>::empty());
  }

 protected:
  explicit RelayBase(Ref<Subject> subject) : subject_(std::move(subject)) {}

  Ref<Subject> subject_;
};

}  // namespace rv
