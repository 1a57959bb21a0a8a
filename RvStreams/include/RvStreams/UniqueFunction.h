#pragma once

// A move-only type-erased callable (std::move_only_function arrives only with
// C++23). Callables up to three pointers in size that move without throwing are
// stored inline, so wrapping a small lambda allocates nothing.

#include <cstddef>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace rv {

template <class Signature>
class UniqueFunction;

template <class R, class... Args>
class UniqueFunction<R(Args...)> {
 public:
  UniqueFunction() noexcept = default;
  UniqueFunction(std::nullptr_t) noexcept {}

  template <class F, class D = std::decay_t<F>,
            class = std::enable_if_t<!std::is_same_v<D, UniqueFunction> &&
                                     std::is_invocable_r_v<R, D&, Args...>>>
  UniqueFunction(F&& f) {  // NOLINT(google-explicit-constructor): like std::function
    if constexpr (fitsInline<D>()) {
      ::new (static_cast<void*>(&storage_)) D(std::forward<F>(f));
      ops_ = &inlineOps<D>;
    } else {
      heap() = new D(std::forward<F>(f));
      ops_ = &heapOps<D>;
    }
  }

  UniqueFunction(UniqueFunction&& other) noexcept { moveFrom(other); }
  UniqueFunction& operator=(UniqueFunction&& other) noexcept {
    if (this != &other) {
      reset();
      moveFrom(other);
    }
    return *this;
  }
  UniqueFunction& operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }
  UniqueFunction(const UniqueFunction&) = delete;
  UniqueFunction& operator=(const UniqueFunction&) = delete;
  ~UniqueFunction() { reset(); }

  explicit operator bool() const noexcept { return ops_ != nullptr; }

  // Calls the stored callable; calling an empty function is a programming error.
  R operator()(Args... args) { return ops_->invoke(&storage_, std::forward<Args>(args)...); }

 private:
  struct Ops {
    R (*invoke)(void* storage, Args&&... args);
    void (*move)(void* from, void* to) noexcept;
    void (*destroy)(void* storage) noexcept;
  };
  struct Storage {
    alignas(std::max_align_t) unsigned char bytes[3 * sizeof(void*)];
  };

  template <class D>
  static constexpr bool fitsInline() {
    return sizeof(D) <= sizeof(Storage) && alignof(D) <= alignof(Storage) &&
           std::is_nothrow_move_constructible_v<D>;
  }

  template <class D>
  static constexpr Ops inlineOps = {[](void* s, Args&&... args) -> R {
                                      return std::invoke(*static_cast<D*>(s),
                                                         std::forward<Args>(args)...);
                                    },
                                    [](void* from, void* to) noexcept {
                                      ::new (to) D(std::move(*static_cast<D*>(from)));
                                      static_cast<D*>(from)->~D();
                                    },
                                    [](void* s) noexcept { static_cast<D*>(s)->~D(); }};

  template <class D>
  static constexpr Ops heapOps = {[](void* s, Args&&... args) -> R {
                                    return std::invoke(**static_cast<D**>(s),
                                                       std::forward<Args>(args)...);
                                  },
                                  [](void* from, void* to) noexcept {
                                    *static_cast<D**>(to) = *static_cast<D**>(from);
                                    *static_cast<D**>(from) = nullptr;
                                  },
                                  [](void* s) noexcept { delete *static_cast<D**>(s); }};

  void*& heap() noexcept { return *reinterpret_cast<void**>(&storage_); }

  void moveFrom(UniqueFunction& other) noexcept {
    if (other.ops_ != nullptr) {
      other.ops_->move(&other.storage_, &storage_);
      ops_ = other.ops_;
      other.ops_ = nullptr;
    }
  }
  void reset() noexcept {
    if (ops_ != nullptr) {
      const Ops* ops = ops_;
      ops_ = nullptr;
      ops->destroy(&storage_);
    }
  }

  Storage storage_;
  const Ops* ops_ = nullptr;
};

}  // namespace rv
