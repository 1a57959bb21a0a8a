#pragma once

// The small disposables every operator and subject builds on, and the
// `Disposables` factory through which most of them are obtained. All are safe
// to dispose from any thread any number of times; the work happens once.

#include <utility>
#include <vector>

#include "RvStreams/AtomicInt.h"
#include "RvStreams/CompositeDisposable.h"
#include "RvStreams/Disposable.h"
#include "RvStreams/Lock.h"
#include "RvStreams/UniqueFunction.h"

namespace rv {

// Does nothing. One shared instance, never released.
class NopDisposable final : public Disposable {
 public:
  static const Ref<Disposable>& shared();
  void dispose() noexcept override {}
};

// Runs an action on its first dispose.
class AnonymousDisposable final : public DisposeBase, public Cancelable {
 public:
  explicit AnonymousDisposable(UniqueFunction<void()> action) : action_(std::move(action)) {}

  void dispose() noexcept override {
    if (disposed_.fetchOr(1) == 0) {
      // Only the winner of the flag touches the field; it is already empty
      // while the action runs.
      UniqueFunction<void()> action = std::move(action_);
      action_ = nullptr;
      if (action) action();
    }
  }
  bool isDisposed() const noexcept override { return disposed_.testBits(1); }

 private:
  AtomicInt disposed_;
  UniqueFunction<void()> action_;
};

// Only a flag.
class BooleanDisposable final : public Cancelable {
 public:
  explicit BooleanDisposable(bool isDisposed = false) : disposed_(isDisposed ? 1 : 0) {}
  void dispose() noexcept override { disposed_.fetchOr(1); }
  bool isDisposed() const noexcept override { return disposed_.testBits(1); }

 private:
  AtomicInt disposed_;
};

// Disposes its first part, then its second, once.
class BinaryDisposable final : public DisposeBase, public Cancelable {
 public:
  BinaryDisposable(Ref<Disposable> first, Ref<Disposable> second)
      : first_(std::move(first)), second_(std::move(second)) {}

  void dispose() noexcept override {
    if (disposed_.fetchOr(1) == 0) {
      if (first_) first_->dispose();
      if (second_) second_->dispose();
      first_.reset();
      second_.reset();
    }
  }
  bool isDisposed() const noexcept override { return disposed_.testBits(1); }

 private:
  AtomicInt disposed_;
  Ref<Disposable> first_;
  Ref<Disposable> second_;
};

// Holds one inner disposable, assigned exactly once. State bits: 1 disposed,
// 2 set. A disposable assigned after dispose is disposed at once.
class SingleAssignmentDisposable final : public DisposeBase, public Cancelable {
 public:
  static Ref<SingleAssignmentDisposable> create() {
    return std::make_shared<SingleAssignmentDisposable>();
  }

  // A second assignment stops the process.
  void setDisposable(Ref<Disposable> disposable) noexcept {
    disposable_ = std::move(disposable);
    const int32_t old = state_.fetchOr(2);
    if ((old & 2) != 0) fatalError("oldState.disposable != nil");
    if ((old & 1) != 0) {
      Ref<Disposable> taken = std::move(disposable_);
      disposable_.reset();
      if (taken) taken->dispose();
    }
  }

  void dispose() noexcept override {
    const int32_t old = state_.fetchOr(1);
    if ((old & 1) != 0) return;
    if ((old & 2) != 0) {
      Ref<Disposable> taken = std::move(disposable_);
      disposable_.reset();
      if (!taken) fatalError("Disposable not set");
      taken->dispose();
    }
  }

  bool isDisposed() const noexcept override { return state_.testBits(1); }

 private:
  AtomicInt state_;
  Ref<Disposable> disposable_;
};

// Removes one subscription from its owner (a subject). Holds the owner weakly
// and keeps no flag: every dispose asks the owner again with the same key.
template <class Key>
class SubscriptionDisposable final : public Disposable {
 public:
  SubscriptionDisposable(Weak<SynchronizedUnsubscribeType<Key>> owner, Key key)
      : owner_(std::move(owner)), key_(key) {}

  void dispose() noexcept override {
    if (auto owner = owner_.lock()) owner->synchronizedUnsubscribe(key_);
  }

 private:
  Weak<SynchronizedUnsubscribeType<Key>> owner_;
  Key key_;
};

// Factory operations.
struct Disposables {
  // The shared disposable that does nothing.
  static Ref<Disposable> create() { return NopDisposable::shared(); }

  // Runs `action` on the first dispose.
  static Ref<Cancelable> create(UniqueFunction<void()> action) {
    return std::make_shared<AnonymousDisposable>(std::move(action));
  }

  static Ref<Cancelable> create(Ref<Disposable> first, Ref<Disposable> second) {
    return std::make_shared<BinaryDisposable>(std::move(first), std::move(second));
  }

  static Ref<Cancelable> create(Ref<Disposable> d1, Ref<Disposable> d2, Ref<Disposable> d3) {
    return std::make_shared<CompositeDisposable>(std::move(d1), std::move(d2), std::move(d3));
  }

  // Three named disposables and a rest: the composite holds the rest first,
  // then the three named ones.
  template <class... Rest>
  static Ref<Cancelable> create(Ref<Disposable> d1, Ref<Disposable> d2, Ref<Disposable> d3,
                                Ref<Disposable> r1, Rest... rest) {
    std::vector<Ref<Disposable>> all{std::move(r1), Ref<Disposable>(std::move(rest))...};
    all.push_back(std::move(d1));
    all.push_back(std::move(d2));
    all.push_back(std::move(d3));
    return std::make_shared<CompositeDisposable>(std::move(all));
  }

  // Exactly two: a binary disposable; any other count: a composite.
  static Ref<Cancelable> create(std::vector<Ref<Disposable>> disposables) {
    if (disposables.size() == 2) return create(disposables[0], disposables[1]);
    return std::make_shared<CompositeDisposable>(std::move(disposables));
  }

  Disposables() = delete;
};

}  // namespace rv
