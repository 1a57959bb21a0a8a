#pragma once

// Deleting producers that hold producers of their own kind without bound: a
// concatenation whose first source is a concatenation whose first source is
// another, and so on. Subscribing drains such a chain in place, so it can be
// built a million levels deep, and deleting it is destructor inside
// destructor: a few hundred bytes of stack for every level (more than two
// kilobytes unoptimised under AddressSanitizer), all of them live at once.
//
// Each deletion is an ordinary destructor call, nested in the one that let
// go of it, so C++ order holds at every depth: whoever lets go of a chain
// sees all of its destructors finish before it goes on. What the depth
// changes is the stack the deeper ones run on, never their order:
//   - a stack the program gave us holds at most kFlatDeletionDepth of them
//     one inside another: the thread's own stack while kFlatDeletionRoom of
//     it is left below the frame; any other (a fiber's, a signal's alternate
//     stack, the thread's own where it cannot be learnt) only the outermost,
//     since how much of it is left is not known;
//   - the next deletion inside them is called on a stack segment of the
//     library's own (mapped with a guard below it) and returns to the
//     caller's stack once it has finished, as stack-growing runtimes do;
//     deletions inside it run in place on the segment while some room is
//     left there, and the next one continues on another segment.
// A thread keeps one segment for the next time once a chain has given it
// back (only its top pages stay in memory) and unmaps it when it ends; the
// others are unmapped when their chain has finished with them.
//
// A fiber may be suspended in a deletion, and resumed later or on another
// thread: its frames stay where they are, on its stack or a segment. A
// segment some thread's state may still name then is left mapped, its pages
// dropped, rather than given back; and deletions on the thread's other
// stacks below the frame of one suspended so run on segments until it has
// finished. The switch is announced to AddressSanitizer as a fiber switch,
// and to ThreadSanitizer as a switch to a fiber of its own for the segments
// of a chain that started on the thread's own stack. A walk by frame
// pointers or unwind tables goes on from a segment to the caller's frames; a
// fork on a segment leaves the child's thread there, to finish as the parent
// does.
//
// A chain never deeper than kFlatDeletionDepth on the thread's own stack
// costs what a plain destructor does: the producer and its shared pointer's
// counts are one allocation (std::allocate_shared), and the allocator's
// destroy, inline, checks the frame and keeps the thread's state.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace rv::detail {

// Levels of deletion one inside another on a stack the program gave us.
inline constexpr int kFlatDeletionDepth = 4;
// The stack a level may take on the thread's own stack, with its destructors
// and a signal's frame: a level takes 180 to 240 bytes optimised, up to 570
// under ThreadSanitizer and 2.7 KiB unoptimised under AddressSanitizer.
inline constexpr std::uintptr_t kFlatDeletionRoom = 32 * 1024;

// The base of the producers deleted this way.
class FlatDeletion {
 public:
  FlatDeletion(const FlatDeletion&) = delete;
  FlatDeletion& operator=(const FlatDeletion&) = delete;

 protected:
  FlatDeletion() noexcept = default;
  ~FlatDeletion() = default;
};

using FlatDestroy = void (*)(FlatDeletion*) noexcept;

// This thread's deletions. Trivially destructible, so that a chain let go by
// another thread-local object's destructor at thread exit still finds it.
struct FlatDeletions {
  // The thread's own stack (stacks grow down here) is [stackLow, stackLow +
  // stackSize), learnt at its first deletion; size 0 until then or when it
  // cannot be learnt.
  std::uintptr_t stackLow = 0;
  std::uintptr_t stackSize = 0;
  // stackSize while no deletion runs on the thread's stack, 0 while one does:
  // a frame within [stackLow, stackLow + idleSize) starts the outermost.
  std::uintptr_t idleSize = 0;
  // The deletions running inside the outermost one on the thread's stack.
  int nested = 0;
  bool learnt = false;
  // Set once the thread's end has unmapped the segment it kept: a segment
  // is then unmapped as soon as its chain has finished with it.
  bool ending = false;
  // Whether the thread's end is to unmap the segment it keeps.
  bool endWatched = false;
  // The frame of the outermost deletion running on another stack, 0 if none.
  std::uintptr_t elsewhere = 0;
  // The segment the innermost switch went to: its usable stack [segmentLow,
  // segmentLow + segmentSize), the lowest frame a deletion ran at there, how
  // many run one inside another there, and whether ThreadSanitizer is told
  // of it as a fiber.
  std::uintptr_t segmentLow = 0;
  std::uintptr_t segmentSize = 0;
  std::uintptr_t segmentLowest = 0;
  int segmentNested = 0;
  bool segmentFibers = false;
  // The segment kept for the next switch, if any.
  void* spare = nullptr;

  // Deletes what the inline path does not: the first deletion on the
  // thread, one inside another, and one on another stack or a segment.
  static void destroyElsewhere(FlatDeletion* object, FlatDestroy destroy) noexcept;
};

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
      deletions.idleSize = size;
      return;
    }
    FlatDeletions::destroyElsewhere(object, &destroyInPlace<P>);
  }

 private:
  template <class P>
  static void destroyInPlace(FlatDeletion* object) noexcept {
    static_cast<P*>(object)->~P();
  }
};

// Makes a P (a producer deriving from FlatDeletion) in one allocation with
// its counts.
template <class P, class... Args>
std::shared_ptr<P> makeFlatDeleted(Args&&... args) {
  return std::allocate_shared<P>(FlatAllocator<P>(), std::forward<Args>(args)...);
}

}  // namespace rv::detail
