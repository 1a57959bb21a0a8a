#pragma once

// A behaviour relay as a Driver:
//
//   Driver<int> count = rv::asDriver(relay);
//
// The relay never fails, so no fallback is needed: its values (the current
// one first) are delivered on the sharing scheduler read at this call (by
// default a new main-thread scheduler), and subscribers share one
// subscription that replays the latest value.

#include <utility>

#include "RvCocoa/SharedSequence.h"
#include "RvRelay/BehaviorRelay.h"
#include "RvStreams/ObserveOn.h"

namespace rv {

template <class T>
Driver<T> asDriver(const Ref<BehaviorRelay<T>>& relay) {
  return Driver<T>(relay->asObservable() |
                   rv::observeOn(Ref<ImmediateSchedulerType>(SharingScheduler::make())));
}

}  // namespace rv
