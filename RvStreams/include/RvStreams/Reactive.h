#pragma once

// The extension point of objects: `rv::rv(object)` gives a `Reactive<T>` over
// the object, on which the reactive extensions of its type hang (the
// interception runtime and the Cocoa bindings add theirs as functions taking a
// `Reactive<T>`). Each call makes a new wrapper over the same object;
// assigning to one changes nothing anywhere else.
//
// Indexing it with a writable data member or a setter gives a Binder that sets
// that property of the object, on the main thread:
//
//   source->subscribe(std::make_shared<Binder<bool>>(rv::rv(view)[&View::setHidden]));

#include <concepts>
#include <memory>
#include <type_traits>
#include <utility>

#include "RvStreams/Binder.h"

namespace rv {

// The strong reference a `Reactive<T>` holds its object by: `std::shared_ptr`
// unless a specialisation for T says otherwise (the object runtime's classes
// use their own references, together with a `WeakReferenceTraits` for
// binders).
template <class T>
struct ObjectReference {
  using type = std::shared_ptr<T>;
};

template <class T>
class Reactive {
 public:
  using Base = typename ObjectReference<T>::type;

  explicit Reactive(Base base) : base_(std::move(base)) {}

  // The wrapped object.
  Base base() const { return base_; }

  // A binder that assigns each value to `member` of the object.
  template <class C, class V>
  requires std::derived_from<T, C> &&(!std::is_function_v<V>)&&(!std::is_const_v<V>)Binder<V>
  operator[](V C::*member) const {
    return Binder<V>(base_, [member](T& target, V value) { target.*member = std::move(value); });
  }

  // A binder that calls `setter` of the object with each value.
  template <class C, class R, class A>
  requires std::derived_from<T, C> Binder<std::remove_cvref_t<A>>
  operator[](R (C::*setter)(A)) const { return setterBinder<std::remove_cvref_t<A>>(setter); }
  template <class C, class R, class A>
  requires std::derived_from<T, C> Binder<std::remove_cvref_t<A>>
  operator[](R (C::*setter)(A) noexcept) const {
    return setterBinder<std::remove_cvref_t<A>>(setter);
  }

 private:
  template <class V, class Setter>
  Binder<V> setterBinder(Setter setter) const {
    return Binder<V>(base_, [setter](T& target, V value) { (target.*setter)(std::move(value)); });
  }

  Base base_;
};

// A new wrapper over `object`, a strong reference of the kind its type is
// held by.
template <class P>
requires std::same_as<P, typename ObjectReference<typename P::element_type>::type>
    Reactive<typename P::element_type> rv(P object) {
  return Reactive<typename P::element_type>(std::move(object));
}

}  // namespace rv
