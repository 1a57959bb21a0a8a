#pragma once

// materialize(): turns every event, the stop event included, into an element,
// then completes; a source error thus arrives as the element error(e)
// followed by a normal completion.
// dematerialize(): the reverse, on a sequence of events (anything with an
// `event()` giving an Event): a carried stop event ends the output even
// though the outer sequence still runs.
// No lock: the source delivers serially.

#include <type_traits>
#include <utility>

#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

struct NoSinkParams {};

template <class T, class R, class Params>
class MaterializeSink final : public Sink<Event<T>>, public ObserverType<T> {
 public:
  MaterializeSink(Ref<ObserverType<Event<T>>> observer, Ref<Cancelable> cancel, Params)
      : Sink<Event<T>>(std::move(observer), std::move(cancel)) {}

  void on(const Event<T>& event) noexcept override {
    this->forwardOn(Event<Event<T>>::next(event));
    if (event.isStopEvent()) this->forwardStop(Event<Event<T>>::completed());
  }
};

// The element type an event-convertible carries.
template <class Carrier>
using CarriedElement =
    typename std::decay_t<decltype(std::declval<const Carrier&>().event())>::Element;

template <class Carrier, class R, class Params>
class DematerializeSink final : public Sink<R>, public ObserverType<Carrier> {
 public:
  DematerializeSink(Ref<ObserverType<R>> observer, Ref<Cancelable> cancel, Params)
      : Sink<R>(std::move(observer), std::move(cancel)) {}

  void on(const Event<Carrier>& event) noexcept override {
    if (const Carrier* carrier = event.element()) {
      const Event<R>& inner = carrier->event();
      this->forwardOn(inner);
      if (inner.isStopEvent()) this->dispose();
    } else {
      this->forwardStopFrom(event);
    }
  }
};

struct MaterializeOp : OperatorTag {
  template <class S>
  Ref<Observable<Event<ElementOf<S>>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return makeSourceProducer<T, Event<T>, MaterializeSink>(source, NoSinkParams{});
  }
};

struct DematerializeOp : OperatorTag {
  template <class S>
  auto operator()(const S& source) && {
    using Carrier = ElementOf<S>;
    using R = CarriedElement<Carrier>;
    return makeSourceProducer<Carrier, R, DematerializeSink>(source, NoSinkParams{});
  }
};

}  // namespace detail

inline detail::MaterializeOp materialize() { return {}; }

// On a sequence whose elements have `event()` (events themselves do).
inline detail::DematerializeOp dematerialize() { return {}; }

}  // namespace rv
