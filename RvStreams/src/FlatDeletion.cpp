#include "RvStreams/detail/FlatDeletion.h"

#include <errno.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <new>

#include "FlatDeletionQueue.h"
#include "base/Sanitizers.h"
#include "base/StackSwitch.h"
#include "dispatch/DispatchQueue.h"

#ifdef KX_TEST_SEAMS
#include "RvStreams/TestSeams.h"
#endif

namespace rv::detail {

constinit thread_local FlatDeletionEntry tFlatDeletionEntry;

namespace {

std::uintptr_t address(const void* pointer) noexcept {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

// The room a level's destructors get, at most.
constexpr std::uintptr_t kMaxRoom = std::uintptr_t{1} << 30;

// A segment is one mapping: a guard below the stack, wide enough that a
// frame bigger than a page cannot step over it, then the stack, then the
// segment's own record (its top granule). Sizes and addresses are multiples
// of 64 KiB, a multiple of every page size.
constexpr std::size_t kGranule = 64 * 1024;
constexpr std::size_t kGuardBytes = kGranule;
// Below the room each level needs, the room the levels running in place one
// inside another take: as many as a deep chain has (some 100,000 levels
// optimised), or, where that much cannot be had, fewer.
#if KX_TSAN
constexpr std::size_t kLevelsBytes = std::size_t{1} << 20;
#else
constexpr std::size_t kLevelsBytes = std::size_t{32} << 20;
#endif
constexpr std::size_t kFewerLevelsBytes = std::size_t{1} << 20;
// Where the caller's stack is the thread's own, the segment is mapped this
// far below its lowest address at least: the main thread's stack grows down
// to there, and the kernel keeps a gap (1 MiB by default) between a growing
// stack and the mapping below it.
constexpr std::size_t kBelowStackGap = std::size_t{2} << 20;
// The main thread's stack may grow as far as its RLIMIT_STACK at the time,
// which the program may raise after a segment was mapped: its segments go
// below this much of it at least, what the kernel keeps free below it for
// the stack's growth (it places the program's own mappings lower).
constexpr std::uintptr_t kMainStackReach = std::uintptr_t{128} << 20;
// Lower addresses tried for a segment below its caller, one below the other,
// before any the kernel chooses.
constexpr int kPlacements = 4;
// AddressSanitizer cleans a stack from the frame of a throw up to its top
// only within 64 MiB: a segment is announced as reaching up to its caller's
// top only within this much.
constexpr std::uintptr_t kMaxAnnouncedBytes = std::uintptr_t{60} << 20;
// ThreadSanitizer follows at most 64 locks held by one thread (a level's
// owner may hold one while the level below is let go) and 65,536 frames: a
// segment it is told of as a fiber of its own takes at most this many
// levels under it.
#if KX_TSAN
constexpr int kSegmentDepth = 32;
#else
constexpr int kSegmentDepth = INT_MAX;
#endif

// A segment's record, at the top of its mapping.
struct Segment {
  char* base;          // the mapping, guard first
  std::size_t mapped;  // its bytes
  // The room each level needs, as the chain on it asks.
  std::uintptr_t room = 0;
  // The top it is announced to AddressSanitizer with: its own, or the
  // caller's for a segment just below the caller's stack.
  std::uintptr_t announcedTop = 0;
  // The lowest frame a level ran at here.
  std::uintptr_t lowest = 0;
  // What the levels here queued.
  FlatQueued* queued = nullptr;
  FlatQueued* lastQueued = nullptr;
  // The levels running here one inside another, and whether
  // ThreadSanitizer is told of the segment as a fiber of its own.
  int nested = 0;
  bool fibers = false;
  // Some thread's state may still name it (a switch to it did not come back
  // the way it went): it is never unmapped, only kept for later switches.
  bool tainted = false;
  // The next kept segment, once this one is kept.
  std::atomic<std::uintptr_t> keptNext{0};

  std::uintptr_t low() const noexcept { return address(base) + kGuardBytes; }
  std::uintptr_t top() const noexcept { return address(this); }
  std::uintptr_t usable() const noexcept { return top() - low(); }
  std::uintptr_t end() const noexcept { return address(base) + mapped; }
};

// This thread's deletions beyond what the inline path reads. Trivially
// destructible, as FlatDeletionEntry is.
struct ThreadDeletions {
  // The thread's own stack: its size (0 until learnt or when it cannot be
  // learnt) and the guard below it.
  std::uintptr_t stackSize = 0;
  std::uintptr_t stackGuard = 0;
  // The room every level of a chain let go on this thread gets.
  std::uintptr_t room = 0;
  bool learnt = false;
  // Whether the stack is the main thread's, which grows up to RLIMIT_STACK.
  bool grows = false;
  // Whether the thread's end is to unmap the segment it keeps, and whether
  // it has: a segment is then unmapped as soon as its chain is done with it.
  bool endWatched = false;
  bool ending = false;
  // The deletions running inside the outermost one on the thread's stack,
  // and the last one queued there.
  int nested = 0;
  FlatQueued* lastQueued = nullptr;
  // The frame of the outermost deletion running on a stack whose room is
  // not known (0 if none), and what deletions inside it queued.
  std::uintptr_t elsewhere = 0;
  FlatQueued* elsewhereFirst = nullptr;
  FlatQueued* elsewhereLast = nullptr;
  // The segment the innermost switch went to, and its usable stack.
  Segment* segment = nullptr;
  std::uintptr_t segmentLow = 0;
  std::uintptr_t segmentSize = 0;
  // The segment kept for the next switch, if any: taken and given back in
  // one step each, as a signal's handler may let go of a chain meanwhile.
  std::atomic<Segment*> spare{nullptr};
};

constinit thread_local ThreadDeletions tDeletions;

// This thread's deletions, read afresh: a fiber suspended in a destructor
// may be resumed on another thread, where the address of the first thread's
// state, once computed, must not be used.
[[gnu::noinline]] ThreadDeletions& thisThread() noexcept {
  asm volatile("" ::: "memory");
  return tDeletions;
}

[[gnu::noinline]] FlatDeletionEntry& thisEntry() noexcept {
  asm volatile("" ::: "memory");
  return tFlatDeletionEntry;
}

// As runQueuedAfter(nullptr) for the queue of the thread's deletions on stacks
// whose room is not known, read afresh after each deletion: a fiber may be
// resumed on another thread meanwhile. Only while the thread's outermost
// deletion there is the one at `frame` does it take what was queued.
void runOtherStacks(std::uintptr_t frame) noexcept {
  FlatQueued* next = nullptr;
  for (;;) {
    ThreadDeletions& state = thisThread();
    if (state.elsewhere == frame && state.elsewhereFirst != nullptr) {
      state.elsewhereLast->next = next;
      next = state.elsewhereFirst;
      state.elsewhereFirst = nullptr;
      state.elsewhereLast = nullptr;
    }
    if (next == nullptr) return;
    FlatQueued* const node = next;
    next = node->next;
    runQueued(node);
  }
}

// Where no segment can be had, a level runs in place while this much is
// left below its frame: the queue's deletions run there, so that each has
// at least half the room.
std::uintptr_t fallbackRoom(std::uintptr_t room) noexcept {
  return std::max<std::uintptr_t>(kFlatDeletionRoom, room / 2);
}

// Whether `bytes` below `frame` are mapped. The main thread's stack grows as
// it is used, and cannot where mappings are refused: an address-space limit
// counts its growth.
bool mappedBelow(std::uintptr_t frame, std::uintptr_t bytes) noexcept {
  unsigned char resident = 0;
  const std::uintptr_t lowest = (frame - bytes) & ~std::uintptr_t{kGranule - 1};
  return mincore(reinterpret_cast<void*>(lowest), 1, &resident) == 0;
}

std::uintptr_t roomOf(std::uintptr_t bytes) noexcept {
  return std::clamp<std::uintptr_t>(bytes, kFlatDeletionRoom, kMaxRoom);
}

// The room of a stack that cannot be learnt: the main thread's limit.
std::uintptr_t stackLimit() noexcept {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMaxRoom;
  return roomOf(limit.rlim_cur);
}

[[gnu::noinline]] void learnTheStack(ThreadDeletions& deletions,
                                     FlatDeletionEntry& entry) noexcept {
  deletions.learnt = true;
  void* lowest = nullptr;
  std::size_t size = 0;
  std::size_t guard = 0;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    if (pthread_attr_getstack(&attributes, &lowest, &size) != 0) size = 0;
    if (pthread_attr_getguardsize(&attributes, &guard) != 0) guard = 0;
    pthread_attr_destroy(&attributes);
  }
  // Not known (the main thread's, without /proc): every frame is on another
  // stack.
  entry.stackLow = size == 0 ? 0 : address(lowest);
  entry.idleSize = size;
  deletions.stackSize = size;
  deletions.stackGuard = guard;
  deletions.room = size == 0 ? stackLimit() : roomOf(size);
  deletions.grows = size != 0 && dispatch::isMainThread();
}

#if KX_HAVE_CALL_ON_STACK

// Segments some thread's state may still name, for later switches of any
// thread: a stack linked through the segments, whose head carries a count
// in the bits a segment's address leaves clear, so that a segment taken and
// given back meanwhile is not taken for the head it was.
std::atomic<std::uintptr_t> gKept{0};
// (A segment's record starts a page: its low 12 bits are clear, and
// addresses given to programs here fit in 48 bits.)
constexpr std::uintptr_t kAddressBits = 0x0000'ffff'ffff'f000;

std::uintptr_t keptWord(const Segment* segment, std::uintptr_t count) noexcept {
  return address(segment) | (count & 0xfff) | ((count >> 12) << 48);
}

Segment* keptSegment(std::uintptr_t word) noexcept {
  return reinterpret_cast<Segment*>(word & kAddressBits);
}

std::uintptr_t keptCount(std::uintptr_t word) noexcept {
  return (word & 0xfff) | ((word >> 48) << 12);
}

// The stack of `segment` its chains may have written: the levels' frames,
// and below the lowest of them the room its destructors had.
std::uintptr_t writtenLow(const Segment& segment) noexcept {
  const std::uintptr_t below = segment.room + kFlatDeletionRoom;
  return segment.lowest - segment.low() > below ? segment.lowest - below : segment.low();
}

void unmapSegment(Segment* segment) noexcept {
  const std::uintptr_t low = writtenLow(*segment);
  base::forgetStackUse(reinterpret_cast<void*>(low), segment->top() - low);
  munmap(segment->base, segment->mapped);
}

// Keeps a tainted segment for later switches, its pages given back.
void keep(Segment* segment) noexcept {
  const std::uintptr_t low = writtenLow(*segment);
  base::forgetStackUse(reinterpret_cast<void*>(low), segment->top() - low);
  madvise(reinterpret_cast<void*>(segment->low()), segment->usable(), MADV_DONTNEED);
  segment->lowest = segment->top();
  // A segment the count's bits cannot go beside (no such address is given
  // on these processors) stays mapped, unused.
  if ((address(segment) & ~kAddressBits) != 0) return;
  std::uintptr_t head = gKept.load(std::memory_order_relaxed);
  do {
    segment->keptNext.store(address(keptSegment(head)), std::memory_order_relaxed);
  } while (!gKept.compare_exchange_weak(head, keptWord(segment, keptCount(head) + 1),
                                        std::memory_order_release, std::memory_order_relaxed));
}

// A kept segment with `usable` bytes at least, if the first is one.
Segment* takeKept(std::uintptr_t usable) noexcept {
  std::uintptr_t head = gKept.load(std::memory_order_acquire);
  Segment* segment = nullptr;
  do {
    segment = keptSegment(head);
    if (segment == nullptr || segment->usable() < usable) return nullptr;
  } while (!gKept.compare_exchange_weak(
      head,
      keptWord(keptSegment(segment->keptNext.load(std::memory_order_relaxed)), keptCount(head) + 1),
      std::memory_order_acquire, std::memory_order_acquire));
  return segment;
}

// Maps `bytes` below `below` (the lowest address of the caller's stack, with
// any gap it needs), where a walk from the segment climbs on to the caller's
// frames, or where the kernel chooses when no such place is free.
void* mapBelow(std::uintptr_t below, std::size_t bytes) noexcept {
  constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK;
  std::uintptr_t top = below & ~std::uintptr_t{kGranule - 1};
  for (int placement = 0; placement < kPlacements && top > bytes + kGranule; ++placement) {
    top -= bytes;
    void* mapped = mmap(reinterpret_cast<void*>(top), bytes, PROT_READ | PROT_WRITE,
                        kFlags | MAP_FIXED_NOREPLACE, -1, 0);
    // A kernel that does not know the flag takes the address as a hint.
    if (mapped != MAP_FAILED) return mapped;
    if (errno != EEXIST) break;
  }
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, kFlags, -1, 0);
  return mapped == MAP_FAILED ? nullptr : mapped;
}

// A new segment with the room `room` for each level, below `below`, or null
// when none can be mapped (an address-space limit, the mapping count used
// up, no memory).
Segment* mapSegment(std::uintptr_t room, std::uintptr_t below) noexcept {
  for (const std::size_t levels : {kLevelsBytes, kFewerLevelsBytes}) {
    const std::size_t usable = (room + kFlatDeletionRoom + levels + kGranule - 1) & ~(kGranule - 1);
    const std::size_t bytes = kGuardBytes + usable + kGranule;
    void* base = mapBelow(below, bytes);
    if (base == nullptr) continue;
    if (mprotect(base, kGuardBytes, PROT_NONE) != 0) {
      munmap(base, bytes);
      continue;
    }
    auto* segment = new (static_cast<char*>(base) + kGuardBytes + usable) Segment;
    segment->base = static_cast<char*>(base);
    segment->mapped = bytes;
    return segment;
  }
  return nullptr;
}

// A segment for a chain whose levels need `room`: the one the thread keeps,
// else one kept for any thread, else a new one.
Segment* takeSegment(ThreadDeletions& deletions, std::uintptr_t room,
                     std::uintptr_t below) noexcept {
  const std::uintptr_t usable = room + kFlatDeletionRoom + kFewerLevelsBytes;
  Segment* segment = deletions.spare.exchange(nullptr, std::memory_order_relaxed);
  if (segment != nullptr && segment->usable() < usable) {
    unmapSegment(segment);
    segment = nullptr;
  }
  if (segment == nullptr) segment = takeKept(usable);
  if (segment == nullptr) segment = mapSegment(room, below);
  return segment;
}

// The thread's end unmaps the segment it keeps, once every thread-local
// object's destructor (which may let go of a chain) has run, and runs what
// waits in its queue of other stacks (a fiber's deletion resumed elsewhere
// left it). Without a key (the program took them all) no segment is kept.
pthread_key_t gThreadEnd;

void onThreadEnd(void*) noexcept {
  ThreadDeletions& deletions = thisThread();
  deletions.ending = true;
  if (Segment* spare = deletions.spare.exchange(nullptr, std::memory_order_relaxed)) {
    unmapSegment(spare);
  }
  runOtherStacks(deletions.elsewhere);
}

bool watchThreadEnd(ThreadDeletions& deletions) noexcept {
  if (!deletions.endWatched) {
    static const bool known = pthread_key_create(&gThreadEnd, &onThreadEnd) == 0;
    if (!known || pthread_setspecific(gThreadEnd, &deletions) != 0) return false;
    deletions.endWatched = true;
  }
  return true;
}

// Keeps an untainted segment for the thread's next chain when it has none,
// with its pages; unmaps any other. A tainted one is kept for any thread.
void giveBack(ThreadDeletions& deletions, Segment* segment) noexcept {
  Segment* none = nullptr;
  if (segment->tainted) {
    keep(segment);
  } else if (deletions.ending || !watchThreadEnd(deletions) ||
             !deletions.spare.compare_exchange_strong(none, segment, std::memory_order_relaxed)) {
    unmapSegment(segment);
  }
}

// What a switch hands to the segment.
struct SegmentCall {
  FlatDeletion* object;
  FlatDestroy destroy;
  Segment* segment;
  base::StackCallAnnouncement announcement;
};

void runOnSegment(void* argument) noexcept {
  auto& call = *static_cast<SegmentCall*>(argument);
  call.announcement.arrive();
  call.destroy(call.object);
  Segment& segment = *call.segment;
  if (segment.queued != nullptr) {
    runQueuedAfter(segment.queued, segment.lastQueued, nullptr);
  }
  call.announcement.leaveBack();
}

// Where a switch to a segment comes from.
enum class From { threadsStack, otherStack, segment };

// Runs the deletion on a segment, a first one from a stack the program gave
// us and a later one from a segment, and comes back; false when no segment
// can be had.
[[gnu::noinline]] bool continueOnSegment(FlatDeletion* object, FlatDestroy destroy, From from,
                                         std::uintptr_t room) noexcept {
  ThreadDeletions& deletions = thisThread();
  Segment* const previous = deletions.segment;
  // The caller's stack: where a segment goes below it, and the top a
  // segment just below it is announced with.
  std::uintptr_t below = address(__builtin_frame_address(0));
  std::uintptr_t callerTop = 0;
  if (from == From::threadsStack) {
    const FlatDeletionEntry& entry = thisEntry();
    below = entry.stackLow - deletions.stackGuard;
    callerTop = entry.stackLow + deletions.stackSize;
    if (deletions.grows) below = std::min(below, callerTop - kMainStackReach);
  } else if (from == From::segment) {
    below = address(previous->base);
    callerTop = previous->announcedTop;
  }
  const std::uintptr_t gap = from == From::threadsStack ? kBelowStackGap : 0;
  Segment* const segment = takeSegment(deletions, room, below > gap ? below - gap : 0);
  if (segment == nullptr) return false;

  const std::uintptr_t previousLow = deletions.segmentLow;
  const std::uintptr_t previousSize = deletions.segmentSize;
  segment->room = room;
  segment->lowest = segment->top();
  segment->queued = nullptr;
  segment->lastQueued = nullptr;
  segment->nested = 0;
  // ThreadSanitizer is told of segments as fibers of their own, each way
  // synchronised as a call and its return are, only in a chain of them that
  // started on the thread's own stack. A fiber library resumes a fiber that
  // yielded as the fiber it made for it, not as whatever fiber was current
  // when it yielded (one of these, had its deletion gone to a segment).
  segment->fibers = from == From::threadsStack || (from == From::segment && previous->fibers);
  const bool justBelow = callerTop != 0 && segment->end() <= below &&
                         below - segment->end() < gap + kGranule &&
                         callerTop - segment->low() <= kMaxAnnouncedBytes;
  segment->announcedTop = justBelow ? callerTop : segment->top();
  deletions.segment = segment;
  deletions.segmentLow = segment->low();
  deletions.segmentSize = segment->usable();

  SegmentCall call{object, destroy, segment, {}};
  call.announcement.leave(reinterpret_cast<void*>(segment->low()),
                          segment->announcedTop - segment->low(),
                          segment->fibers ? "deletion stack" : nullptr);
  kx_call_on_stack(reinterpret_cast<void*>(segment->top()), &runOnSegment, &call);
  call.announcement.back();

  // A fiber suspended on the segment may have been resumed on another
  // thread, or another switch may have been made since and will name this
  // segment again when it returns: some thread's state may still name the
  // segment. Only where the switch comes back the way it went, on its
  // thread with the segment still that thread's innermost, is the state put
  // back and the segment free to be unmapped.
  ThreadDeletions& after = thisThread();
  if (&after == &deletions && after.segment == segment) {
    after.segment = previous;
    after.segmentLow = previousLow;
    after.segmentSize = previousSize;
  } else {
    segment->tainted = true;
  }
  giveBack(after, segment);
  return true;
}

#else

// Without a switch for this processor no segment is had: deletions run in
// place, and are queued where the room runs out, as where none can be
// mapped.
enum class From { threadsStack, otherStack, segment };

bool continueOnSegment(FlatDeletion*, FlatDestroy, From, std::uintptr_t) noexcept { return false; }

#endif

// A deletion in place on `segment`, the innermost switch's.
void inPlaceOnSegment(Segment& segment, std::uintptr_t frame, FlatDeletion* object,
                      FlatDestroy destroy) noexcept {
  segment.lowest = std::min(segment.lowest, frame);
  ++segment.nested;
  FlatQueued* const mark = segment.lastQueued;
  destroy(object);
  if (segment.lastQueued != mark) runQueuedAfter(segment.queued, segment.lastQueued, mark);
  --segment.nested;
}

// A deletion on `segment` where too little of it is left: on another
// segment, else in place or queued. Out of line, so that the frame of each
// level in place stays small.
[[gnu::noinline]] void pastTheRoomOnSegment(Segment& segment, std::uintptr_t frame,
                                            FlatDeletion* object, FlatDestroy now,
                                            FlatDestroy later) noexcept {
  const std::uintptr_t left = frame - segment.low();
  if (continueOnSegment(object, now, From::segment, segment.room)) return;
  if (left >= fallbackRoom(segment.room)) {
    inPlaceOnSegment(segment, frame, object, now);
  } else if (!queueFlat(segment.queued, segment.lastQueued, object, later)) {
    inPlaceOnSegment(segment, frame, object, now);
  }
}

void onSegment(Segment& segment, std::uintptr_t frame, FlatDeletion* object, FlatDestroy now,
               FlatDestroy later) noexcept {
  if (frame - segment.low() >= segment.room + kFlatDeletionRoom &&
      !(segment.fibers && segment.nested >= kSegmentDepth)) [[likely]] {
    inPlaceOnSegment(segment, frame, object, now);
  } else {
    pastTheRoomOnSegment(segment, frame, object, now, later);
  }
}

// A deletion inside the outermost one on the thread's own stack, in place.
void nestedOnThreadsStack(ThreadDeletions& deletions, FlatDeletionEntry& entry,
                          FlatDeletion* object, FlatDestroy destroy) noexcept {
  ++deletions.nested;
  FlatQueued* const mark = deletions.lastQueued;
  destroy(object);
  if (deletions.lastQueued != mark) runQueuedAfter(entry.queued, deletions.lastQueued, mark);
  --deletions.nested;
}

// The same past the levels or the room the thread's own stack gives: on a
// segment, else in place or queued.
[[gnu::noinline]] void pastTheRoomOnThreadsStack(ThreadDeletions& deletions,
                                                 FlatDeletionEntry& entry, std::uintptr_t frame,
                                                 FlatDeletion* object, FlatDestroy now,
                                                 FlatDestroy later) noexcept {
  if (continueOnSegment(object, now, From::threadsStack, deletions.room)) return;
  const std::uintptr_t fallback = fallbackRoom(deletions.room);
  if (frame - entry.stackLow >= fallback && mappedBelow(frame, fallback)) {
    nestedOnThreadsStack(deletions, entry, object, now);
  } else if (!queueFlat(entry.queued, deletions.lastQueued, object, later)) {
    nestedOnThreadsStack(deletions, entry, object, now);
  }
}

void onThreadsStack(ThreadDeletions& deletions, FlatDeletionEntry& entry, std::uintptr_t frame,
                    FlatDeletion* object, FlatDestroy now, FlatDestroy later) noexcept {
  if (entry.idleSize != 0) {
    const std::uintptr_t size = entry.idleSize;
    entry.idleSize = 0;
    now(object);
    if (entry.queued != nullptr) runFlatQueued();
    entry.idleSize = size;
    return;
  }
  const std::uintptr_t left = frame - entry.stackLow;
  if (deletions.nested < kFlatDeletionDepth - 1 && left >= kFlatDeletionRoom) [[likely]] {
    nestedOnThreadsStack(deletions, entry, object, now);
  } else {
    pastTheRoomOnThreadsStack(deletions, entry, frame, object, now, later);
  }
}

// On another stack, whose room is not known: only the outermost deletion
// runs there. One below the outermost running on another stack is taken for
// one inside it (or a fiber's, while the fiber of the outermost is
// suspended): on a segment it is safe either way, and queued it is deleted
// once that outermost has finished.
[[gnu::noinline]] void onOtherStack(ThreadDeletions& deletions, std::uintptr_t frame,
                                    FlatDeletion* object, FlatDestroy now,
                                    FlatDestroy later) noexcept {
  const std::uintptr_t outermost = deletions.elsewhere;
  if (frame < outermost) {
    if (!continueOnSegment(object, now, From::otherStack, deletions.room) &&
        !queueFlat(deletions.elsewhereFirst, deletions.elsewhereLast, object, later)) {
      now(object);
    }
    return;
  }
  deletions.elsewhere = frame;
  now(object);
  runOtherStacks(frame);
  ThreadDeletions& after = thisThread();
  if (after.elsewhere == frame) after.elsewhere = outermost;
}

}  // namespace

void destroyFlatElsewhere(FlatDeletion* object, FlatDestroy now, FlatDestroy later) noexcept {
  ThreadDeletions& deletions = thisThread();
  const std::uintptr_t frame = address(__builtin_frame_address(0));
  if (frame - deletions.segmentLow < deletions.segmentSize) {
    onSegment(*deletions.segment, frame, object, now, later);
    return;
  }
  FlatDeletionEntry& entry = thisEntry();
  if (!deletions.learnt) learnTheStack(deletions, entry);
  if (frame - entry.stackLow < deletions.stackSize) {
    onThreadsStack(deletions, entry, frame, object, now, later);
  } else {
    onOtherStack(deletions, frame, object, now, later);
  }
}

void runFlatQueued() noexcept {
  runQueuedAfter(tFlatDeletionEntry.queued, thisThread().lastQueued, nullptr);
}

#ifdef KX_TEST_SEAMS

void resetFlatDeletionsForTesting() noexcept {
  ThreadDeletions& deletions = thisThread();
#if KX_HAVE_CALL_ON_STACK
  if (Segment* spare = deletions.spare.exchange(nullptr)) unmapSegment(spare);
  gKept.store(0);
#endif
  deletions.learnt = false;
  deletions.segment = nullptr;
  deletions.segmentLow = 0;
  deletions.segmentSize = 0;
  thisEntry() = {};
}

bool onDeletionSegmentForTesting() noexcept {
  const ThreadDeletions& deletions = thisThread();
  return address(__builtin_frame_address(0)) - deletions.segmentLow < deletions.segmentSize;
}

#endif

}  // namespace rv::detail
