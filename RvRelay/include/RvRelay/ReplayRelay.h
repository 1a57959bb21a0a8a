#pragma once

// A relay over a replay subject: new subscribers first receive the buffered
// elements. Created only through its two factories.

#include <RvStreams/ReplaySubject.h>

#include <cstdint>
#include <utility>

#include "RvRelay/RelayBase.h"

namespace rv {

template <class T>
class ReplayRelay final : public RelayBase<T, ReplaySubject<T>> {
 public:
  // Keeps the last `bufferSize` elements.
  static Ref<ReplayRelay> create(int64_t bufferSize) {
    return Ref<ReplayRelay>(new ReplayRelay(ReplaySubject<T>::create(bufferSize)));
  }
  // Keeps every element.
  static Ref<ReplayRelay> createUnbound() {
    return Ref<ReplayRelay>(new ReplayRelay(ReplaySubject<T>::createUnbound()));
  }

 private:
  explicit ReplayRelay(Ref<ReplaySubject<T>> subject)
      : RelayBase<T, ReplaySubject<T>>(std::move(subject)) {}
};

}  // namespace rv
