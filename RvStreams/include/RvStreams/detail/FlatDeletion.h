#pragma once

// Deleting producers that hold producers of their own kind without bound: a
// concatenation whose first source is a concatenation whose first source is
// another, and so on. Subscribing drains such a chain in place, so it can be
// built a million levels deep; deleting it destructor inside destructor would
// then take a few hundred bytes of stack for every level (more than two
// kilobytes unoptimised under AddressSanitizer).
//
// So each thread keeps count of the deletions of these producers that run one
// inside another on its own stack. A deletion that starts inside another runs
// there and then, as a plain destructor would, while
//   - it is at most the kFlatDeletionDepth-th of them, counting the outermost
//     as the first, and
//   - at least kFlatDeletionMargin bytes of the thread's stack are left below
//     its frame, room for whatever the levels' own destructors take;
// whoever lets go of a chain then sees all of that chain's destructors finish
// before it goes on, which is what a guard into a registry its owner frees
// next, or a destructor that relies on a lock its owner holds, needs. A
// deletion past either bound is queued instead, and the innermost deletion
// that ran in place, the one whose destructor let it go, runs it once that
// destructor has returned, before it returns itself: one queued deletion
// after another, on the same stack, what each lets go before its later
// siblings. It runs only what its own destructor queued, never what was
// queued before it started. So on a big stack C++ order holds to 128 levels
// in every build, and a small or nearly used stack is let go of level after
// level in constant stack.
//
// The thread's stack is learnt once, at its first deletion of one of these
// producers. A deletion whose frame is not on it (a fiber's stack, a signal's
// alternate stack) is a plain destructor and touches none of this state: a
// fiber that is suspended, abandoned or resumed on another thread in the
// middle of one leaves the thread's own deletions as they were. Where the
// stack cannot be learnt, every frame counts as on it and none has room: the
// outermost deletion runs in place and everything it lets go is queued, in
// constant stack.
//
// It costs nothing at creation and little at deletion: the producer and its
// shared pointer's counts are one allocation (std::allocate_shared), and the
// allocator's destroy, inline, checks the frame and keeps the count. A queued
// producer is not destroyed yet: its weak reference to itself keeps the
// allocation, and the queue is linked through the queued producers, so
// queuing takes no memory either.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace rv::detail {

// A level of a chain takes 110 to 170 bytes of stack optimised, up to 570
// under ThreadSanitizer and 1.5 KiB unoptimised under AddressSanitizer (about
// 2.7 KiB with an object between levels), so that 128 nested deletions fit a
// 512 KiB thread stack in every build.
inline constexpr int kFlatDeletionDepth = 128;
inline constexpr std::uintptr_t kFlatDeletionMargin = 64 * 1024;

// The base of the producers deleted this way: room for the queue's link.
class FlatDeletion {
 public:
  FlatDeletion(const FlatDeletion&) = delete;
  FlatDeletion& operator=(const FlatDeletion&) = delete;

 protected:
  // Both are set only when the producer is queued.
  FlatDeletion() noexcept {}
  ~FlatDeletion() = default;

 private:
  friend struct FlatDeletions;
  FlatDeletion* nextQueued_;
  void (*destroyQueued_)(FlatDeletion*) noexcept;
};

using FlatDestroy = void (*)(FlatDeletion*) noexcept;

// This thread's deletions: its stack (stacks grow down here), how many run
// one inside another on it, and those queued past the bounds that no deletion
// has run yet, in the order they were let go.
struct FlatDeletions {
  // The stack is [stackLow, stackLow + stackSize); both are 0 until learnt.
  std::uintptr_t stackLow = 0;
  std::uintptr_t stackSize = 0;
  // stackSize while no deletion runs on the stack, 0 while one does: a frame
  // within [stackLow, stackLow + idleSize) starts the outermost deletion.
  std::uintptr_t idleSize = 0;
  // A deletion inside another runs in place only at frames from here up.
  std::uintptr_t roomLow = 0;
  // The deletions running inside the outermost one.
  int nested = 0;
  bool learnt = false;
  FlatDeletion* queued = nullptr;
  FlatDeletion* lastQueued = nullptr;

  // Deletes what the inline path does not: the first deletion on the thread,
  // one inside another, and one on another stack. `inPlace` destroys the
  // object now, `later` once it has been queued.
  void destroyElsewhere(FlatDeletion* object, FlatDestroy inPlace, FlatDestroy later) noexcept;
  // Runs what was queued after `mark` (from the front if it is null), and
  // what those queue, at this depth.
  void runQueuedAfter(FlatDeletion* mark) noexcept;

 private:
  void learnTheStack() noexcept;
  void destroyOutermost(FlatDeletion* object, FlatDestroy inPlace) noexcept;
  void queue(FlatDeletion* object, FlatDestroy later) noexcept;
  FlatDeletion* takeQueuedAfter(FlatDeletion* mark) noexcept;
};

// Trivially destructible, so that a chain let go by another thread-local
// object's destructor at thread exit still finds it.
extern constinit thread_local FlatDeletions tFlatDeletions;

// The allocator std::allocate_shared makes these producers with: the shared
// pointer destroys its producer through it.
template <class V>
struct FlatAllocator {
  using value_type = V;

  FlatAllocator() = default;
  template <class U>
  FlatAllocator(const FlatAllocator<U>&) noexcept {}

  V* allocate(std::size_t n) { return std::allocator<V>().allocate(n); }
  void deallocate(V* p, std::size_t n) noexcept { std::allocator<V>().deallocate(p, n); }

  template <class P>
  void destroy(P* object) noexcept {
    static_assert(std::is_base_of_v<FlatDeletion, P>, "only flat-deleted producers");
    FlatDeletions& deletions = tFlatDeletions;
    const std::uintptr_t size = deletions.idleSize;
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // The outermost deletion on the thread's stack, once the stack is known.
    if (frame - deletions.stackLow < size) [[likely]] {
      deletions.idleSize = 0;
      object->~P();
      if (deletions.queued != nullptr) deletions.runQueuedAfter(nullptr);
      deletions.idleSize = size;
      return;
    }
    deletions.destroyElsewhere(object, &destroyInPlace<P>, &destroyQueued<P>);
  }

 private:
  template <class P>
  static void destroyInPlace(FlatDeletion* object) noexcept {
    static_cast<P*>(object)->~P();
  }

  template <class P>
  static void destroyQueued(FlatDeletion* queued) noexcept {
    auto* object = static_cast<P*>(queued);
    // Its weak reference to itself, which keeps the allocation now, goes
    // with the object: hold another until the destructor has returned.
    const auto allocation = object->weak_from_this();
    object->~P();
  }
};

// Makes a P (a producer deriving from FlatDeletion) in one allocation with
// its counts.
template <class P, class... Args>
std::shared_ptr<P> makeFlatDeleted(Args&&... args) {
  return std::allocate_shared<P>(FlatAllocator<P>(), std::forward<Args>(args)...);
}

}  // namespace rv::detail
