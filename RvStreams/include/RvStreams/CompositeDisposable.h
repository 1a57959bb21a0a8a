#pragma once

// A group of disposables: members can be added (getting a key) and removed one
// by one; disposing the group disposes every member once. Members are always
// disposed after the lock is released, on the calling thread.

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "RvStreams/Bag.h"
#include "RvStreams/Disposable.h"
#include "RvStreams/Lock.h"

namespace rv {

class CompositeDisposable : public DisposeBase, public Cancelable {
 public:
  struct DisposeKey {
    BagKey key;
    bool operator==(const DisposeKey&) const = default;
  };

  CompositeDisposable() : disposables_(std::in_place) {}
  CompositeDisposable(Ref<Disposable> d1, Ref<Disposable> d2) : CompositeDisposable() {
    disposables_->insert(std::move(d1));
    disposables_->insert(std::move(d2));
  }
  CompositeDisposable(Ref<Disposable> d1, Ref<Disposable> d2, Ref<Disposable> d3)
      : CompositeDisposable(std::move(d1), std::move(d2)) {
    disposables_->insert(std::move(d3));
  }
  // The four named members first, then the rest, in order.
  CompositeDisposable(Ref<Disposable> d1, Ref<Disposable> d2, Ref<Disposable> d3,
                      Ref<Disposable> d4, std::vector<Ref<Disposable>> rest)
      : CompositeDisposable(std::move(d1), std::move(d2), std::move(d3)) {
    disposables_->insert(std::move(d4));
    for (auto& d : rest) disposables_->insert(std::move(d));
  }
  explicit CompositeDisposable(std::vector<Ref<Disposable>> disposables) : CompositeDisposable() {
    for (auto& d : disposables) disposables_->insert(std::move(d));
  }

  static Ref<CompositeDisposable> create() { return std::make_shared<CompositeDisposable>(); }

  // Adds a member and returns its key. When the group is already disposed,
  // disposes `disposable` at once and returns none.
  std::optional<DisposeKey> insert(Ref<Disposable> disposable) {
    std::optional<DisposeKey> key;
    {
      LockGuard guard(lock_);
      if (disposables_) key = DisposeKey{disposables_->insert(disposable)};
    }
    if (!key) disposable->dispose();
    return key;
  }

  // Removes the member with `key` and disposes it; nothing when the key is
  // not there or the group is disposed.
  void remove(DisposeKey key) {
    std::optional<Ref<Disposable>> member;
    {
      LockGuard guard(lock_);
      if (disposables_) member = disposables_->removeKey(key.key);
    }
    if (member) (*member)->dispose();
  }

  // The number of members; 0 once disposed.
  std::size_t count() const {
    LockGuard guard(lock_);
    return disposables_ ? disposables_->count() : 0;
  }

  bool isDisposed() const noexcept override {
    LockGuard guard(lock_);
    return !disposables_;
  }

  void dispose() noexcept override {
    std::optional<Bag<Ref<Disposable>>> taken;
    {
      LockGuard guard(lock_);
      taken.swap(disposables_);
    }
    if (taken) disposeEach(*taken);
  }

 private:
  mutable RecursiveLock lock_;
  std::optional<Bag<Ref<Disposable>>> disposables_ KX_GUARDED_BY(lock_);
};

}  // namespace rv
