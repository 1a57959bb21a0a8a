#pragma once

// What subscribers hold: collects subscriptions and disposes all of them, in
// insertion order, when the bag is destroyed. It has no public dispose; a
// holder that wants to end its subscriptions early replaces the bag.

#include <concepts>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/Disposable.h"
#include "RvStreams/Lock.h"

namespace rv {

class DisposeBag : public DisposeBase {
 public:
  DisposeBag() = default;
  explicit DisposeBag(std::vector<Ref<Disposable>> disposing)
      : disposables_(std::move(disposing)) {}
  // Fills the bag with what `builder` returns.
  template <class Builder>
  requires std::is_invocable_r_v<std::vector<Ref<Disposable>>, Builder>
  explicit DisposeBag(Builder&& builder) : disposables_(std::forward<Builder>(builder)()) {}

  DisposeBag(const DisposeBag&) = delete;
  DisposeBag& operator=(const DisposeBag&) = delete;
  ~DisposeBag() { dispose(); }

  static Ref<DisposeBag> create() { return std::make_shared<DisposeBag>(); }

  // Adds one disposable; once the bag is disposed, disposes it at once.
  void insert(Ref<Disposable> disposable) {
    bool disposeNow = false;
    {
      LockGuard guard(lock_);
      if (isDisposed_) {
        disposeNow = true;
      } else {
        disposables_.push_back(disposable);
      }
    }
    if (disposeNow) disposable->dispose();
  }

  // Adds several; once the bag is disposed, disposes them in order (under the
  // bag's lock).
  void insert(std::vector<Ref<Disposable>> disposables) {
    LockGuard guard(lock_);
    if (isDisposed_) {
      for (auto& d : disposables) d->dispose();
    } else {
      for (auto& d : disposables) disposables_.push_back(std::move(d));
    }
  }
  // Adds what `builder` returns, in order, as the array form does.
  template <class Builder>
  requires std::is_invocable_r_v<std::vector<Ref<Disposable>>, Builder>
  void insert(Builder&& builder) { insert(std::forward<Builder>(builder)()); }
  template <class... More>
  requires(sizeof...(More) > 0 && (std::convertible_to<More, Ref<Disposable>> &&
                                   ...)) void insert(Ref<Disposable> first, More&&... more) {
    insert(std::vector<Ref<Disposable>>{std::move(first),
                                        Ref<Disposable>(std::forward<More>(more))...});
  }

  // True only while the bag is being destroyed.
  bool isDisposed() const {
    LockGuard guard(lock_);
    return isDisposed_;
  }

 private:
  void dispose() noexcept {
    std::vector<Ref<Disposable>> taken;
    {
      LockGuard guard(lock_);
      taken.swap(disposables_);
      isDisposed_ = true;
    }
    for (auto& d : taken) d->dispose();
  }

  mutable RecursiveLock lock_;
  std::vector<Ref<Disposable>> disposables_ KX_GUARDED_BY(lock_);
  bool isDisposed_ KX_GUARDED_BY(lock_) = false;
};

// Puts a subscription into a bag.
inline void disposed(Ref<Disposable> disposable, DisposeBag& bag) {
  bag.insert(std::move(disposable));
}

}  // namespace rv
