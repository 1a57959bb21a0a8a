#pragma once

// One item of a stream: next(element), error(Error) or completed. A plain
// copyable value; error and completed are the stop events.

#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "RvStreams/Base.h"
#include "RvStreams/Describe.h"

namespace rv {

template <class T>
class Event {
 public:
  using Element = T;

  static Event next(T element) { return Event(NextTag{}, std::move(element)); }
  static Event error(Error error) { return Event(ErrorTag{}, std::move(error)); }
  static Event completed() noexcept { return Event(); }

  Event(const Event& other) { constructFrom(other); }
  Event(Event&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    constructFrom(std::move(other));
  }
  Event& operator=(const Event& other) {
    if (this != &other) {
      Event copy(other);
      destroy();
      constructFrom(std::move(copy));
    }
    return *this;
  }
  Event& operator=(Event&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    if (this != &other) {
      destroy();
      constructFrom(std::move(other));
    }
    return *this;
  }
  // Inline and without a call for an element that needs no destructor: an
  // event is made and dropped at every step of every element.
  ~Event() { destroy(); }

  bool isNext() const noexcept { return kind_ == Kind::next; }
  bool isStopEvent() const noexcept { return kind_ != Kind::next; }
  bool isCompleted() const noexcept { return kind_ == Kind::completed; }
  // The element of a next event; null for the other cases.
  const T* element() const noexcept { return kind_ == Kind::next ? &element_ : nullptr; }
  // The error of an error event; null for the other cases.
  const Error* error() const noexcept { return kind_ == Kind::error ? &error_ : nullptr; }

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
    if (a.kind_ != b.kind_) return false;
    if (a.isNext()) return *a.element() == *b.element();
    if (a.error() != nullptr) return *a.error() == *b.error();
    return true;
  }

 private:
  enum class Kind : unsigned char { next, error, completed };

  Event() noexcept : kind_(Kind::completed) {}
  struct NextTag {};
  struct ErrorTag {};
  Event(NextTag, T&& element) : kind_(Kind::next) { ::new (&element_) T(std::move(element)); }
  Event(ErrorTag, Error&& error) noexcept : kind_(Kind::error) {
    ::new (&error_) Error(std::move(error));
  }

  // Into an event with nothing constructed (just made, or destroyed); an
  // element whose copy throws leaves a completed event behind.
  template <class Other>
  void constructFrom(Other&& other) {
    kind_ = Kind::completed;
    if (other.kind_ == Kind::next) {
      ::new (&element_) T(std::forward<Other>(other).element_);
    } else if (other.kind_ == Kind::error) {
      ::new (&error_) Error(std::forward<Other>(other).error_);
    }
    kind_ = other.kind_;
  }

  void destroy() noexcept {
    if (kind_ == Kind::next) {
      if constexpr (!std::is_trivially_destructible_v<T>) element_.~T();
    } else if (kind_ == Kind::error) {
      error_.~Error();
    }
  }

  union {
    T element_;
    Error error_;
  };
  Kind kind_;
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
