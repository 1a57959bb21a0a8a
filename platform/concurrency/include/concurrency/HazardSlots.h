#pragma once

// Hazard slots: lock-free reads of an object that writers replace, without a
// reference count on the reading path.
//
// A ProtectedPointer holds a key (the address of an immutable object, maybe
// with tag bits) that writers publish under a lock of their own. A reader
// announces the key it is about to use in one of its thread's slots and
// checks that it is still the published one; from then on a writer that
// replaces the key sees the announcement and does not release the object.
// The writer hands what kept the object alive to retire(), which releases it
// at once when no slot announces the key, or else leaves it waiting in a list
// together with the slots that announce it, and flags those slots: the
// thread leaving a flagged slot strikes that slot from every waiting entry
// and releases the entries left waiting for no slot. So an object is let go
// as soon as the reads that could have seen it end, and a waiting entry
// costs nothing to threads that never announced it.
//
// The same key may be announced again while a retired copy waits: the same
// object published again (a one-observer snapshot republished), or through
// another pointer (an observer of two subjects), or by a late reader that
// read the key before it was replaced and announces it afterwards. None of
// these keeps the entry waiting: a read that announces the key after
// retire() looked either finds it no longer published where it read it, and
// moves on without using the object, or finds it published again, by a
// writer that keeps the object alive on its own and retires it in turn. Two
// entries for the same object through the same owner become one.
//
// Orderings (see AsymmetricFence.h for the light and heavy sides):
// - Announce against replace. The reader stores its slot and then loads the
//   published key; the writer replaces the key and then loads the slots. A
//   pointer read by one thread only (the common case) lets that thread
//   announce with a plain store (light side); a writer on another thread
//   first marks the pointer shared, runs the heavy fence, and then marks it
//   settled: from "shared" on, every announcement is fenced, and a writer
//   that finds the pointer settled knows that no plain announcement is still
//   unseen. A pointer read by several threads is fenced on both sides.
// - Leave against retire. The reader clears its slot and then loads its
//   flags (light side); the writer lists the entry, flags the slots and then,
//   after the heavy fence, loads them again. Either the writer sees the slot
//   cleared or reused, and strikes it, or the reader sees the flag and
//   strikes it when it leaves.
//
// During the handover after a failed barrier (AsymmetricFence.h) a plain
// announcement may stay unseen while its thread runs. Only the thread that
// read a pointer alone can have made one, and only of a key the change that
// marked the pointer shared replaced or published; so when the heavy fence
// answers false, that change and the next one say so
// (Replaced::mayBeUnseen), and retire() keeps what they replaced until a
// heavy fence ordered after it answers true, when it retires it as usual.
// Later changes settle the pointer, and after the failure a pointer's first
// reader settles it at once. A plain leave may stay unseen too: the entry
// then waits for that slot's next leave, or for such a heavy fence, when the
// slots are looked at again.
// That heavy fence is polled (heavyFencePolled in AsymmetricFence.h) by the
// retire() calls that follow, and by the flagged or fenced leaves at most
// once a millisecond between them, on any thread, one round at a time, each
// round for what was kept before it began. A round ends once every thread
// attached before the failure has run a fenced step, has ended, has been off
// its processor (blocked in a system call, waiting, or preempted), or,
// found running, has answered a signal.
// How much, and how long: two objects per pointer read alone by a thread
// when the barrier failed, one entry per slot. With those calls coming
// every millisecond or so, what is kept goes within two rounds: about 10 ms
// while every such thread blocks, is preempted, or runs and can be
// signalled. A thread blocked for good therefore keeps nothing, nor does one
// busy for good. What holds it longer: a thread that runs on a processor of
// its own without once leaving it while the signal cannot be sent to it (it
// blocks the signal, the program has taken it, or there is no /proc to show
// the thread's mask), or a kernel that refuses both the thread clocks and
// /proc; then it waits until that thread reaches a fenced step, is off its
// processor at a poll, or ends.
//
// A read announces through a HazardScope, which takes one of its thread's
// kHazardSlots slots, innermost last, and leaves it when the scope ends; a
// read nested deeper must keep the object alive some other way (a reference
// taken under the writers' lock). A thread's slots are in a record of its
// own (detail/HazardRecord.h), never freed, which passes to a new thread
// when theirs ends.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "concurrency/AsymmetricFence.h"
#include "concurrency/detail/HazardRecord.h"

namespace concurrency {

class ProtectedPointer;

// An announcement in the calling thread's next slot, taken when the scope is
// made and left when it ends. A thread's scopes nest: each ends before the
// one made before it (debug builds check it). A thread whose slots are all
// in use, or that is ending, gets no slot: the read must keep the object
// alive some other way. Reading through a scope without a slot stops the
// process.
class HazardScope {
 public:
  // Selects the constructor for a path that must not attach the thread.
  struct IfAttached {
    explicit IfAttached() = default;
  };
  static constexpr IfAttached ifAttached{};

  // Takes the calling thread's next slot, attaching the thread first when it
  // has no slots yet.
  HazardScope() noexcept {
    if (detail::tHazardThread.record != nullptr || detail::attachHazardRecord() != nullptr) take();
  }

  // As above, without attaching: no slot for a thread that has none yet.
  [[gnu::always_inline]] explicit HazardScope(IfAttached) noexcept { take(); }

  HazardScope(const HazardScope&) = delete;
  HazardScope& operator=(const HazardScope&) = delete;
  [[gnu::always_inline]] ~HazardScope() {
    if (record_ != nullptr) leave();
  }

  // Whether the scope holds a slot, which a read through it needs.
  bool entered() const noexcept { return record_ != nullptr; }

 private:
  friend ProtectedPointer;

  // Takes the thread's next slot when it has slots and one is free.
  [[gnu::always_inline]] void take() noexcept {
    detail::HazardThread& thread = detail::tHazardThread;
    if (thread.record == nullptr || thread.depth == kHazardSlots) [[unlikely]]
      return;
    record_ = thread.record;
    index_ = thread.depth++;
  }

  // Ends the announcement and releases what waited for it. Touches only the
  // thread's own record, unless a flag sends it to the waiting entries.
  [[gnu::always_inline]] void leave() noexcept {
    detail::HazardThread& thread = detail::tHazardThread;
#ifndef NDEBUG
    if (index_ + 1 != thread.depth || record_ != thread.record) detail::hazardScopeOutOfOrder();
#endif
    --thread.depth;
    if (asymmetricFences()) [[likely]] {
      record_->slots[index_].store(0, std::memory_order_release);
      lightFence();
      if ((record_->pending.load(std::memory_order_relaxed) & (1u << index_)) == 0) [[likely]]
        return;
    }
    detail::leaveSlow(*record_, index_);
  }

  detail::HazardRecord* record_ = nullptr;
  unsigned index_ = 0;
};

class ProtectedPointer {
 public:
  // What a writer's change replaced. `mayBeAnnounced` is false when no
  // thread has ever announced this pointer: the replaced object can be
  // released without looking at the slots. `mayBeUnseen`: an announcement
  // of it may not be visible yet (see above).
  struct Replaced {
    uintptr_t key = 0;
    bool mayBeAnnounced = false;
    bool mayBeUnseen = false;
  };

  ProtectedPointer() = default;
  ProtectedPointer(const ProtectedPointer&) = delete;
  ProtectedPointer& operator=(const ProtectedPointer&) = delete;

  // --- readers: any thread, no lock ---

  // The key published now (0 for none), for a first look.
  uintptr_t peek() const noexcept { return published_.load(std::memory_order_acquire); }

  // Announces in `scope`, which must hold a slot, the key published now,
  // first read as `key` (not 0), and returns the announced key once it is
  // still the published one, or 0 when nothing is published any more. The
  // announcement ends with the scope.
  [[gnu::always_inline]] uintptr_t protect(HazardScope& scope, uintptr_t key) const noexcept {
    if (scope.record_ == nullptr) [[unlikely]]
      detail::hazardScopeWithoutSlot();
    detail::HazardRecord& record = *scope.record_;
    const unsigned index = scope.index_;
    const auto self = reinterpret_cast<uintptr_t>(&record);
    if (readers_.load(std::memory_order_relaxed) == self && asymmetricFences()) [[likely]] {
      record.slots[index].store(key, std::memory_order_release);
      lightFence();
      if (published_.load(std::memory_order_acquire) == key &&
          readers_.load(std::memory_order_relaxed) == self) [[likely]] {
        return key;
      }
    }
    return protectSlow(record, index, key);
  }

  // --- writers: under their lock ---

  // The key published now.
  uintptr_t current() const noexcept { return published_.load(std::memory_order_relaxed); }

  // As protect, for a reader that holds the writers' lock: announces the key
  // published now (0 for none) in `scope`, which must hold a slot.
  uintptr_t protectLocked(HazardScope& scope) const noexcept;

  // Publishes `key` and returns what it replaced. When it replaced a key,
  // every announcement of that key made before is visible to retire() once
  // this returns, unless it says mayBeUnseen: may run the heavy fence (once
  // per pointer read plainly by a thread other than the caller's).
  Replaced exchange(uintptr_t key) noexcept;

 private:
  uintptr_t protectSlow(detail::HazardRecord& record, unsigned index, uintptr_t key) const noexcept;
  // Records that the thread of `record` announces this pointer.
  void noteReader(uintptr_t self) const noexcept;

  std::atomic<uintptr_t> published_{0};
  // Who announces: nobody yet, one thread's record (which may announce
  // plainly), several (kShared: fenced, but a plain announcement may still be
  // unseen; kHandover: one that the next change must keep too), or kSettled
  // (no plain announcement unseen any more).
  mutable std::atomic<uintptr_t> readers_{0};
};

// Releases `owner`, which keeps alive what a change replaced, once the reads
// that announce its key now have ended: at once when there are none (or it
// was never announced), or else on the thread whose read ends last.
// Call it after that change, without any lock held (releasing runs
// destructors).
void retire(ProtectedPointer::Replaced replaced, std::shared_ptr<const void> owner) noexcept;

// What changes made under a lock replaced, retired when this goes out of
// scope: declare it before the lock guard.
class DeferredRetire {
 public:
  DeferredRetire() = default;
  DeferredRetire(const DeferredRetire&) = delete;
  DeferredRetire& operator=(const DeferredRetire&) = delete;
  ~DeferredRetire() {
    for (std::size_t i = 0; i < count_; ++i) {
      if (replaced_[i].mayBeAnnounced) retire(replaced_[i], std::move(owners_[i]));
    }
  }

  // Retires `owner` under `replaced`; an owner of nothing replaced (a key of
  // 0) is only released.
  void add(ProtectedPointer::Replaced replaced, std::shared_ptr<const void> owner) noexcept;

 private:
  static constexpr std::size_t kCapacity = 3;
  std::size_t count_ = 0;
  ProtectedPointer::Replaced replaced_[kCapacity] = {};
  std::shared_ptr<const void> owners_[kCapacity];
};

}  // namespace concurrency
