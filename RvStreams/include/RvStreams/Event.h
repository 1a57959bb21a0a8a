#pragma once

// One item of a stream: next(element), error(Error) or completed. A plain
// copyable value; error and completed are the stop events.

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "RvStreams/Base.h"
#include "RvStreams/Describe.h"

namespace rv {

template <class T>
class Event {
 public:
  using Element = T;

  static Event next(T element) { return Event(std::in_place_index<0>, std::move(element)); }
  static Event error(Error error) { return Event(std::in_place_index<1>, std::move(error)); }
  static Event completed() { return Event(std::in_place_index<2>, Completed{}); }

  bool isNext() const noexcept { return value_.index() == 0; }
  bool isStopEvent() const noexcept { return value_.index() != 0; }
  bool isCompleted() const noexcept { return value_.index() == 2; }
  // The element of a next event; null for the other cases.
  const T* element() const noexcept { return std::get_if<0>(&value_); }
  // The error of an error event; null for the other cases.
  const Error* error() const noexcept { return std::get_if<1>(&value_); }

  // Events are their own event (the EventConvertible shape).
  const Event& event() const noexcept { return *this; }

  // next(e) becomes next(transform(e)), or error(thrown) when the transform
  // throws; stop events pass unchanged and never call the transform.
  template <class F, class R = std::invoke_result_t<F&, const T&>>
  Event<R> map(F&& transform) const {
    if (const T* e = element()) {
      try {
        return Event<R>::next(transform(*e));
      } catch (...) {
        return Event<R>::error(std::current_exception());
      }
    }
    if (const Error* x = error()) return Event<R>::error(*x);
    return Event<R>::completed();
  }

  // Errors compare by identity of the exception object.
  friend bool operator==(const Event& a, const Event& b) requires requires(const T& x) { x == x; }
  {
    if (a.value_.index() != b.value_.index()) return false;
    if (a.isNext()) return *a.element() == *b.element();
    if (a.error() != nullptr) return *a.error() == *b.error();
    return true;
  }

 private:
  struct Completed {};
  template <std::size_t I, class V>
  Event(std::in_place_index_t<I> index, V&& value) : value_(index, std::forward<V>(value)) {}

  std::variant<T, Error, Completed> value_;
};

// "next(<element>)", "error(<error>)" or "completed".
template <class T>
std::string describe(const Event<T>& event) {
  if (const T* e = event.element()) return "next(" + describe(*e) + ")";
  if (const Error* x = event.error()) return "error(" + describe(*x) + ")";
  return "completed";
}

// A shared mutable box, letting value types be shared and changed in place.
template <class T>
class RvMutableBox {
 public:
  explicit RvMutableBox(T value) : value(std::move(value)) {}
  static Ref<RvMutableBox> create(T value) {
    return std::make_shared<RvMutableBox>(std::move(value));
  }
  T value;
};

template <class T>
std::string describe(const RvMutableBox<T>& box) {
  return "MutatingBox(" + describe(box.value) + ")";
}

}  // namespace rv
