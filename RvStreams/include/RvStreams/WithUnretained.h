#pragma once

// withUnretained(object, resultSelector): pairs every element with an object
// the sequence must not keep alive. The object is held weakly; while it lives
// each element is combined with it, and the first element that arrives after
// it is gone completes the output instead (and ends the source subscription).
// Errors and completion of the source pass unchanged.

#include <exception>
#include <tuple>
#include <type_traits>
#include <utility>

#include "RvStreams/Catch.h"
#include "RvStreams/Just.h"
#include "RvStreams/Map.h"

namespace rv {

// Raised inside withUnretained when its object is gone; it never reaches a
// subscriber.
class UnretainedError : public std::exception {
 public:
  enum class Kind { failedRetaining };

  static UnretainedError failedRetaining() { return UnretainedError(Kind::failedRetaining); }
  Kind kind() const noexcept { return kind_; }
  const char* what() const noexcept override { return "failedRetaining"; }
  bool operator==(const UnretainedError& other) const noexcept { return kind_ == other.kind_; }

 private:
  explicit UnretainedError(Kind kind) : kind_(kind) {}
  Kind kind_;
};

namespace detail {

struct ObjectAndElement {
  template <class Object, class T>
  std::tuple<Ref<Object>, T> operator()(const Ref<Object>& object, const T& element) const {
    return {object, element};
  }
};

template <class Object, class Selector>
struct WithUnretainedOp : OperatorTag {
  Weak<Object> object;
  Selector resultSelector;

  template <class S>
  auto operator()(const S& source) && {
    using T = ElementOf<S>;
    using R = std::decay_t<std::invoke_result_t<Selector&, const Ref<Object>&, const T&>>;
    auto mapped = rv::asObservable(source) |
                  rv::map([object = std::move(object),
                           selector = std::move(resultSelector)](const T& element) mutable -> R {
                    const Ref<Object> strong = object.lock();
                    if (!strong) throw UnretainedError::failedRetaining();
                    return selector(strong, element);
                  });
    return mapped | rv::catchError([](const Error& error) -> Ref<Observable<R>> {
             try {
               std::rethrow_exception(error);
             } catch (const UnretainedError&) {
               return rv::empty<R>();
             } catch (...) {
               return rv::error<R>(error);
             }
           });
  }
};

}  // namespace detail

// Combines each element with `object` through
// `resultSelector(const Ref<Object>&, const T&) -> R` while the object lives.
template <class Object, class Selector>
detail::WithUnretainedOp<Object, std::decay_t<Selector>> withUnretained(const Ref<Object>& object,
                                                                        Selector&& resultSelector) {
  return {{}, object, std::forward<Selector>(resultSelector)};
}

// Delivers (object, element) tuples while the object lives.
template <class Object>
detail::WithUnretainedOp<Object, detail::ObjectAndElement> withUnretained(
    const Ref<Object>& object) {
  return {{}, object, {}};
}

}  // namespace rv
