#pragma once

// A relay over a publish subject: subscribers see only what is accepted after
// they subscribed; an element accepted while nobody listens is lost.

#include <RvStreams/PublishSubject.h>

#include "RvRelay/RelayBase.h"

namespace rv {

template <class T>
class PublishRelay final : public RelayBase<T, PublishSubject<T>> {
 public:
  PublishRelay() : RelayBase<T, PublishSubject<T>>(PublishSubject<T>::create()) {}
  static Ref<PublishRelay> create() { return std::make_shared<PublishRelay>(); }
};

}  // namespace rv
