#pragma once

// The observers of a subject, as an immutable snapshot that delivery reads
// without a lock and without touching a reference count.
//
// Writers (subscribe, unsubscribe, stop, dispose) change the keyed bag under
// the owner's lock and publish a fresh snapshot: nothing for no observer, the
// observer itself for one, an array in the bag's visit order for more. A
// reader announces the snapshot it is about to read in one of its thread's
// hazard slots and checks that it is still the published one. What a writer
// replaces (the old snapshot, a removed observer) is released after the lock
// by the writer, unless a reader still announces it: then it waits in a list
// that the next reader to finish, or the next writer, releases. Observers are
// therefore let go as soon as no delivery that saw them is still running, as
// with a copied bag.
//
// A thread has a few slots; a delivery nested deeper than that takes the
// owner's lock briefly and keeps the snapshot alive by reference instead.
//
// Announcing costs a full fence, unless only one thread ever delivers for a
// set (the common case): that thread announces with a plain store, and a
// writer on another thread first makes every thread's pending stores visible
// with one process-wide barrier (membarrier) before it looks at the slots.
// A set read by a second thread, or changed by another thread while its one
// reader announces with plain stores, goes back to fenced announcements for
// good: one barrier per set, not one per change.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "RvStreams/Bag.h"
#include "RvStreams/Base.h"
#include "RvStreams/Lock.h"
#include "RvStreams/ObserverType.h"
#include "RvStreams/ProcessBarrier.h"

namespace rv {

namespace detail {

inline constexpr unsigned kHazardSlots = 8;

// One thread's announcements, in one cache line; records are never freed and
// pass to a new thread when their thread ends.
struct alignas(64) HazardRecord {
  std::atomic<uintptr_t> slots[kHazardSlots] = {};
  std::atomic<bool> inUse{false};
  HazardRecord* next = nullptr;
};

struct HazardThread {
  HazardRecord* record = nullptr;
  unsigned depth = 0;  // slots in use, innermost last
};

inline constinit thread_local HazardThread tHazardThread{};

// Gives the calling thread a record; null once the thread is ending.
HazardRecord* attachHazardRecord() noexcept;

// What waited for its readers, and the check that releases what no reader
// announces any more.
extern std::atomic<std::size_t> gRetiredSnapshots;
void reclaimRetiredSnapshots() noexcept;

// Who delivers for a set: nobody yet, one thread's record, or several
// threads (shared; settled once a barrier has followed that change, so no
// plain-store announcement can be pending any more).
inline constexpr uintptr_t kNoReader = 0;
inline constexpr uintptr_t kSharedReaders = 1;
inline constexpr uintptr_t kSettledReaders = 2;

// Records that the thread of `record` delivers for the set of `readers`.
void noteReader(std::atomic<uintptr_t>& readers, uintptr_t record) noexcept;

// What a writer that replaced a snapshot of a set must do before looking at
// the slots, decided after the replacement from the set's readers.
struct WriterBarrier {
  bool needed = false;
  // False when no thread has ever read the set: every reader announces itself
  // before it reads, so nothing replaced now can be held by one.
  bool look = true;
  std::atomic<uintptr_t>* settle = nullptr;  // readers to mark settled
  uintptr_t from = kNoReader;                // what they were when looked at

  static WriterBarrier after(std::atomic<uintptr_t>& readers) noexcept {
    const uintptr_t state = readers.load(std::memory_order_seq_cst);
    WriterBarrier barrier;
    if (state == kNoReader) {
      barrier.look = false;
      return barrier;
    }
    if (state == kSettledReaders) return barrier;
    if (state == reinterpret_cast<uintptr_t>(tHazardThread.record)) return barrier;
    // Another thread's plain announcements, or several readers': after the
    // barrier the set settles on fenced announcements, so a set changed from
    // threads other than its reader pays for one barrier, not one per change.
    barrier.needed = true;
    barrier.settle = &readers;
    barrier.from = state;
    return barrier;
  }

  void run() const noexcept {
    if (!needed) return;
    heavyBarrier();
    if (settle != nullptr) {
      uintptr_t seen = from;
      if (!settle->compare_exchange_strong(seen, kSettledReaders, std::memory_order_seq_cst) &&
          seen == kSharedReaders) {
        settle->compare_exchange_strong(seen, kSettledReaders, std::memory_order_seq_cst);
      }
    }
  }
};

// Releases `owner` (what kept the snapshot published as `key` alive) now,
// unless a reader still announces `key`; then once none does. Call it
// without any lock held: releasing runs observers' destructors.
void retireSnapshot(uintptr_t key, std::shared_ptr<const void> owner) noexcept;

// Publishes `key` in `published`, which held `old`. Replacing a snapshot is
// ordered before the writer's later look at the readers' slots (every such
// look is a sequentially consistent load); publishing over nothing needs no
// such order.
inline void publish(std::atomic<uintptr_t>& published, uintptr_t old, uintptr_t key) noexcept {
  if (old == 0) {
    published.store(key, std::memory_order_release);
  } else {
    published.exchange(key, std::memory_order_seq_cst);
  }
}

// Announces in `slot` the snapshot published in `published` (first read as
// `key`) and returns the one announced once it is still the published one.
inline uintptr_t announceIn(std::atomic<uintptr_t>& slot, const std::atomic<uintptr_t>& published,
                            uintptr_t key) noexcept {
  for (;;) {
    slot.store(key, std::memory_order_seq_cst);
    const uintptr_t again = published.load(std::memory_order_seq_cst);
    if (again == key) return key;
    key = again;
    if (key == 0) return 0;
  }
}

// Ends the innermost announcement of this thread, and releases what waited
// for it.
[[gnu::always_inline]] inline void leave(std::atomic<uintptr_t>& slot) noexcept {
  slot.store(0, std::memory_order_release);
  --tHazardThread.depth;
  if (gRetiredSnapshots.load(std::memory_order_relaxed) != 0) reclaimRetiredSnapshots();
}

// What a change of a set under its owner's lock replaced, retired when this
// goes out of scope: declare it before the lock guard. A key of 0 is only
// released.
class RetiredSnapshots {
 public:
  RetiredSnapshots() = default;
  RetiredSnapshots(const RetiredSnapshots&) = delete;
  RetiredSnapshots& operator=(const RetiredSnapshots&) = delete;
  ~RetiredSnapshots() {
    if (count_ == 0 || !barrier_.look) return;  // the owners are released on the way out
    barrier_.run();
    for (std::size_t i = 0; i < count_; ++i) retireSnapshot(keys_[i], std::move(owners_[i]));
  }
  void setBarrier(WriterBarrier barrier) noexcept {
    barrier_.needed = barrier_.needed || barrier.needed;
    barrier_.look = barrier_.look && barrier.look;
    if (barrier.settle != nullptr) {
      barrier_.settle = barrier.settle;
      barrier_.from = barrier.from;
    }
  }
  void add(uintptr_t key, std::shared_ptr<const void> owner) noexcept {
    if (!owner) return;
    if (count_ == kCapacity) fatalError("Too many snapshots replaced under one lock");
    keys_[count_] = key;
    owners_[count_++] = std::move(owner);
  }

 private:
  static constexpr std::size_t kCapacity = 3;
  std::size_t count_ = 0;
  uintptr_t keys_[kCapacity] = {};
  std::shared_ptr<const void> owners_[kCapacity];
  WriterBarrier barrier_;
};

}  // namespace detail

template <class T>
class ObserverSet {
  using Observers = std::vector<Ref<ObserverType<T>>>;

 public:
  // A snapshot held for delivery after the owner's lock is released:
  // announced in a hazard slot, or kept alive by reference (nested too deep,
  // or taken out of its set for a stop event).
  class Delivery {
   public:
    Delivery() = default;
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;
    ~Delivery() {
      if (slot_ != nullptr) detail::leave(*slot_);
      if (retire_ && barrier_.look) {
        barrier_.run();
        detail::retireSnapshot(key_, std::move(owner_));
      }
    }

    void deliver(const Event<T>& event) const noexcept { deliverTo(key_, event); }

   private:
    friend ObserverSet;
    uintptr_t key_ = 0;
    std::atomic<uintptr_t>* slot_ = nullptr;
    std::shared_ptr<const void> owner_;
    bool retire_ = false;
    detail::WriterBarrier barrier_;
  };

  ObserverSet() = default;
  ObserverSet(const ObserverSet&) = delete;
  ObserverSet& operator=(const ObserverSet&) = delete;

  // --- under the owner's lock ---

  BagKey insert(Ref<ObserverType<T>> observer, detail::RetiredSnapshots& retired) {
    const uintptr_t single = singleKey(observer.get());
    const BagKey key = bag_.insert(std::move(observer));
    if (bag_.count() == 1 && published_.load(std::memory_order_relaxed) == 0) {
      // The first observer is the snapshot itself: nothing is replaced.
      detail::publish(published_, 0, single);
    } else {
      republish(retired);
    }
    return key;
  }

  // Removes the observer under `key` (nothing when absent); it is released
  // with `retired`.
  void removeKey(BagKey key, detail::RetiredSnapshots& retired) {
    std::optional<Ref<ObserverType<T>>> removed = bag_.removeKey(key);
    if (!removed) return;
    const uintptr_t single = singleKey(removed->get());
    if (published_.load(std::memory_order_relaxed) == single) {
      // The removed observer was the snapshot: it is retired as such.
      detail::publish(published_, single, 0);
      if (bag_.count() != 0) republish(retired);
      retired.add(single, std::move(*removed));
      retired.setBarrier(detail::WriterBarrier::after(readers_));
    } else {
      republish(retired);
      retired.add(0, std::move(*removed));
    }
  }

  void removeAll(detail::RetiredSnapshots& retired) {
    const uintptr_t key = published_.load(std::memory_order_relaxed);
    retired.add(key, unpublish());
    retired.setBarrier(detail::WriterBarrier::after(readers_));
  }

  // Empties the set and hands its last snapshot to `delivery`, which
  // delivers to it after the lock and then retires it.
  void takeAll(Delivery& delivery) {
    delivery.key_ = published_.load(std::memory_order_relaxed);
    delivery.owner_ = unpublish();
    delivery.retire_ = true;
    delivery.barrier_ = detail::WriterBarrier::after(readers_);
  }

  // Holds the current snapshot for delivery after the lock.
  void hold(Delivery& delivery) const noexcept {
    const uintptr_t key = published_.load(std::memory_order_relaxed);
    if (key == 0) return;
    detail::HazardThread& thread = detail::tHazardThread;
    if ((thread.record != nullptr || detail::attachHazardRecord() != nullptr) &&
        thread.depth < detail::kHazardSlots) {
      detail::noteReader(readers_, reinterpret_cast<uintptr_t>(thread.record));
      delivery.slot_ = &thread.record->slots[thread.depth++];
      delivery.key_ = detail::announceIn(*delivery.slot_, published_, key);
    } else {
      delivery.key_ = key;
      delivery.owner_ = publishedOwner();
    }
  }

  std::size_t count() const noexcept { return bag_.count(); }

  // --- any thread, no lock: `lock` is the owner's, taken only when this
  // thread's delivery is nested too deep ---

  void deliver(const Event<T>& event, RecursiveLock& lock) const noexcept {
    uintptr_t key = published_.load(std::memory_order_acquire);
    if (key == 0) return;
    detail::HazardThread& thread = detail::tHazardThread;
    if (thread.record == nullptr || thread.depth == detail::kHazardSlots) [[unlikely]] {
      deliverHeld(event, lock);
      return;
    }
    std::atomic<uintptr_t>& slot = thread.record->slots[thread.depth++];
    const auto self = reinterpret_cast<uintptr_t>(thread.record);
    if (readers_.load(std::memory_order_relaxed) == self &&
        detail::gAsymmetricFences.load(std::memory_order_relaxed)) {
      key = announcePlain(slot, key, self);
    } else {
      detail::noteReader(readers_, self);
      key = detail::announceIn(slot, published_, key);
    }
    deliverTo(key, event);
    detail::leave(slot);
  }

 private:
  static constexpr uintptr_t kSingle = 1;

  // The only reader's announcement: a plain store, which a writer on another
  // thread makes visible with its barrier. When the set became shared
  // meanwhile, the announcement is made again with a fence.
  uintptr_t announcePlain(std::atomic<uintptr_t>& slot, uintptr_t key,
                          uintptr_t self) const noexcept {
    for (;;) {
      slot.store(key, std::memory_order_relaxed);
      std::atomic_signal_fence(std::memory_order_seq_cst);
      const uintptr_t again = published_.load(std::memory_order_acquire);
      if (again != key) {
        key = again;
        if (key == 0) return 0;
        continue;
      }
      if (readers_.load(std::memory_order_relaxed) == self) return key;
      return detail::announceIn(slot, published_, key);
    }
  }

  static uintptr_t singleKey(const ObserverType<T>* observer) noexcept {
    return reinterpret_cast<uintptr_t>(observer) | kSingle;
  }

  // The slow way: a thread without a record yet (or whose record is gone),
  // or one nested too deep.
  [[gnu::noinline]] void deliverHeld(const Event<T>& event, RecursiveLock& lock) const noexcept {
    Delivery delivery;
    {
      LockGuard guard(lock);
      hold(delivery);
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

  // What keeps the published snapshot alive beside the bag, for a holder
  // that outlives the lock: the array, or a reference to the one observer.
  std::shared_ptr<const void> publishedOwner() const {
    if (owner_) return owner_;
    std::shared_ptr<const void> single;
    bag_.forEach([&](const Ref<ObserverType<T>>& observer) { single = observer; });
    return single;
  }

  // Unpublishes the snapshot and returns what kept it alive.
  std::shared_ptr<const void> unpublish() {
    std::shared_ptr<const void> owner =
        owner_ ? std::shared_ptr<const void>(std::move(owner_)) : publishedOwner();
    owner_.reset();
    bag_.removeAll();
    detail::publish(published_, published_.load(std::memory_order_relaxed), 0);
    return owner;
  }

  // Publishes the bag's members as the new snapshot. A replaced array is
  // retired after the lock; a replaced single observer needs nothing while
  // the bag still holds it (its removal retires it).
  void republish(detail::RetiredSnapshots& retired) {
    const uintptr_t old = published_.load(std::memory_order_relaxed);
    uintptr_t key = 0;
    std::shared_ptr<const Observers> owner;
    const std::size_t count = bag_.count();
    if (count == 1) {
      bag_.forEach([&](const Ref<ObserverType<T>>& observer) { key = singleKey(observer.get()); });
    } else if (count > 1) {
      auto observers = std::make_shared<Observers>();
      observers->reserve(count);
      bag_.forEach([&](const Ref<ObserverType<T>>& observer) { observers->push_back(observer); });
      key = reinterpret_cast<uintptr_t>(observers.get());
      owner = std::move(observers);
    }
    detail::publish(published_, old, key);
    if ((old & kSingle) != 0 && old != key) {
      // Still in the bag; a reader may still be delivering to it as the
      // snapshot when it is removed later, so the retired entry holds it.
      bag_.forEach([&](const Ref<ObserverType<T>>& observer) {
        if (singleKey(observer.get()) == old) retired.add(old, observer);
      });
    }
    retired.add(old, std::exchange(owner_, std::move(owner)));
    if (old != 0) retired.setBarrier(detail::WriterBarrier::after(readers_));
  }

  Bag<Ref<ObserverType<T>>> bag_;
  std::atomic<uintptr_t> published_{0};
  // Who delivers without the lock: see kNoReader.
  mutable std::atomic<uintptr_t> readers_{detail::kNoReader};
  // The published array; null for no observer or one (the bag holds it).
  std::shared_ptr<const Observers> owner_;
};

}  // namespace rv
