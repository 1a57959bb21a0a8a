#pragma once

// The receiving side of every stream. Observers are type-erased at sequence
// boundaries: a sequence of T talks to any `ObserverType<T>`. `on` never
// throws; nothing crosses a sink as an exception.

#include <utility>

#include "RvStreams/Event.h"

namespace rv {

template <class T>
class ObserverType {
 public:
  using Element = T;

  virtual void on(const Event<T>& event) noexcept = 0;
  virtual ~ObserverType() = default;

  void onNext(T element) noexcept { on(Event<T>::next(std::move(element))); }
  void onError(Error error) noexcept { on(Event<T>::error(std::move(error))); }
  void onCompleted() noexcept { on(Event<T>::completed()); }
};

}  // namespace rv
