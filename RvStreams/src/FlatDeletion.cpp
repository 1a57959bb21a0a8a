#include "RvStreams/detail/FlatDeletion.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "FlatDeletionQueue.h"
#include "FlatDeletionSegments.h"
#include "base/StackSwitch.h"
#include "base/Stacks.h"
#include "dispatch/DispatchQueue.h"

#ifdef KX_TEST_SEAMS
#include "RvStreams/TestSeams.h"
#endif

namespace rv::detail {

constinit thread_local FlatDeletionEntry tFlatDeletionEntry;

namespace {

using segments::address;
using segments::fallbackRoom;
using segments::kFewerLevelsBytes;
using segments::kGranule;
using segments::kReadyBytes;
using segments::Segment;
using segments::usableFor;

// The room a level's destructors get, at most.
constexpr std::uintptr_t kMaxRoom = std::uintptr_t{1} << 30;

// AddressSanitizer cleans a stack from the frame of a throw up to its top
// only within 64 MiB: a segment is announced as reaching up to its caller's
// top only within this much.
constexpr std::uintptr_t kMaxAnnouncedBytes = std::uintptr_t{60} << 20;
// ThreadSanitizer follows at most 64 locks held by one thread (a level's
// owner may hold one while the level below is let go) and 65,536 frames: a
// segment it is told of as a fiber of its own takes at most this many
// levels under it.
constexpr int kFiberDepth = 32;

// What the tests read of the segments asked for and the levels that ran
// without one.
struct Counter {
#ifdef KX_TEST_SEAMS
  std::atomic<long> value{0};
  void add() noexcept { value.fetch_add(1, std::memory_order_relaxed); }
#else
  void add() noexcept {}
#endif
};
Counter gSegmentsAsked;
Counter gLevelsWithoutSegment;

// This thread's deletions beyond what the inline path reads. Trivially
// destructible, as FlatDeletionEntry is.
struct ThreadDeletions {
  // Where the levels called last run on the innermost switch's segment, on
  // pages ready for them: a frame within [leanLow, leanLow + leanSize).
  // Empty while a sanitizer the program has follows every level.
  std::uintptr_t leanLow = 0;
  std::uintptr_t leanSize = 0;
  // The thread's own stack: its size (0 until learnt or when it cannot be
  // learnt) and the guard below it.
  std::uintptr_t stackSize = 0;
  std::uintptr_t stackGuard = 0;
  // The room every level of a chain let go on this thread gets, and whether
  // it is RLIMIT_STACK (the main thread's, or where the stack cannot be
  // learnt), read again whenever a chain leaves a stack the program gave us.
  std::uintptr_t room = 0;
  bool roomFollowsLimit = false;
  bool learnt = false;
  // Whether the stack is the main thread's, which grows up to RLIMIT_STACK.
  bool grows = false;
  // A segment could not be mapped: no other is asked for until the chain
  // being let go from a stack the program gave us has finished.
  bool refused = false;
  // Whether the thread's end is to unmap the segment it keeps, and whether
  // it has: a segment is then unmapped as soon as its chain is done with it.
  bool endWatched = false;
  bool ending = false;
  // The lowest address of the thread's own stack known to be mapped, and
  // the highest found not to be, which is asked again only once the chain
  // has finished (the stack may grow meanwhile).
  std::uintptr_t mappedLow = UINTPTR_MAX;
  std::uintptr_t unmappedHigh = 0;
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

// Whether `bytes` below `frame` are mapped. The main thread's stack grows as
// it is used, and cannot where mappings are refused: an address-space limit
// counts its growth. A stack never shrinks: what was found mapped once is
// not asked again.
bool mappedBelow(ThreadDeletions& deletions, std::uintptr_t frame, std::uintptr_t bytes) noexcept {
  const std::uintptr_t lowest = (frame - bytes) & ~std::uintptr_t{kGranule - 1};
  if (lowest >= deletions.mappedLow) return true;
  if (lowest <= deletions.unmappedHigh) return false;
  unsigned char resident = 0;
  if (mincore(reinterpret_cast<void*>(lowest), 1, &resident) != 0) {
    deletions.unmappedHigh = lowest;
    return false;
  }
  deletions.mappedLow = lowest;
  return true;
}

// The chain let go from a stack the program gave us has finished: a segment
// may be asked for again, and the stack may have grown.
void chainFinished(ThreadDeletions& deletions) noexcept {
  deletions.refused = false;
  deletions.unmappedHigh = 0;
}

std::uintptr_t roomOf(std::uintptr_t bytes) noexcept {
  return std::clamp<std::uintptr_t>(bytes, kFlatDeletionRoom, kMaxRoom);
}

// The main thread's room: its RLIMIT_STACK now, or `unknown` where it cannot
// be read (a sandbox may refuse the call).
std::uintptr_t stackLimit(std::uintptr_t unknown) noexcept {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_STACK, &limit) != 0) return unknown;
  return limit.rlim_cur == RLIM_INFINITY ? kMaxRoom : roomOf(limit.rlim_cur);
}

[[gnu::noinline]] void learnTheStack(ThreadDeletions& deletions,
                                     FlatDeletionEntry& entry) noexcept {
  deletions.learnt = true;
  const base::StackBounds stack = base::threadStackBounds();
  // Not known (the main thread's, without /proc): every frame is on another
  // stack.
  entry.stackLow = stack.low;
  entry.idleSize = stack.size;
  deletions.stackSize = stack.size;
  deletions.stackGuard = stack.guard;
  deletions.grows = stack.size != 0 && dispatch::isMainThread();
  deletions.roomFollowsLimit = stack.size == 0 || deletions.grows;
  deletions.room = deletions.roomFollowsLimit ? stackLimit(kMaxRoom) : roomOf(stack.size);
  deletions.mappedLow = UINTPTR_MAX;
}

#if KX_HAVE_CALL_ON_STACK

// A segment for a chain whose levels need `room`: the one the thread keeps,
// else one kept for any thread, else a new one, unless one was refused.
Segment* takeSegment(ThreadDeletions& deletions, std::uintptr_t room,
                     std::uintptr_t below) noexcept {
  const std::uintptr_t usable = usableFor(room, kFewerLevelsBytes);
  Segment* segment = deletions.spare.exchange(nullptr, std::memory_order_relaxed);
  if (segment != nullptr && segment->usable() < usable) {
    segments::unmapSegment(segment);
    segment = nullptr;
  }
  if (segment == nullptr) segment = segments::takeKept(usable);
  if (segment == nullptr && !deletions.refused) {
    gSegmentsAsked.add();
    segment = segments::mapSegment(room, below);
    deletions.refused = segment == nullptr;
  }
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
    segments::unmapSegment(spare);
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
// with the top of its stack resident and the rest of its pages given back
// (before it is kept: a signal's handler may take it at once); unmaps any
// other. A tainted one is kept for any thread.
void giveBack(ThreadDeletions& deletions, Segment* segment) noexcept {
  if (segment->tainted) {
    segments::keepForAnyThread(segment);
    return;
  }
  if (!deletions.ending && deletions.spare.load(std::memory_order_relaxed) == nullptr &&
      watchThreadEnd(deletions)) {
    segments::keepTopResident(segment);
    Segment* none = nullptr;
    if (deletions.spare.compare_exchange_strong(none, segment, std::memory_order_relaxed)) return;
  }
  segments::unmapSegment(segment);
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
[[gnu::noinline]] bool continueOnSegment(FlatDeletion* object, FlatDestroy destroy,
                                         From from) noexcept {
  ThreadDeletions& deletions = thisThread();
  Segment* const previous = deletions.segment;
  // The caller's stack: where a segment goes below it, and the top a
  // segment just below it is announced with.
  std::uintptr_t below = address(__builtin_frame_address(0));
  std::uintptr_t callerTop = 0;
  std::uintptr_t room = 0;
  if (from == From::segment) {
    below = address(previous->base);
    callerTop = previous->announcedTop;
    room = previous->room;
  } else {
    // The chain leaves a stack the program gave us: the room is the limit
    // of now, which the program may have raised.
    if (deletions.roomFollowsLimit && !deletions.refused) {
      deletions.room = stackLimit(deletions.room);
    }
    room = deletions.room;
    if (from == From::threadsStack) {
      const FlatDeletionEntry& entry = thisEntry();
      below = entry.stackLow - deletions.stackGuard;
      callerTop = entry.stackLow + deletions.stackSize;
    }
  }
  Segment* const segment = takeSegment(deletions, room, below);
  if (segment == nullptr) return false;

  const std::uintptr_t previousLow = deletions.segmentLow;
  const std::uintptr_t previousSize = deletions.segmentSize;
  const std::uintptr_t previousLeanLow = deletions.leanLow;
  const std::uintptr_t previousLeanSize = deletions.leanSize;
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
  const bool threadSanitizer = base::threadSanitizerRuns();
  segment->fibers = threadSanitizer &&
                    (from == From::threadsStack || (from == From::segment && previous->fibers));
  const bool justBelow = callerTop != 0 && segment->end() <= below &&
                         below - segment->end() < kGranule &&
                         callerTop - segment->low() <= kMaxAnnouncedBytes;
  segment->announcedTop = justBelow ? callerTop : segment->top();
  deletions.segment = segment;
  deletions.segmentLow = segment->low();
  deletions.segmentSize = segment->usable();
  // A sanitizer follows every level (AddressSanitizer the stack they wrote,
  // ThreadSanitizer how many run on the segment): none is called last.
  const bool lean = !threadSanitizer && !base::addressSanitizerRuns();
  deletions.leanLow = std::max(segment->leanLow(), segment->top() - segments::kResidentBytes);
  deletions.leanSize = lean ? segment->top() - deletions.leanLow : 0;

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
    after.leanLow = previousLeanLow;
    after.leanSize = previousLeanSize;
  } else {
    segment->tainted = true;
  }
  giveBack(after, segment);
  // The outermost deletion on the thread's stack let this chain go: it has
  // finished.
  if (from == From::threadsStack && after.nested == 0) chainFinished(after);
  return true;
}

#else

// Without a switch for this processor no segment is had: deletions run in
// place, and are queued where the room runs out, as where none can be
// mapped.
enum class From { threadsStack, otherStack, segment };

bool continueOnSegment(FlatDeletion*, FlatDestroy, From) noexcept { return false; }

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
  if (continueOnSegment(object, now, From::segment)) return;
  gLevelsWithoutSegment.add();
  if (left >= fallbackRoom(segment.room)) {
    inPlaceOnSegment(segment, frame, object, now);
  } else if (!queueFlat(segment.queued, segment.lastQueued, object, later)) {
    inPlaceOnSegment(segment, frame, object, now);
  }
}

void onSegment(Segment& segment, std::uintptr_t frame, FlatDeletion* object, FlatDestroy now,
               FlatDestroy later) noexcept {
  if (frame - segment.low() >= segment.room + kFlatDeletionRoom &&
      !(segment.fibers && segment.nested >= kFiberDepth)) [[likely]] {
    inPlaceOnSegment(segment, frame, object, now);
  } else {
    pastTheRoomOnSegment(segment, frame, object, now, later);
  }
}

// A deletion inside the outermost one on the thread's own stack, in place.
// Once the outermost one's own have finished, so has the chain it let go.
void nestedOnThreadsStack(ThreadDeletions& deletions, FlatDeletionEntry& entry,
                          FlatDeletion* object, FlatDestroy destroy) noexcept {
  ++deletions.nested;
  FlatQueued* const mark = deletions.lastQueued;
  destroy(object);
  if (deletions.lastQueued != mark) runQueuedAfter(entry.queued, deletions.lastQueued, mark);
  if (--deletions.nested == 0) chainFinished(deletions);
}

// The same past the levels or the room the thread's own stack gives: on a
// segment, else in place or queued.
[[gnu::noinline]] void pastTheRoomOnThreadsStack(ThreadDeletions& deletions,
                                                 FlatDeletionEntry& entry, std::uintptr_t frame,
                                                 FlatDeletion* object, FlatDestroy now,
                                                 FlatDestroy later) noexcept {
  if (continueOnSegment(object, now, From::threadsStack)) return;
  gLevelsWithoutSegment.add();
  const std::uintptr_t fallback = fallbackRoom(deletions.room);
  if (frame - entry.stackLow >= fallback && mappedBelow(deletions, frame, fallback)) {
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
    if (!continueOnSegment(object, now, From::otherStack)) {
      gLevelsWithoutSegment.add();
      if (!queueFlat(deletions.elsewhereFirst, deletions.elsewhereLast, object, later)) now(object);
    }
    return;
  }
  deletions.elsewhere = frame;
  now(object);
  runOtherStacks(frame);
  ThreadDeletions& after = thisThread();
  if (after.elsewhere == frame) {
    after.elsewhere = outermost;
    if (outermost == 0) chainFinished(after);
  }
}

// Deletions not called last at once, out of line.
[[gnu::noinline]] void destroyOtherwise(ThreadDeletions& deletions, std::uintptr_t frame,
                                        FlatDeletion* object, FlatDestroy now,
                                        FlatDestroy later) noexcept {
  if (frame - deletions.segmentLow < deletions.segmentSize) {
    Segment& segment = *deletions.segment;
    if (deletions.leanSize != 0 && frame >= segment.leanLow()) {
      // A level called last, past the pages ready: the next ones are made
      // ready (a kernel without the call faults them in as they are used).
      const std::uintptr_t ready =
          std::max(segment.leanLow(), (frame - kReadyBytes) & ~std::uintptr_t{kGranule - 1});
      madvise(reinterpret_cast<void*>(ready), deletions.leanLow - ready, MADV_POPULATE_WRITE);
      deletions.leanSize += deletions.leanLow - ready;
      deletions.leanLow = ready;
      now(object);
      return;
    }
    onSegment(segment, frame, object, now, later);
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

}  // namespace

void destroyFlatElsewhere(FlatDeletion* object, FlatDestroy now, FlatDestroy later) noexcept {
  ThreadDeletions& deletions = thisThread();
  const std::uintptr_t frame = address(__builtin_frame_address(0));
  // A level of a deep chain, on its segment: called last, it takes no frame
  // here.
  if (frame - deletions.leanLow < deletions.leanSize) [[likely]] {
    now(object);
    return;
  }
  destroyOtherwise(deletions, frame, object, now, later);
}

void runFlatQueued() noexcept {
  runQueuedAfter(tFlatDeletionEntry.queued, thisThread().lastQueued, nullptr);
  // The outermost deletion on the thread's stack has finished.
  chainFinished(thisThread());
}

#ifdef KX_TEST_SEAMS

void resetFlatDeletionsForTesting() noexcept {
  ThreadDeletions& deletions = thisThread();
#if KX_HAVE_CALL_ON_STACK
  if (Segment* spare = deletions.spare.exchange(nullptr)) segments::unmapSegment(spare);
  segments::forgetKeptForTesting();
#endif
  deletions.learnt = false;
  chainFinished(deletions);
  deletions.segment = nullptr;
  deletions.segmentLow = 0;
  deletions.segmentSize = 0;
  deletions.leanLow = 0;
  deletions.leanSize = 0;
  thisEntry() = {};
}

bool onDeletionSegmentForTesting() noexcept {
  const ThreadDeletions& deletions = thisThread();
  return address(__builtin_frame_address(0)) - deletions.segmentLow < deletions.segmentSize;
}

FlatDeletionCounts flatDeletionCountsForTesting() noexcept {
  return {gSegmentsAsked.value.load(), gLevelsWithoutSegment.value.load()};
}

std::pair<const void*, std::size_t> keptSegmentForTesting() noexcept {
#if KX_HAVE_CALL_ON_STACK
  if (const Segment* spare = thisThread().spare.load()) return {spare->base, spare->mapped};
#endif
  return {nullptr, 0};
}

#endif

}  // namespace rv::detail
