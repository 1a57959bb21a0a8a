#pragma once

// `sample` emits, at each tick of a second sequence (the sampler), the latest
// source element that arrived since the previous tick; with nothing new it
// emits the default value when one is given, else nothing. The sampler's
// elements are only ticks: their values are ignored.
//
// The output ends on an error of either input, or on the first tick after the
// source completed. A sampler that completes while the source still runs
// counts as one last tick; the output then emits nothing more and never
// completes (a later source error still passes).
//
// Both inputs are handled under the sink's one recursive lock, downstream
// delivery included.

#include <optional>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

template <class T, class O>
class SampleSequenceSink;

// The sampler's observer; its lock is the parent sink's.
template <class T, class O>
class SamplerSink final : public SynchronizedOnType<SamplerSink<T, O>, O> {
 public:
  explicit SamplerSink(Ref<SampleSequenceSink<T, O>> parent) : parent_(std::move(parent)) {}

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(parent_->lock()) { return parent_->lock(); }
  void synchronized_on(const Event<O>& event) noexcept KX_REQUIRES(lock()) {
    parent_->onSamplerEvent(event);
  }

 private:
  const Ref<SampleSequenceSink<T, O>> parent_;
};

template <class T, class O>
class SampleSequenceSink final : public Sink<T>,
                                 public SynchronizedOnType<SampleSequenceSink<T, O>, T>,
                                 public std::enable_shared_from_this<SampleSequenceSink<T, O>> {
 public:
  SampleSequenceSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel,
                     std::optional<T> defaultValue)
      : Sink<T>(std::move(observer), std::move(cancel)), defaultValue_(std::move(defaultValue)) {}

  Ref<Disposable> run(const Ref<Observable<T>>& source, const Ref<Observable<O>>& sampler) {
    sourceSubscription_->setDisposable(source->subscribe(this->shared_from_this()));
    Ref<Disposable> samplerSubscription =
        sampler->subscribe(std::make_shared<SamplerSink<T, O>>(this->shared_from_this()));
    return Disposables::create(sourceSubscription_, std::move(samplerSubscription));
  }

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  // Source events, under the lock.
  void synchronized_on(const Event<T>& event) noexcept KX_REQUIRES(lock()) {
    if (const T* value = event.element()) {
      element_ = *value;
    } else if (event.error() != nullptr) {
      this->forwardStop(event);
    } else {
      // The completion waits for the next tick.
      atEnd_ = true;
      sourceSubscription_->dispose();
    }
  }

  // Sampler events, under the lock. A completion counts as a tick.
  void onSamplerEvent(const Event<O>& event) noexcept KX_REQUIRES(lock_) {
    if (const Error* error = event.error()) {
      this->forwardStop(Event<T>::error(*error));
      return;
    }
    std::optional<T> value = element_ ? std::move(element_) : defaultValue_;
    element_.reset();
    if (value) this->forwardOn(Event<T>::next(std::move(*value)));
    if (atEnd_) this->forwardStop(Event<T>::completed());
  }

 private:
  const std::optional<T> defaultValue_;
  RecursiveLock lock_;
  std::optional<T> element_ KX_GUARDED_BY(lock_);  // the latest source element not yet emitted
  bool atEnd_ KX_GUARDED_BY(lock_) = false;        // the source has completed
  const Ref<SingleAssignmentDisposable> sourceSubscription_ = SingleAssignmentDisposable::create();
};

// No default value: its type is left to the source.
struct NoDefault {};

// Applied, the operator binds its form with the sampler's observable and the
// source's element type to the producer.
template <class Sampler, class T>
struct SampleOp : OperatorTag {
  Sampler sampler;
  std::optional<T> defaultValue;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using E = ElementOf<S>;
    std::optional<E> value;
    if constexpr (!std::is_same_v<T, NoDefault>) {
      if (defaultValue) value.emplace(std::move(*defaultValue));
    }
    return bindOperator(rv::asObservable(source),
                        SampleOp<Ref<Observable<ElementOf<Sampler>>>, E>{
                            {}, rv::asObservable(sampler), std::move(value)});
  }
  template <class E>
  SinkAndSubscription run(const Ref<Observable<E>>& source, Ref<ObserverType<E>> observer,
                          Ref<Cancelable> cancel) {
    using O = ElementOf<Sampler>;
    return runSink(std::make_shared<SampleSequenceSink<E, O>>(std::move(observer),
                                                              std::move(cancel), defaultValue),
                   source, sampler);
  }
};

}  // namespace detail

// Emits the latest source element at each element or completion of
// `sampler`, nothing when no new element arrived.
template <ObservableConvertible Sampler>
detail::SampleOp<std::decay_t<Sampler>, detail::NoDefault> sample(Sampler&& sampler) {
  return {{}, std::forward<Sampler>(sampler), std::nullopt};
}

// As above, emitting `defaultValue` at a tick when no new element arrived.
template <ObservableConvertible Sampler, class T>
detail::SampleOp<std::decay_t<Sampler>, std::decay_t<T>> sample(Sampler&& sampler,
                                                                T&& defaultValue) {
  return {{}, std::forward<Sampler>(sampler), std::forward<T>(defaultValue)};
}

}  // namespace rv
