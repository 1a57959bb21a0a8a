#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace objc {

class Object;

// Strong count operations of the runtime. Both accept null. While an object
// is deallocating, neither changes anything.
Object* objc_retain(Object* object) noexcept;
void objc_release(Object* object) noexcept;

namespace detail {
struct WeakControl;
// The weak control block of `object`, made on first use.
std::shared_ptr<WeakControl> weakControlFor(Object* object);
// The object a control block refers to, retained, or null once the object
// began deallocating.
Object* weakLoadRetained(const WeakControl& control) noexcept;
}  // namespace detail

// A strong reference to an object of the runtime (`T` derives from Object).
// Copying retains, destruction releases. Made from a raw pointer it retains
// (a borrowed reference becomes an owned one); `adopt` takes over a +1
// reference without retaining.
template <class T>
class Ref {
 public:
  using element_type = T;

  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(T* object) noexcept : object_(object) { retainObject(); }
  Ref(const Ref& other) noexcept : object_(other.object_) { retainObject(); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <class U>
  requires std::is_convertible_v<U*, T*> Ref(const Ref<U>& other)
  noexcept : object_(other.get()) { retainObject(); }
  template <class U>
  requires std::is_convertible_v<U*, T*> Ref(Ref<U>&& other)
  noexcept : object_(other.detach()) {}
  ~Ref() { releaseObject(); }

  Ref& operator=(const Ref& other) noexcept {
    Ref(other).swap(*this);
    return *this;
  }
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref& operator=(std::nullptr_t) noexcept {
    Ref().swap(*this);
    return *this;
  }

  // Takes over a reference the caller owns (+1), without retaining it.
  static Ref adopt(T* object) noexcept {
    Ref ref;
    ref.object_ = object;
    return ref;
  }

  T* get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Gives up ownership without releasing; the caller now owns the +1.
  T* detach() noexcept { return std::exchange(object_, nullptr); }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

  template <class U>
  friend bool operator==(const Ref& a, const Ref<U>& b) noexcept {
    return static_cast<const void*>(a.get()) == static_cast<const void*>(b.get());
  }
  friend bool operator==(const Ref& a, std::nullptr_t) noexcept { return a.object_ == nullptr; }
  friend bool operator==(const Ref& a, const T* b) noexcept { return a.object_ == b; }

 private:
  void retainObject() noexcept {
    if (object_) objc_retain(object_);
  }
  void releaseObject() noexcept {
    if (object_) objc_release(std::exchange(object_, nullptr));
  }

  T* object_ = nullptr;
};

// A zeroing weak reference. `load` gives a strong reference, or null once the
// object began deallocating (so it is already null inside `dealloc` and while
// the object's associated objects are released).
template <class T>
class Weak {
 public:
  Weak() noexcept = default;
  Weak(std::nullptr_t) noexcept {}
  Weak(T* object) { assign(object); }
  Weak(const Ref<T>& object) { assign(object.get()); }
  Weak& operator=(T* object) {
    assign(object);
    return *this;
  }
  Weak& operator=(const Ref<T>& object) {
    assign(object.get());
    return *this;
  }
  Weak& operator=(std::nullptr_t) noexcept {
    control_.reset();
    return *this;
  }

  Ref<T> load() const noexcept {
    if (!control_) return nullptr;
    Object* object = detail::weakLoadRetained(*control_);
    return Ref<T>::adopt(static_cast<T*>(object));
  }

 private:
  void assign(T* object) { control_ = object ? detail::weakControlFor(object) : nullptr; }

  std::shared_ptr<detail::WeakControl> control_;
};

// Checked downcast: null when `object` is not a `T` (its C++ type decides).
template <class T, class U>
Ref<T> dynamicCast(const Ref<U>& object) noexcept {
  return Ref<T>(dynamic_cast<T*>(object.get()));
}

}  // namespace objc

template <class T>
struct std::hash<objc::Ref<T>> {
  size_t operator()(const objc::Ref<T>& ref) const noexcept { return std::hash<T*>()(ref.get()); }
};
