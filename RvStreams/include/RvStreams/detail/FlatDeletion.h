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
// changes is the stack the deeper ones run on:
//   - a stack the program gave us holds at most kFlatDeletionDepth of them
//     one inside another: the thread's own stack while kFlatDeletionRoom of
//     it is left below the frame; any other (a fiber's, a signal's alternate
//     stack, the thread's own where it cannot be learnt) only the outermost,
//     since how much of it is left is not known;
//   - the next one is called on a stack segment of the library's own, and
//     returns to the caller's stack once it has finished, as stack-growing
//     runtimes do; the deletions inside it run in place on the segment while
//     the room below is left there, and the next one continues on another
//     segment. A segment goes just below the caller's stack where that stack
//     lies among the program's mappings, else (the main thread's, which may
//     grow) where the kernel places any mapping, never where a stack may
//     grow.
//
// The room rule: a destructor deleted at any depth has at least the stack
// room it would have had had the chain been let go at the outermost level
// on the thread's own stack: the thread's stack size, for the main thread
// its RLIMIT_STACK when the chain leaves that stack, at most 1 GiB
// (RLIMIT_STACK unlimited counts as 1 GiB).
//
// Segments are reserved at that room and more without being committed: only the
// pages a chain touches cost memory. A thread keeps one segment for the next
// chain, with at most 1 MiB of its pages resident (the others a chain touched
// are given back once it has finished with the segment), and unmaps it when it
// ends; the others are unmapped when their chain has finished with them. A
// fiber may be suspended in a deletion and resumed later or on another thread:
// its frames stay where they are, on its stack or a segment, and a segment
// whose switch did not come back the way it went is kept for later switches of
// any thread (some thread's state may still name it) instead of being unmapped,
// so that any number of such fibers leaves as many segments as were in use at
// once.
//
// Where no segment can be mapped (an address-space limit, the mapping count
// used up, no memory), and on processors without the switch, no stack
// overflows: a deletion continues in place while half the room (at least
// kFlatDeletionRoom) is left and mapped below it on a stack whose room is known
// (the main thread's stack cannot grow under an address-space limit), and past
// that, or on a stack whose room is not known, it is queued; a thread refused a
// segment asks for none until the chain it let go from a stack the program gave
// it has finished. This is the one place where order gives way: a queued level
// is deleted right after the destructor that let it go has returned, instead of
// inside it, in constant stack, what it lets go before its later siblings. A
// queued level keeps its allocation by its weak reference to itself, and takes
// a node of a pool of the library's own (1,024 for the process), or else of the
// heap; only where neither can be had does it run in place.
//
// The switch is announced to the sanitizers the program has, found at run time
// whatever the library was built with: to AddressSanitizer as a fiber switch (a
// segment within 60 MiB below its caller's stack as reaching up to the caller's
// top, so that the recorded stacks reach the caller's frames; the main thread's
// segments lie lower, and its recorded stacks end at the segment's top), and to
// ThreadSanitizer as a switch to a fiber of its own for the segments of a chain
// that started on the thread's own stack. A walk by frame pointers or unwind
// tables, a debugger's too, goes on from a segment to the caller's frames; a
// fork on a segment leaves the child's thread there, to finish as the parent
// does.
//
// A chain never deeper than kFlatDeletionDepth on the thread's own stack
// costs what a plain destructor does: the producer and its shared pointer's
// counts are one allocation (std::allocate_shared), and the allocator's
// destroy, inline, checks the frame and keeps the thread's state. A level
// deeper, on a segment, takes no frame of the library's where no sanitizer
// runs: the stack a deep chain writes is its destructors' own.

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

// The base of the producers deleted this way. It adds nothing to them: a
// level's size is what a shallow chain pays for in memory traffic.
class FlatDeletion {
 public:
  FlatDeletion(const FlatDeletion&) = delete;
  FlatDeletion& operator=(const FlatDeletion&) = delete;

 protected:
  FlatDeletion() noexcept = default;
  ~FlatDeletion() = default;
};

using FlatDestroy = void (*)(FlatDeletion*) noexcept;
// A queued deletion (in the library's source).
struct FlatQueued;

// What the inline path reads of this thread's deletions. Trivially
// destructible, so that a chain let go by another thread-local object's
// destructor at thread exit still finds it.
struct FlatDeletionEntry {
  // The thread's own stack starts at stackLow (stacks grow down here);
  // idleSize is its size while no deletion runs on it, 0 while one does or
  // until it is learnt: a frame within [stackLow, stackLow + idleSize)
  // starts the outermost deletion.
  std::uintptr_t stackLow = 0;
  std::uintptr_t idleSize = 0;
  // What was queued on the thread's own stack and waits for the outermost
  // deletion there.
  FlatQueued* queued = nullptr;
};

extern constinit thread_local FlatDeletionEntry tFlatDeletionEntry;

// Deletes what the inline path does not: the first deletion on the thread,
// one inside another, and one on another stack or a segment. `now` destroys
// the object now, `later` once it has been queued.
void destroyFlatElsewhere(FlatDeletion* object, FlatDestroy now, FlatDestroy later) noexcept;
// Runs what the deletions inside the outermost one on the thread's own stack
// queued.
void runFlatQueued() noexcept;

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
    FlatDeletionEntry& entry = tFlatDeletionEntry;
    const std::uintptr_t size = entry.idleSize;
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // The outermost deletion on the thread's stack, once the stack is known.
    if (frame - entry.stackLow < size) [[likely]] {
      entry.idleSize = 0;
      object->~P();
      if (entry.queued != nullptr) [[unlikely]]
        runFlatQueued();
      entry.idleSize = size;
      return;
    }
    destroyFlatElsewhere(object, &destroyNow<P>, &destroyLater<P>);
  }

 private:
  template <class P>
  static void destroyNow(FlatDeletion* object) noexcept {
    static_cast<P*>(object)->~P();
  }

  template <class P>
  static void destroyLater(FlatDeletion* queued) noexcept {
    auto* object = static_cast<P*>(queued);
    // Its weak reference to itself, which has kept the allocation while it
    // was queued, goes with the object: hold another until the destructor
    // has returned.
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
