#pragma once

// Objects of the object runtime on the reactive extension point: they are
// held by `objc::Ref` (so `rv::rv(objc::Ref<T>)` gives a `Reactive<T>`), and
// binders hold them by `objc::Weak`.

#include <concepts>

#include "RvStreams/Binder.h"
#include "RvStreams/Reactive.h"
#include "objc/Ref.h"
#include "objc/Runtime.h"

namespace rv {

template <class T>
requires std::derived_from<T, objc::Object>
struct ObjectReference<T> {
  using type = objc::Ref<T>;
};

template <class T>
struct WeakReferenceTraits<objc::Ref<T>> {
  using Weak = objc::Weak<T>;
  static Weak weaken(const objc::Ref<T>& object) { return Weak(object); }
  static objc::Ref<T> load(const Weak& weak) { return weak.load(); }
};

}  // namespace rv
