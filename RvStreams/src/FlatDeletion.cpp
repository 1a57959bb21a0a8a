#include "RvStreams/detail/FlatDeletion.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define KX_FLAT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KX_FLAT_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define KX_FLAT_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KX_FLAT_TSAN 1
#endif
#endif

#ifdef KX_FLAT_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#ifdef KX_FLAT_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// Calls `run(argument)` with the stack pointer at `top` (16-byte aligned) and
// returns to the caller's stack once it has returned. The frame record it
// leaves links the callee's frames to the caller's, and its call-frame
// information finds the caller's frame from there, so that a walk by frame
// pointers or by unwind tables goes on to the caller's stack. Nothing unwinds
// through it: what it runs is noexcept.
extern "C" __attribute__((visibility("hidden"))) void kx_rv_call_on_stack(
    void* argument, void (*run)(void*) noexcept, void* top) noexcept;

#if defined(__x86_64__)
#define KX_FLAT_SEGMENTS 1
asm(R"(
    .pushsection .text
    .globl kx_rv_call_on_stack
    .hidden kx_rv_call_on_stack
    .type kx_rv_call_on_stack, @function
    .p2align 4
kx_rv_call_on_stack:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    movq %rdx, %rsp
    callq *%rsi
    movq %rbp, %rsp
    .cfi_def_cfa_register %rsp
    popq %rbp
    .cfi_def_cfa_offset 8
    retq
    .cfi_endproc
    .size kx_rv_call_on_stack, .-kx_rv_call_on_stack
    .popsection
)");
#elif defined(__aarch64__)
#define KX_FLAT_SEGMENTS 1
asm(R"(
    .pushsection .text
    .globl kx_rv_call_on_stack
    .hidden kx_rv_call_on_stack
    .type kx_rv_call_on_stack, %function
    .p2align 4
kx_rv_call_on_stack:
    .cfi_startproc
    hint #34
    stp x29, x30, [sp, #-16]!
    .cfi_def_cfa_offset 16
    .cfi_offset x29, -16
    .cfi_offset x30, -8
    mov x29, sp
    .cfi_def_cfa_register x29
    mov sp, x2
    blr x1
    mov sp, x29
    .cfi_def_cfa_register sp
    ldp x29, x30, [sp], #16
    .cfi_def_cfa_offset 0
    .cfi_restore x29
    .cfi_restore x30
    ret
    .cfi_endproc
    .size kx_rv_call_on_stack, .-kx_rv_call_on_stack
    .popsection
)");
#endif

namespace rv::detail {

constinit thread_local FlatDeletions tFlatDeletions;

namespace {

// A deletion runs in place on a segment while this much of it is left below
// its frame: room for the level's destructors, the next switch and a
// signal's frame, as kFlatDeletionRoom on the thread's stack.
constexpr std::uintptr_t kSegmentRoom = 32 * 1024;
// ThreadSanitizer follows at most 64 locks held by one thread (a level's
// owner may hold one while the level below is let go) and 65,536 frames: a
// segment it is told of as a fiber of its own takes at most this many
// levels under it.
#ifdef KX_FLAT_TSAN
constexpr int kSegmentDepth = 32;
#else
constexpr int kSegmentDepth = INT_MAX;
#endif

// This thread's deletions, read afresh: a fiber suspended in a destructor
// may be resumed on another thread, where the address of the first thread's
// state, once computed, must not be used.
[[gnu::noinline]] FlatDeletions& thisThread() noexcept {
  asm volatile("" ::: "memory");
  return tFlatDeletions;
}

std::uintptr_t frameAddress(const void* frame) noexcept {
  return reinterpret_cast<std::uintptr_t>(frame);
}

#ifdef KX_FLAT_SEGMENTS

// A segment is one mapping: a guard below the stack, wide enough that a
// frame bigger than a page cannot step over it, then the stack.
constexpr std::size_t kGuardBytes = 64 * 1024;
// The first segment of a switch from a stack the program gave us, and the
// one a thread keeps; the later ones of a chain that fills it.
constexpr std::size_t kFirstSegmentBytes = 256 * 1024;
#ifdef KX_FLAT_TSAN
constexpr std::size_t kLaterSegmentBytes = kFirstSegmentBytes;
#else
constexpr std::size_t kLaterSegmentBytes = 4 * 1024 * 1024;
#endif
// The top of the kept segment that stays in memory.
constexpr std::size_t kKeptBytes = 64 * 1024;

// A segment's mapping, the usable stack above its guard.
struct Segment {
  char* base = nullptr;
  std::size_t bytes = 0;  // usable, above the guard

  std::uintptr_t low() const noexcept { return frameAddress(base + kGuardBytes); }
  std::uintptr_t top() const noexcept { return low() + bytes; }
};

Segment mapSegment(std::size_t bytes) noexcept {
  void* base = mmap(nullptr, kGuardBytes + bytes, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (base == MAP_FAILED) return {};
  if (mprotect(base, kGuardBytes, PROT_NONE) != 0) {
    munmap(base, kGuardBytes + bytes);
    return {};
  }
  return {static_cast<char*>(base), bytes};
}

// Lets the kernel take the pages of [start, start + bytes) back. Frames
// left without returning (a jump out of a destructor) leave their poison
// behind under AddressSanitizer: whatever runs there next starts clean.
void dropPages(char* start, std::size_t bytes) noexcept {
#ifdef KX_FLAT_ASAN
  __asan_unpoison_memory_region(start, bytes);
#endif
  madvise(start, bytes, MADV_DONTNEED);
}

void unmapSegment(const Segment& segment) noexcept {
#ifdef KX_FLAT_ASAN
  __asan_unpoison_memory_region(segment.base + kGuardBytes, segment.bytes);
#endif
  munmap(segment.base, kGuardBytes + segment.bytes);
}

// The thread's end unmaps the segment it keeps, once every thread-local
// object's destructor (which may let go of a chain) has run. Without a key
// (the program took them all) no segment is kept.
pthread_key_t gThreadEnd;

void onThreadEnd(void*) noexcept {
  FlatDeletions& deletions = thisThread();
  deletions.ending = true;
  if (deletions.spare != nullptr) {
    unmapSegment({static_cast<char*>(deletions.spare), kFirstSegmentBytes});
    deletions.spare = nullptr;
  }
}

bool watchThreadEnd(FlatDeletions& deletions) noexcept {
  if (!deletions.endWatched) {
    static const bool known = pthread_key_create(&gThreadEnd, &onThreadEnd) == 0;
    if (!known || pthread_setspecific(gThreadEnd, &deletions) != 0) return false;
    deletions.endWatched = true;
  }
  return true;
}

Segment takeSegment(FlatDeletions& deletions, std::size_t bytes) noexcept {
  if (bytes == kFirstSegmentBytes && deletions.spare != nullptr) {
    const Segment kept{static_cast<char*>(deletions.spare), kFirstSegmentBytes};
    deletions.spare = nullptr;
    return kept;
  }
  return mapSegment(bytes);
}

// Keeps a first segment when the thread has none, with only its top pages in
// memory (frames as deep as `lowest` and the room below them were
// written); unmaps any other.
void giveBack(FlatDeletions& deletions, const Segment& segment, std::uintptr_t lowest) noexcept {
  if (segment.bytes != kFirstSegmentBytes || deletions.spare != nullptr || deletions.ending ||
      !watchThreadEnd(deletions)) {
    unmapSegment(segment);
    return;
  }
  const std::uintptr_t keptLow = segment.top() - kKeptBytes;
  if (lowest - segment.low() < keptLow - segment.low() + kSegmentRoom) {
    dropPages(segment.base + kGuardBytes, keptLow - segment.low());
  }
  deletions.spare = segment.base;
}

// What a switch hands to the segment.
struct SegmentCall {
  FlatDeletion* object;
  FlatDestroy destroy;
#ifdef KX_FLAT_ASAN
  const void* callerBottom = nullptr;
  std::size_t callerBytes = 0;
#endif
};

void runOnSegment(void* argument) noexcept {
  auto& call = *static_cast<SegmentCall*>(argument);
#ifdef KX_FLAT_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &call.callerBottom, &call.callerBytes);
#endif
  call.destroy(call.object);
#ifdef KX_FLAT_ASAN
  // Back for good: the segment's fake frames go.
  __sanitizer_start_switch_fiber(nullptr, call.callerBottom, call.callerBytes);
#endif
}

// Where a switch to a segment comes from.
enum class From { threadsStack, otherStack, segment };

// Runs the deletion on a segment, a first one from a stack the program gave
// us and a later one from a segment, and comes back.
[[gnu::noinline]] void continueOnSegment(FlatDeletion* object, FlatDestroy destroy,
                                         From from) noexcept {
  FlatDeletions& deletions = thisThread();
  const Segment segment =
      takeSegment(deletions, from == From::segment ? kLaterSegmentBytes : kFirstSegmentBytes);
  if (segment.base == nullptr) {
    // No memory for a segment: as a plain destructor.
    destroy(object);
    return;
  }
  const std::uintptr_t previousLow = deletions.segmentLow;
  const std::uintptr_t previousSize = deletions.segmentSize;
  const std::uintptr_t previousLowest = deletions.segmentLowest;
  const int previousNested = deletions.segmentNested;
  const bool previousFibers = deletions.segmentFibers;
  deletions.segmentLow = segment.low();
  deletions.segmentSize = segment.bytes;
  deletions.segmentLowest = segment.top();
  deletions.segmentNested = 0;
  // ThreadSanitizer is told of segments as fibers of their own, each way
  // synchronised as a call and its return are, only in a chain of them that
  // started on the thread's own stack. A fiber library resumes a fiber that
  // yielded as the fiber it made for it, not as whatever fiber was current
  // when it yielded (one of these, had its deletion gone to a segment).
  deletions.segmentFibers = from == From::threadsStack || (from == From::segment && previousFibers);

  SegmentCall call{object, destroy};
#ifdef KX_FLAT_TSAN
  void* const caller = deletions.segmentFibers ? __tsan_get_current_fiber() : nullptr;
  void* const fiber = caller != nullptr ? __tsan_create_fiber(0) : nullptr;
  if (fiber != nullptr) {
    __tsan_set_fiber_name(fiber, "deletion stack");
    __tsan_switch_to_fiber(fiber, 0);
  }
#endif
#ifdef KX_FLAT_ASAN
  void* fakeStack = nullptr;
  __sanitizer_start_switch_fiber(&fakeStack, segment.base + kGuardBytes, segment.bytes);
#endif
  kx_rv_call_on_stack(&call, &runOnSegment, reinterpret_cast<void*>(segment.top()));
#ifdef KX_FLAT_ASAN
  __sanitizer_finish_switch_fiber(fakeStack, nullptr, nullptr);
#endif
#ifdef KX_FLAT_TSAN
  if (fiber != nullptr) {
    __tsan_switch_to_fiber(caller, 0);
    __tsan_destroy_fiber(fiber);
  }
#endif

  // A fiber suspended on the segment may have been resumed on another
  // thread, or another deletion may have switched since and will put this
  // segment back as the current one when it returns: some thread's state
  // may still name the segment. The state is put back, and the segment given
  // back, only where it is still this switch's; else it stays mapped (its
  // pages dropped), so that no other stack can ever be taken for it.
  FlatDeletions& after = thisThread();
  if (after.segmentLow != segment.low()) {
    dropPages(segment.base + kGuardBytes, segment.bytes);
    return;
  }
  const std::uintptr_t lowest = after.segmentLowest;
  after.segmentLow = previousLow;
  after.segmentSize = previousSize;
  after.segmentLowest = previousLowest;
  after.segmentNested = previousNested;
  after.segmentFibers = previousFibers;
  giveBack(after, segment, lowest);
}

#else

// Without a switch for this processor, deletions run in place, as plain
// destructors.
enum class From { threadsStack, otherStack, segment };

void continueOnSegment(FlatDeletion* object, FlatDestroy destroy, From) noexcept {
  destroy(object);
}

#endif

void learnTheStack(FlatDeletions& deletions) noexcept {
  deletions.learnt = true;
  void* lowest = nullptr;
  std::size_t size = 0;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    if (pthread_attr_getstack(&attributes, &lowest, &size) != 0) size = 0;
    pthread_attr_destroy(&attributes);
  }
  // Not known (the main thread's, without /proc): every frame is on another
  // stack.
  deletions.stackLow = size == 0 ? 0 : frameAddress(lowest);
  deletions.stackSize = size;
  deletions.idleSize = size;
}

}  // namespace

void FlatDeletions::destroyElsewhere(FlatDeletion* object, FlatDestroy destroy) noexcept {
  FlatDeletions& deletions = thisThread();
  const std::uintptr_t frame = frameAddress(__builtin_frame_address(0));

  // On the segment the innermost switch went to.
  if (frame - deletions.segmentLow < deletions.segmentSize) {
    if (frame - deletions.segmentLow < kSegmentRoom ||
        (deletions.segmentFibers && deletions.segmentNested >= kSegmentDepth)) {
      continueOnSegment(object, destroy, From::segment);
      return;
    }
    deletions.segmentLowest = std::min(deletions.segmentLowest, frame);
    ++deletions.segmentNested;
    destroy(object);
    FlatDeletions& after = thisThread();
    if (after.segmentLow <= frame && frame - after.segmentLow < after.segmentSize) {
      --after.segmentNested;
    }
    return;
  }

  // On the thread's own stack.
  if (!deletions.learnt) learnTheStack(deletions);
  if (frame - deletions.stackLow < deletions.stackSize) {
    if (deletions.idleSize != 0) {
      const std::uintptr_t size = deletions.idleSize;
      deletions.idleSize = 0;
      destroy(object);
      deletions.idleSize = size;
    } else if (deletions.nested < kFlatDeletionDepth - 1 &&
               frame - deletions.stackLow >= kFlatDeletionRoom) {
      ++deletions.nested;
      destroy(object);
      --deletions.nested;
    } else {
      continueOnSegment(object, destroy, From::threadsStack);
    }
    return;
  }

  // On another stack, whose room is not known: only the outermost deletion
  // runs there. One below the outermost running on another stack is taken
  // for one inside it (or a fiber's, while the fiber of the outermost is
  // suspended): on a segment it is safe either way.
  const std::uintptr_t outermost = deletions.elsewhere;
  if (frame < outermost) {
    continueOnSegment(object, destroy, From::otherStack);
    return;
  }
  deletions.elsewhere = frame;
  destroy(object);
  FlatDeletions& after = thisThread();
  if (after.elsewhere == frame) after.elsewhere = outermost;
}

}  // namespace rv::detail
