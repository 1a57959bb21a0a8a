#pragma once

// The observers of a subject, as an immutable snapshot that delivery reads
// without a lock and without touching a reference count. An implementation
// detail of the subjects.
//
// Writers (subscribe, unsubscribe, stop, dispose, and destroying the set)
// change the keyed bag under the subject's lock and publish a fresh
// snapshot: nothing for no observer, the observer itself for one, an array
// in the bag's visit order for more. The snapshot is a hazard-slot protected
// pointer (concurrency/HazardSlots.h): delivery announces it in a slot of
// its thread, and what a change replaces (the old array, a removed observer)
// is retired, so it is released as soon as no delivery that saw it is still
// running, as with a copied bag.
//
// Destroying the set retires its last snapshot in the same way: a handler
// that destroys its subject keeps running, and the delivery that called it
// goes on through the same snapshot. Once a delivery holds its snapshot, it
// touches only the snapshot and its thread's own state, never the set.
//
// A delivery nested deeper than its thread's slots, or on a thread that has
// none, takes the subject's lock briefly and keeps the snapshot alive by
// reference instead.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "RvStreams/Bag.h"
#include "RvStreams/Base.h"
#include "RvStreams/Lock.h"
#include "RvStreams/ObserverType.h"
#include "concurrency/HazardSlots.h"

namespace rv::detail {

template <class T>
class ObserverSet {
  using Observers = std::vector<Ref<ObserverType<T>>>;

 public:
  // A snapshot held for delivery after the subject's lock is released:
  // announced in a hazard slot, or kept alive by reference (nested too deep,
  // or taken out of its set for a stop event).
  class Delivery {
   public:
    Delivery() = default;
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;

    void deliver(const Event<T>& event) const noexcept { deliverTo(key_, event); }

   private:
    friend ObserverSet;
    uintptr_t key_ = 0;
    std::optional<concurrency::HazardScope> scope_;
    std::shared_ptr<const void> owner_;
  };

  ObserverSet() = default;
  ObserverSet(const ObserverSet&) = delete;
  ObserverSet& operator=(const ObserverSet&) = delete;

  // No writer runs any more, but a delivery may still read the snapshot: on
  // this thread, when a handler destroys its subject.
  ~ObserverSet() {
    if (published_.current() == 0) return;
    std::shared_ptr<const void> owner = publishedOwner();
    const concurrency::ProtectedPointer::Replaced replaced = published_.exchange(0);
    if (replaced.mayBeAnnounced) concurrency::retire(replaced, std::move(owner));
  }

  // --- under the subject's lock, `lock`; what is replaced is released with
  // `retired`, which outlives the lock ---

  BagKey insert([[maybe_unused]] const RecursiveLock& lock, Ref<ObserverType<T>> observer,
                concurrency::DeferredRetire& retired) KX_REQUIRES(lock) {
    const BagKey key = bag_.insert(std::move(observer));
    republish(retired);
    return key;
  }

  // Removes the observer under `key` (nothing when absent).
  void removeKey([[maybe_unused]] const RecursiveLock& lock, BagKey key,
                 concurrency::DeferredRetire& retired) KX_REQUIRES(lock) {
    std::optional<Ref<ObserverType<T>>> removed = bag_.removeKey(key);
    if (!removed) return;
    if (published_.current() == singleKey(removed->get())) {
      // It was the snapshot itself.
      retired.add(published_.exchange(0), std::move(*removed));
      if (bag_.count() != 0) republish(retired);
    } else {
      republish(retired);
      retired.add({}, std::move(*removed));
    }
  }

  void removeAll([[maybe_unused]] const RecursiveLock& lock, concurrency::DeferredRetire& retired)
      KX_REQUIRES(lock) {
    unpublish(retired);
  }

  // Empties the set and hands its last snapshot to `delivery`, which keeps
  // it alive by reference.
  void takeAll([[maybe_unused]] const RecursiveLock& lock, Delivery& delivery,
               concurrency::DeferredRetire& retired) KX_REQUIRES(lock) {
    delivery.key_ = published_.current();
    delivery.owner_ = unpublish(retired);
  }

  // Holds the current snapshot for delivery after the lock.
  void hold([[maybe_unused]] const RecursiveLock& lock, Delivery& delivery) const noexcept
      KX_REQUIRES(lock) {
    const uintptr_t key = published_.current();
    if (key == 0) return;
    if (delivery.scope_.emplace().entered()) {
      delivery.key_ = published_.protectLocked(*delivery.scope_);
    } else {
      delivery.key_ = key;
      delivery.owner_ = publishedOwner();
    }
  }

  std::size_t count([[maybe_unused]] const RecursiveLock& lock) const noexcept KX_REQUIRES(lock) {
    return bag_.count();
  }

  // --- any thread, no lock: `lock` is the subject's, taken only when this
  // thread cannot announce ---

  void deliver(const Event<T>& event, RecursiveLock& lock) const noexcept {
    uintptr_t key = published_.peek();
    if (key == 0) return;
    concurrency::HazardScope scope(concurrency::HazardScope::ifAttached);
    if (!scope.entered()) [[unlikely]] {
      deliverHeld(event, lock);
      return;
    }
    deliverTo(published_.protect(scope, key), event);
  }

 private:
  static constexpr uintptr_t kSingle = 1;

  static uintptr_t singleKey(const ObserverType<T>* observer) noexcept {
    return reinterpret_cast<uintptr_t>(observer) | kSingle;
  }

  [[gnu::noinline]] void deliverHeld(const Event<T>& event, RecursiveLock& lock) const noexcept {
    Delivery delivery;
    {
      LockGuard guard(lock);
      hold(lock, delivery);
    }
    delivery.deliver(event);
  }

  static void deliverTo(uintptr_t key, const Event<T>& event) noexcept {
    if (key == 0) return;
    if ((key & kSingle) != 0) {
      reinterpret_cast<ObserverType<T>*>(key & ~kSingle)->on(event);
      return;
    }
    for (const Ref<ObserverType<T>>& observer : *reinterpret_cast<const Observers*>(key)) {
      observer->on(event);
    }
  }

  // What keeps the published snapshot alive beside the bag: the array, or a
  // reference to the one observer.
  std::shared_ptr<const void> publishedOwner() const {
    if (owner_) return owner_;
    const uintptr_t key = published_.current();
    std::shared_ptr<const void> single;
    bag_.forEach([&](const Ref<ObserverType<T>>& observer) {
      if (singleKey(observer.get()) == key) single = observer;
    });
    return single;
  }

  // Empties the set; returns what kept its last snapshot alive, which is
  // retired with `retired` too. The bag lets go of its observers here, under
  // the lock, but that owner still holds each of them.
  std::shared_ptr<const void> unpublish(concurrency::DeferredRetire& retired) {
    std::shared_ptr<const void> owner = publishedOwner();
    owner_.reset();
    bag_.removeAll();
    if (published_.current() != 0) retired.add(published_.exchange(0), owner);
    return owner;
  }

  // Publishes the bag's members as the new snapshot and retires the old one.
  void republish(concurrency::DeferredRetire& retired) {
    uintptr_t key = 0;
    std::shared_ptr<const Observers> array;
    const std::size_t count = bag_.count();
    if (count == 1) {
      bag_.forEach([&](const Ref<ObserverType<T>>& observer) { key = singleKey(observer.get()); });
    } else if (count > 1) {
      auto observers = std::make_shared<Observers>();
      observers->reserve(count);
      bag_.forEach([&](const Ref<ObserverType<T>>& observer) { observers->push_back(observer); });
      key = reinterpret_cast<uintptr_t>(observers.get());
      array = std::move(observers);
    }
    if (key == published_.current()) return;
    // A replaced single observer may still be in the bag, but a delivery may
    // be running it as the snapshot when it is removed later: the retired
    // entry holds it too.
    std::shared_ptr<const void> old = publishedOwner();
    owner_ = std::move(array);
    retired.add(published_.exchange(key), std::move(old));
  }

  Bag<Ref<ObserverType<T>>> bag_;
  concurrency::ProtectedPointer published_;
  // The published array; null for no observer or one (the bag holds it).
  std::shared_ptr<const Observers> owner_;
};

}  // namespace rv::detail
