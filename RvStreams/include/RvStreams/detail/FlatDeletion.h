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
// It costs nothing at creation: the producer and its shared pointer's counts
// are one allocation (std::allocate_shared), and the allocator's destroy is
// where the count is kept. A queued producer is not destroyed yet: its weak
// reference to itself keeps the allocation, and the queue is linked through
// the queued producers, so queuing takes no memory either.

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

#include "RvStreams/Producer.h"

namespace rv::detail {

// The bounds of the deletions that run one inside another on a thread. At
// the depth bound a level takes about 150 bytes of stack optimised and up to
// 1.6 KiB unoptimised under AddressSanitizer, so a chain of any depth fits a
// 512 KiB thread stack in every build; the stack bound keeps that so when
// the levels hold more between them (their own destructors' frames).
inline constexpr int kFlatDeletionDepth = 128;
inline constexpr std::ptrdiff_t kFlatDeletionStack = 256 * 1024;

class FlatDeletion {
 public:
  FlatDeletion(const FlatDeletion&) = delete;
  FlatDeletion& operator=(const FlatDeletion&) = delete;

  // Destroys `object` now, or queues it past the bounds. Called by
  // FlatAllocator::destroy, once the last owner has let go.
  static void letGo(FlatDeletion* object) noexcept;

 protected:
  FlatDeletion() = default;
  virtual ~FlatDeletion() = default;

 private:
  // A weak reference to the allocation that holds the object.
  virtual std::weak_ptr<const void> allocation() const noexcept = 0;

  FlatDeletion* nextQueued_ = nullptr;
};

// The base of the producers deleted this way.
template <class T>
class FlatDeletedProducer : public Producer<T>, public FlatDeletion {
 private:
  std::weak_ptr<const void> allocation() const noexcept final { return this->weak_from_this(); }
};

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
    FlatDeletion::letGo(object);
  }

  template <class U>
  bool operator==(const FlatAllocator<U>&) const noexcept {
    return true;
  }
};

// Makes a P (a FlatDeletedProducer) in one allocation with its counts.
template <class P, class... Args>
std::shared_ptr<P> makeFlatDeleted(Args&&... args) {
  return std::allocate_shared<P>(FlatAllocator<P>(), std::forward<Args>(args)...);
}

}  // namespace rv::detail
