#pragma once

// Binds any sequence to one or more relays of one kind:
//   source | rv::bind(relay1, relay2)   (qualified: std::bind is found by ADL)
// Each element is accepted by every relay in the order given, on the thread
// that delivered it. Relays cannot carry errors: an error is reported on one
// line and reaches no relay; completion leaves the relays as they are. A
// relay of optional elements accepts each element as a present optional.

#include <RvStreams/ErrorReport.h>
#include <RvStreams/Subscribe.h>

#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "RvRelay/BehaviorRelay.h"
#include "RvRelay/PublishRelay.h"
#include "RvRelay/ReplayRelay.h"

namespace rv {

namespace detail {

template <class Relay>
struct RelayKind;
template <class T>
struct RelayKind<PublishRelay<T>> {
  static constexpr const char* kBindingError = "Binding error to publish relay: ";
};
template <class T>
struct RelayKind<BehaviorRelay<T>> {
  static constexpr const char* kBindingError = "Binding error to behavior relay: ";
};
template <class T>
struct RelayKind<ReplayRelay<T>> {
  static constexpr const char* kBindingError = "Binding error to behavior relay: ";
};

template <class... Relays>
struct BindOp : OperatorTag {
  std::tuple<Ref<Relays>...> relays;

  template <class S>
  Ref<Disposable> operator()(const S& source) && {
    using First = std::tuple_element_t<0, std::tuple<Relays...>>;
    static_assert((std::is_same_v<RelayKind<First>, RelayKind<Relays>> && ...),
                  "bind to relays of one kind at a time");
    return rv::subscribe(source, [relays = std::move(relays)](const Event<ElementOf<S>>& event) {
      if (const auto* element = event.element()) {
        std::apply([&](const auto&... relay) { (relay->accept(*element), ...); }, relays);
      } else if (const Error* error = event.error()) {
        printErrorReport(RelayKind<First>::kBindingError, *error, __builtin_FILE(),
                         __builtin_LINE());
      }
    });
  }
};

}  // namespace detail

template <class... Relays>
requires(sizeof...(Relays) > 0) detail::BindOp<Relays...> bind(const Ref<Relays>&... relays) {
  return {{}, {relays...}};
}

}  // namespace rv
