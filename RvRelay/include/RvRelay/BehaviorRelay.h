#pragma once

// A relay over a behavior subject: holds a current value and sends it to
// every new subscriber first.

#include <RvStreams/BehaviorSubject.h>

#include <utility>

#include "RvRelay/RelayBase.h"

namespace rv {

template <class T>
class BehaviorRelay final : public RelayBase<T, BehaviorSubject<T>> {
 public:
  explicit BehaviorRelay(T value)
      : RelayBase<T, BehaviorSubject<T>>(BehaviorSubject<T>::create(std::move(value))) {}
  static Ref<BehaviorRelay> create(T value) {
    return std::make_shared<BehaviorRelay>(std::move(value));
  }

  // The current value. The relay's subject never fails and is never
  // disposed, so a failing read is a broken invariant and stops the process.
  T value(const char* file = __builtin_FILE(), int line = __builtin_LINE()) const {
    try {
      return this->subject_->value();
    } catch (...) {
      fatalError(describe(std::current_exception()), file, line);
    }
  }
};

}  // namespace rv
