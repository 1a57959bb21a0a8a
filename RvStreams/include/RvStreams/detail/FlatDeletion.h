#pragma once

// Deleting producers that hold producers of their own kind without bound: a
// concatenation whose first source is a concatenation whose first source is
// another, and so on. Subscribing drains such a chain in place, so it can be
// built a million levels deep; deleting it destructor inside destructor would
// then take a few hundred bytes of stack for every level (more than a
// kilobyte unoptimised under AddressSanitizer).
//
// So each thread counts the deletions of these producers that run one inside
// another. While they nest fewer than kFlatDeletionDepth deep and have taken
// less than kFlatDeletionStack bytes of stack below the outermost one, a
// deletion runs there and then, as a plain destructor would: whoever lets go
// of a chain sees all of that chain's destructors finish before it goes on,
// which is what a guard into a registry its owner frees next, or a destructor
// that relies on a lock its owner holds, needs. A deletion past either bound
// is queued instead, and the innermost deletion that ran in place, the one
// that let it go, runs the queue before it returns: one queued deletion after
// another, on the same stack, what each lets go before its later siblings.
// Only the destructors past the bound run after the destructor that let them
// go has returned; they still run before every deletion within the bound
// returns.
//
// It costs nothing at creation and little at deletion: the producer and its
// shared pointer's counts are one allocation (std::allocate_shared), and the
// allocator's destroy, inline, keeps the count. A queued producer is not
// destroyed yet: its weak reference to itself keeps the allocation, and the
// queue is linked through the queued producers, so queuing takes no memory
// either.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace rv::detail {

// The bounds of the deletions that run one inside another on a thread. A
// level of a chain takes 50 to 110 bytes of stack optimised, up to 330 under
// ThreadSanitizer and 1.5 KiB unoptimised under AddressSanitizer, so that at
// the depth bound a chain of any depth fits a 512 KiB thread stack in every
// build; the stack bound keeps that so when the levels hold more between
// them (their own destructors' frames).
inline constexpr int kFlatDeletionDepth = 128;
inline constexpr std::uintptr_t kFlatDeletionStack = 256 * 1024;

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

// This thread's deletions: how many run one inside another, the frame of
// the outermost (stacks grow down here), and those queued past the bounds
// that no deletion has run yet, in the order they were let go.
struct FlatDeletions {
  int depth = 0;
  std::uintptr_t outermostFrame = 0;
  FlatDeletion* queued = nullptr;
  FlatDeletion* lastQueued = nullptr;

  // Whether a deletion that starts at `frame` nests too deep. A frame above
  // the outermost, or on another stack, counts as too deep.
  bool pastTheBounds(std::uintptr_t frame) const noexcept {
    return depth >= kFlatDeletionDepth || frame > outermostFrame ||
           outermostFrame - frame >= kFlatDeletionStack;
  }

  void queue(FlatDeletion* object, void (*destroy)(FlatDeletion*) noexcept) noexcept;
  // Runs the queue, and what the queued deletions queue, at this depth.
  void runQueue() noexcept;
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
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (deletions.depth == 0) {
      deletions.outermostFrame = frame;
    } else if (deletions.pastTheBounds(frame)) {
      deletions.queue(object, &destroyQueued<P>);
      return;
    }
    ++deletions.depth;
    object->~P();
    // Only what this deletion let go past the bounds can be queued here.
    if (deletions.queued != nullptr) deletions.runQueue();
    --deletions.depth;
  }

 private:
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
