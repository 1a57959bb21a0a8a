#pragma once

// enumerated(): pairs each element with its position, counted from 0 for each
// subscription. Position exhaustion after 2^63 - 1 elements ends the output
// with the overflow error. No lock: the source delivers serially.

#include <cstdint>
#include <limits>
#include <ostream>
#include <utility>

#include "RvStreams/Describe.h"
#include "RvStreams/Producer.h"
#include "RvStreams/RvError.h"

namespace rv {

template <class T>
struct IndexedElement {
  int64_t index;
  T element;

  bool operator==(const IndexedElement&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const IndexedElement& e) {
    return out << "(index: " << e.index << ", element: " << describe(e.element) << ")";
  }
};

namespace detail {

template <class T, class R, class Params>
class EnumeratedSink final : public Sink<IndexedElement<T>>, public ObserverType<T> {
  using Out = IndexedElement<T>;

 public:
  // Positions start at `first`: 0 for every subscription, and later only where
  // exhaustion is to come without 2^63 elements first.
  EnumeratedSink(Ref<ObserverType<Out>> observer, Ref<Cancelable> cancel, Params, int64_t first = 0)
      : Sink<Out>(std::move(observer), std::move(cancel)), index_(first) {}

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      if (index_ == std::numeric_limits<int64_t>::max()) {
        this->forwardStop(Event<Out>::error(std::make_exception_ptr(RvError::overflow())));
        return;
      }
      const int64_t index = index_++;
      this->forwardOn(Event<Out>::next(Out{index, *element}));
    } else {
      this->forwardStopFrom(event);
    }
  }

 private:
  int64_t index_;
};

struct EnumeratedParams {};

struct EnumeratedOp : OperatorTag {
  template <class S>
  Ref<Observable<IndexedElement<ElementOf<S>>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return makeSourceProducer<T, IndexedElement<T>, EnumeratedSink>(source, EnumeratedParams{});
  }
};

}  // namespace detail

inline detail::EnumeratedOp enumerated() { return {}; }

}  // namespace rv
