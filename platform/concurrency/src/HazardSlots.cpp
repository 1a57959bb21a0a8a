#include "concurrency/HazardSlots.h"

#include <time.h>

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "ForkOrder.h"
#include "base/FatalError.h"
#include "base/Fork.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"

#ifdef KX_TEST_SEAMS
#include <unordered_map>
#endif

#ifdef KX_TEST_SEAMS
#include "concurrency/TestSeams.h"
#endif

namespace concurrency {
namespace {

using detail::HazardRecord;
using detail::tHazardThread;

constexpr uintptr_t kNoReader = 0;
constexpr uintptr_t kShared = 1;
constexpr uintptr_t kSettled = 2;
constexpr uintptr_t kHandover = 3;

std::atomic<HazardRecord*> gRecords{nullptr};

// --- the locks, and fork ---

// The handover's locks, in the order they are taken: the thread that polls
// the heavy fence for the kept work holds the first while it takes the
// second, and then the fence threads' list (heavyFencePolled); the
// simulated store buffers' (tests only) come last.
struct HazardLocks {
  base::Mutex handover;
  base::Mutex waiting;
#ifdef KX_TEST_SEAMS
  base::Mutex buffer;
#endif
};

HazardLocks& hazardLocks();

// Taken by the thread that polls the heavy fence for the listed work.
base::Mutex& handoverMutex() { return hazardLocks().handover; }
base::Mutex& waitingMutex() { return hazardLocks().waiting; }

#ifdef KX_TEST_SEAMS
base::Mutex& bufferMutex() { return hazardLocks().buffer; }
#define KX_HAZARD_LOCKS handoverMutex(), waitingMutex(), bufferMutex()
#else
#define KX_HAZARD_LOCKS handoverMutex(), waitingMutex()
#endif

// Around fork: the child must find every lock free, and the forking thread
// takes them in the order the handover does, before the fence threads' list
// (whose phase of the fork registration comes first, so that its handlers
// run after these before the fork: base/Fork.h).
void lockHazardsForFork() KX_ACQUIRE(KX_HAZARD_LOCKS) {
  handoverMutex().lock();
  waitingMutex().lock();
#ifdef KX_TEST_SEAMS
  bufferMutex().lock();
#endif
}
void unlockHazardsAfterFork() KX_RELEASE(KX_HAZARD_LOCKS) {
#ifdef KX_TEST_SEAMS
  bufferMutex().unlock();
#endif
  waitingMutex().unlock();
  handoverMutex().unlock();
}
#undef KX_HAZARD_LOCKS

HazardLocks& hazardLocks() {
  static HazardLocks* const locks = [] {
    auto* made = new HazardLocks;
    detail::registerFenceThreadsForFork();
    base::fork_join_or_stop(base::ForkPhase::hazards, {.prepare = lockHazardsForFork,
                                                       .parent = unlockHazardsAfterFork,
                                                       .child = unlockHazardsAfterFork});
    return made;
  }();
  return *locks;
}

#ifdef KX_TEST_SEAMS
// --- buffered mode: the simulated store buffers ---

// One record's stores to slot i not visible yet.
struct StoreBuffer {
  uintptr_t values[kHazardSlots] = {};
  uint32_t mask = 0;
};

std::unordered_map<HazardRecord*, StoreBuffer>& storeBuffers() KX_REQUIRES(bufferMutex()) {
  static auto* const buffers = new std::unordered_map<HazardRecord*, StoreBuffer>;
  return *buffers;
}

// Set while some record may hold a simulated store.
std::atomic<bool> gAnyBuffered{false};

void bufferStore(HazardRecord& record, unsigned index, uintptr_t value) {
  base::LockGuard guard(bufferMutex());
  StoreBuffer& buffer = storeBuffers()[&record];
  buffer.values[index] = value;
  buffer.mask |= 1u << index;
  gAnyBuffered.store(true, std::memory_order_relaxed);
}

void commitLocked(HazardRecord& record, StoreBuffer& buffer) KX_REQUIRES(bufferMutex()) {
  for (unsigned i = 0; i < kHazardSlots; ++i) {
    if ((buffer.mask & (1u << i)) != 0) {
      record.slots[i].store(buffer.values[i], std::memory_order_seq_cst);
    }
  }
  buffer.mask = 0;
}

// The calling thread's sequentially consistent steps make its simulated
// stores visible first, as a real store buffer drains before them.
void commitOwn() {
  if (!gAnyBuffered.load(std::memory_order_relaxed)) return;
  if (HazardRecord* record = tHazardThread.record) {
    base::LockGuard guard(bufferMutex());
    const auto found = storeBuffers().find(record);
    if (found != storeBuffers().end()) commitLocked(*record, found->second);
  }
}

void commitAll() {
  if (!gAnyBuffered.load(std::memory_order_relaxed)) return;
  base::LockGuard guard(bufferMutex());
  for (auto& [record, buffer] : storeBuffers()) commitLocked(*record, buffer);
  gAnyBuffered.store(false, std::memory_order_relaxed);
}

#else
// Without the tests there is no simulated buffer to drain.
void commitOwn() {}
void commitAll() {}
#endif

// The heavy side's fence. When it orders every light side (the process-wide
// barrier, or after a failure every unseen thread off its processor, whose
// stores a real buffer would have drained), it also drains the simulated
// store buffers, which nothing else does.
bool barrier() {
  const bool ordered = heavyFence();
  if (ordered) commitAll();
  return ordered;
}

// The same for a heavy side that polls for its answer (heavyFencePolled).
bool barrierPolled(uint64_t& round) {
  const bool ordered = heavyFencePolled(round);
  if (ordered) commitAll();
  return ordered;
}

#ifdef KX_TEST_SEAMS
// --- test seams ---

std::atomic<void (*)(HazardStep, void*)> gPause{nullptr};
std::atomic<void*> gPauseContext{nullptr};
thread_local std::size_t tPendingVisits = 0;

void pause(HazardStep step) {
  if (auto* hook = gPause.load(std::memory_order_acquire)) {
    hook(step, gPauseContext.load(std::memory_order_relaxed));
  }
}
#endif

// --- the waiting entries ---

// A slot of some thread's record.
struct Slot {
  HazardRecord* record;
  unsigned index;
  bool operator==(const Slot&) const = default;
  bool announces(uintptr_t key) const {
    return record->slots[index].load(std::memory_order_seq_cst) == key;
  }
};

struct Waiting {
  uint64_t id;
  uintptr_t key;
  std::shared_ptr<const void> owner;
  // The slots whose reads may still use the object: each announced the key
  // when it was retired, and its read has not been seen to end yet.
  std::vector<Slot> readers;
};

// Retired during the handover, with an announcement that may be unseen.
struct Unseen {
  uintptr_t key;
  std::shared_ptr<const void> owner;
};

// What waits for a heavy fence to order every light side during the
// handover: objects retired while an announcement of them may be unseen, and
// whether the waiting entries' slots are to be looked at again (a leave may
// have been unseen).
struct HandoverWork {
  std::vector<Unseen> unseen;
  bool rescan = false;
  bool empty() const { return unseen.empty() && !rescan; }
};

std::vector<Waiting>& waitingList() KX_REQUIRES(waitingMutex()) {
  static std::vector<Waiting>* const list = new std::vector<Waiting>;
  return *list;
}

// The work listed since the heavy fence in progress began (or since the last
// one ended).
HandoverWork& listedWork() KX_REQUIRES(waitingMutex()) {
  static HandoverWork* const work = new HandoverWork;
  return *work;
}

uint64_t gNextWaitingId KX_GUARDED_BY(waitingMutex()) = 0;

// The work listed before the heavy fence in progress began, which it
// releases, and that fence's round (0: none in progress).
HandoverWork& askedWork() KX_REQUIRES(handoverMutex()) {
  static HandoverWork* const work = new HandoverWork;
  return *work;
}
uint64_t gHandoverRound KX_GUARDED_BY(handoverMutex()) = 0;

// Set while work is listed or a heavy fence for it is in progress.
std::atomic<bool> gHandoverWork{false};

// While work is kept, leaves poll its heavy fence at most once a
// millisecond, so that reads go on at their own pace: when the next may.
std::atomic<int64_t> gNextLeavePoll{0};
constexpr int64_t kLeavePollInterval = 1000000;

int64_t nanosecondsOf(clockid_t clock) noexcept {
  timespec now{};
  clock_gettime(clock, &now);
  return now.tv_sec * int64_t{1000000000} + now.tv_nsec;
}

// Whether the calling leave is the one that polls now. The coarse clock, the
// same clock read as of the last tick, costs a leave a few nanoseconds and
// is never ahead of the fine one, which only the leave that may poll reads.
bool leavePollsNow() noexcept {
  int64_t next = gNextLeavePoll.load(std::memory_order_relaxed);
  if (nanosecondsOf(CLOCK_MONOTONIC_COARSE) < next) return false;
  const int64_t now = nanosecondsOf(CLOCK_MONOTONIC);
  return now >= next && gNextLeavePoll.compare_exchange_strong(next, now + kLeavePollInterval,
                                                               std::memory_order_relaxed);
}

#ifdef KX_TEST_SEAMS
thread_local std::size_t tHandoverPolls = 0;
#endif

// Lists work for the handover, for the next retire or flagged leave (this
// one's caller's, for a start) to poll a heavy fence for.
template <class Add>
void listForHandover(Add add) {
  {
    base::LockGuard guard(waitingMutex());
    add(listedWork());
  }
  gHandoverWork.store(true, std::memory_order_seq_cst);
}

// Calls `found(record, index)` for every slot announcing `key`.
template <class Found>
void forEachAnnouncement(uintptr_t key, Found found) {
  for (HazardRecord* record = gRecords.load(std::memory_order_acquire); record != nullptr;
       record = record->next) {
    for (unsigned i = 0; i < kHazardSlots; ++i) {
      if (record->slots[i].load(std::memory_order_seq_cst) == key) found(*record, i);
    }
  }
}

bool announced(uintptr_t key) {
  bool any = false;
  forEachAnnouncement(key, [&any](HazardRecord&, unsigned) { any = true; });
  return any;
}

// Lists `owner` as waiting for `readers`; returns the entry's id. An entry
// that already keeps the same object alive through the same owner (a key
// retired again while a read of it still runs) takes the readers instead,
// and `owner`, a second reference to what that entry holds, is dropped
// without releasing anything.
uint64_t addWaiting(uintptr_t key, std::shared_ptr<const void> owner,
                    const std::vector<Slot>& readers) KX_REQUIRES(waitingMutex()) {
  for (Waiting& entry : waitingList()) {
    if (entry.key == key && !entry.owner.owner_before(owner) && !owner.owner_before(entry.owner)) {
      for (const Slot& reader : readers) {
        if (std::find(entry.readers.begin(), entry.readers.end(), reader) == entry.readers.end()) {
          entry.readers.push_back(reader);
        }
      }
      return entry.id;  // `owner` goes here, while the entry still holds the object
    }
  }
  waitingList().push_back(Waiting{++gNextWaitingId, key, std::move(owner), readers});
  return gNextWaitingId;
}

// Strikes the readers `done(entry, slot)` says have ended from the entries
// `which` picks, and hands back the owners of the entries left waiting for
// nobody.
template <class Which, class Done>
std::vector<std::shared_ptr<const void>> strikeReaders(Which which, Done done)
    KX_REQUIRES(waitingMutex()) {
  std::vector<std::shared_ptr<const void>> released;
  std::vector<Waiting>& list = waitingList();
  for (std::size_t i = 0; i < list.size();) {
    Waiting& entry = list[i];
    if (which(entry)) {
      std::erase_if(entry.readers, [&](const Slot& reader) { return done(entry, reader); });
      if (entry.readers.empty()) {
        released.push_back(std::move(entry.owner));
        entry = std::move(list.back());
        list.pop_back();
        continue;
      }
    }
    ++i;
  }
  return released;
}

// The read in `slot` has ended: no entry waits for that slot any more. Runs
// what is released outside the mutex.
void readEnded(Slot slot) noexcept {
#ifdef KX_TEST_SEAMS
  ++tPendingVisits;
#endif
  std::vector<std::shared_ptr<const void>> released;
  {
    base::LockGuard guard(waitingMutex());
    released = strikeReaders([](const Waiting&) { return true; },
                             [slot](const Waiting&, const Slot& reader) { return reader == slot; });
  }
}

// Retires `owner` under `key`, whose announcements are all visible.
void retireAnnounced(uintptr_t key, std::shared_ptr<const void> owner) noexcept {
  commitOwn();
  if (!announced(key)) return;  // `owner` is released on the way out
#ifdef KX_TEST_SEAMS
  pause(HazardStep::scannedBeforePending);
#endif
  // The slots announcing `key` now are the only reads that can still use the
  // object: a read that announces it later either finds it no longer
  // published where it looked, and moves on without using it, or finds it
  // published again, by a writer that keeps it alive on its own.
  std::vector<Slot> readers;
  forEachAnnouncement(key, [&readers](HazardRecord& record, unsigned index) {
    readers.push_back(Slot{&record, index});
  });
  if (readers.empty()) return;
  uint64_t id = 0;
  {
    base::LockGuard guard(waitingMutex());
    id = addWaiting(key, std::move(owner), readers);
  }
  // Listed first, so that a reader that sees its flag finds the entry.
  HazardRecord* const own = tHazardThread.record;
  bool others = false;
  for (const Slot& reader : readers) {
    reader.record->pending.fetch_or(1u << reader.index, std::memory_order_seq_cst);
    others = others || reader.record != own;
  }
  // The calling thread sees its own flags when it leaves. Another thread may
  // have left before its flag was set and missed it: after the heavy fence
  // its slot, cleared or reused, is visible here. A slot that announces
  // something else now has ended the read the entry waited for (or that
  // read moved on); one that still announces `key` sees its flag when it
  // leaves. During the handover that leave may itself be unseen: the slot
  // is looked at again once a heavy fence polled after this answers.
  if (others && !barrier()) listForHandover([](HandoverWork& work) { work.rescan = true; });
  std::vector<std::shared_ptr<const void>> released;
  {
    base::LockGuard guard(waitingMutex());
    released =
        strikeReaders([id](const Waiting& entry) { return entry.id == id; },
                      [&readers](const Waiting& entry, const Slot& reader) {
                        return std::find(readers.begin(), readers.end(), reader) != readers.end() &&
                               !reader.announces(entry.key);
                      });
  }
}

// Who polls the handover's heavy fence: a retire, every time, or a leave, at
// most once a millisecond whichever thread leaves.
enum class Poller { retire, leave };

// Once a heavy fence orders every light side again (the handover has ended,
// or every thread not seen yet is off its processor or has answered a
// signal), every announcement and leave made before it began is visible:
// retires what waited for that, and looks at the waiting entries' slots
// again. Polls that fence, begun for what was listed before it, while work
// waits; never waits itself.
void afterHandover(Poller poller) noexcept {
  if (!gHandoverWork.load(std::memory_order_acquire)) return;
  if (poller == Poller::leave && !leavePollsNow()) return;
  HandoverWork ready;
  {
    base::LockGuard guard(handoverMutex());
#ifdef KX_TEST_SEAMS
    ++tHandoverPolls;
    pause(HazardStep::handoverPolled);
#endif
    if (gHandoverRound == 0) {
      base::LockGuard waiting(waitingMutex());
      HandoverWork& listed = listedWork();
      HandoverWork& asked = askedWork();
      std::move(listed.unseen.begin(), listed.unseen.end(), std::back_inserter(asked.unseen));
      asked.rescan = asked.rescan || listed.rescan;
      listed = {};
      // Under waitingMutex: work listed after this sets the flag again.
      if (asked.empty()) {
        gHandoverWork.store(false, std::memory_order_seq_cst);
        return;
      }
    }
    if (!barrierPolled(gHandoverRound)) return;
    gHandoverRound = 0;
    ready = std::exchange(askedWork(), {});
  }
  std::vector<std::shared_ptr<const void>> released;
  if (ready.rescan) {
    base::LockGuard guard(waitingMutex());
    released = strikeReaders(
        [](const Waiting&) { return true; },
        [](const Waiting& entry, const Slot& reader) { return !reader.announces(entry.key); });
  }
  for (Unseen& entry : ready.unseen) retireAnnounced(entry.key, std::move(entry.owner));
}

// Gives the record back when its thread ends; afterwards the thread reads by
// reference only.
struct RecordRelease {
  bool ended = false;
  ~RecordRelease() {
    ended = true;
    if (HazardRecord* record = tHazardThread.record) {
      commitOwn();
      tHazardThread.record = nullptr;
      record->inUse.store(false, std::memory_order_release);
    }
  }
};
thread_local RecordRelease tRecordRelease;

// Clears slot `index` of `record` for a leave the inline path did not
// finish; whether a retire flagged it.
bool leaveFlagged(HazardRecord& record, unsigned index) noexcept {
  const uint32_t bit = 1u << index;
#ifdef KX_TEST_SEAMS
  if (fenceMode() == FenceMode::buffered) {
    // As in the asymmetric mode, with the slot's store held in the simulated
    // buffer.
    bufferStore(record, index, 0);
    if ((record.pending.load(std::memory_order_relaxed) & bit) == 0) return false;
    commitOwn();
    return true;
  }
#endif
  commitOwn();
  noteFencedLightSide();
  record.slots[index].exchange(0, std::memory_order_seq_cst);
  return (record.pending.load(std::memory_order_seq_cst) & bit) != 0;
}

}  // namespace

namespace detail {

HazardRecord* attachHazardRecord() noexcept {
  // Plain announcements start only once the thread is attached, and end
  // before its fence entry is freed.
  if (attachFenceThread() == kEndedThread || tRecordRelease.ended) return nullptr;
  HazardRecord* record = gRecords.load(std::memory_order_acquire);
  for (; record != nullptr; record = record->next) {
    bool inUse = false;
    if (!record->inUse.load(std::memory_order_relaxed) &&
        record->inUse.compare_exchange_strong(inUse, true, std::memory_order_acq_rel)) {
      break;
    }
  }
  if (record == nullptr) {
    record = new HazardRecord;  // never freed: scanners may still walk it
    record->inUse.store(true, std::memory_order_relaxed);
    HazardRecord* head = gRecords.load(std::memory_order_relaxed);
    do {
      record->next = head;
    } while (!gRecords.compare_exchange_weak(head, record, std::memory_order_acq_rel,
                                             std::memory_order_relaxed));
  }
  tHazardThread.record = record;
  return record;
}

void hazardScopeOutOfOrder() noexcept {
  base::fatalError("A hazard scope ended before a scope made after it on the same thread");
}

void hazardScopeWithoutSlot() noexcept {
  base::fatalError("A hazard read through a scope that holds no slot (see HazardScope::entered)");
}

void leaveSlow(HazardRecord& record, unsigned index) noexcept {
  if (leaveFlagged(record, index)) {
    record.pending.fetch_and(~(1u << index), std::memory_order_seq_cst);
    readEnded(Slot{&record, index});
  }
  afterHandover(Poller::leave);
}

}  // namespace detail

void retire(ProtectedPointer::Replaced replaced, std::shared_ptr<const void> owner) noexcept {
  if (!owner || replaced.key == 0 || !replaced.mayBeAnnounced) return;
  afterHandover(Poller::retire);
  if (replaced.mayBeUnseen && !barrier()) {
    listForHandover([&](HandoverWork& work) {
      work.unseen.push_back(Unseen{replaced.key, std::move(owner)});
    });
    // The handover may have ended meanwhile, with nobody left to look.
    afterHandover(Poller::retire);
    return;
  }
  retireAnnounced(replaced.key, std::move(owner));
}

void DeferredRetire::add(ProtectedPointer::Replaced replaced,
                         std::shared_ptr<const void> owner) noexcept {
  if (!owner) return;
  if (count_ == kCapacity) base::fatalError("Too many objects retired under one lock");
  replaced_[count_] = replaced;
  owners_[count_++] = std::move(owner);
}

void ProtectedPointer::noteReader(uintptr_t self) const noexcept {
  uintptr_t state = readers_.load(std::memory_order_relaxed);
  auto shared = [](uintptr_t state) {
    return state == kShared || state == kSettled || state == kHandover;
  };
  if (state == self || shared(state)) return;
  // Once the barrier has failed, no announcement is plain any more: a first
  // reader leaves nothing to settle.
  if (state == kNoReader &&
      readers_.compare_exchange_strong(state, barrierFailed() ? kSettled : self,
                                       std::memory_order_seq_cst)) {
    return;
  }
  while (state != self && !shared(state)) {
    if (readers_.compare_exchange_weak(state, kShared, std::memory_order_seq_cst)) return;
  }
}

uintptr_t ProtectedPointer::protectSlow(HazardRecord& record, unsigned index,
                                        uintptr_t key) const noexcept {
  const auto self = reinterpret_cast<uintptr_t>(&record);
#ifdef KX_TEST_SEAMS
  if (fenceMode() == FenceMode::buffered && readers_.load(std::memory_order_relaxed) == self) {
    // As in the asymmetric mode, with the slot's store held in the simulated
    // buffer.
    for (;;) {
      bufferStore(record, index, key);
      const uintptr_t again = published_.load(std::memory_order_acquire);
      if (again != key) {
        if (again == 0) return 0;
        key = again;
        continue;
      }
      if (readers_.load(std::memory_order_relaxed) == self && fenceMode() == FenceMode::buffered) {
        return key;
      }
      break;
    }
  }
#endif
  commitOwn();
  noteFencedLightSide();
  noteReader(self);
  std::atomic<uintptr_t>& slot = record.slots[index];
  for (;;) {
    slot.store(key, std::memory_order_seq_cst);
    const uintptr_t again = published_.load(std::memory_order_seq_cst);
    if (again == key || again == 0) return again;
    key = again;
  }
}

uintptr_t ProtectedPointer::protectLocked(HazardScope& scope) const noexcept {
  if (scope.record_ == nullptr) detail::hazardScopeWithoutSlot();
  HazardRecord& record = *scope.record_;
  const unsigned index = scope.index_;
  // Writers change the pointer and then look at the slots only after taking
  // the lock this reader holds, so a store ordered by the lock is enough.
  commitOwn();
  noteReader(reinterpret_cast<uintptr_t>(&record));
  const uintptr_t key = published_.load(std::memory_order_relaxed);
  record.slots[index].store(key, std::memory_order_release);
  return key;
}

ProtectedPointer::Replaced ProtectedPointer::exchange(uintptr_t key) noexcept {
  commitOwn();
  const uintptr_t old = published_.load(std::memory_order_relaxed);
  if (old == 0) {
    published_.store(key, std::memory_order_release);
    return {};
  }
  published_.exchange(key, std::memory_order_seq_cst);
#ifdef KX_TEST_SEAMS
  pause(HazardStep::publishedBeforeShared);
#endif
  uintptr_t state = readers_.load(std::memory_order_seq_cst);
  if (state == kNoReader) return {old, false};
  const auto own = reinterpret_cast<uintptr_t>(tHazardThread.record);
  if (state == kSettled || state == own) return {old, true};
  // Another thread may have announced `old` plainly. Marked shared first, so
  // that no plain announcement can begin after the fence; settled only after
  // it, once every earlier one is visible.
  if (state != kShared && state != kHandover &&
      !readers_.compare_exchange_strong(state, kShared, std::memory_order_seq_cst) &&
      state == kSettled) {
    return {old, true};
  }
  const bool ordered = barrier();
#ifdef KX_TEST_SEAMS
  pause(HazardStep::barrierBeforeSettle);
#endif
  if (ordered) {
    uintptr_t marked = state == kHandover ? kHandover : kShared;
    readers_.compare_exchange_strong(marked, kSettled, std::memory_order_seq_cst);
    return {old, true};
  }
  // The handover: the thread that read this pointer alone may have announced
  // `old`, or the key this change published, plainly and unseen. Only
  // writers, under their lock, change a shared pointer's state.
  readers_.store(state == kHandover ? kSettled : kHandover, std::memory_order_seq_cst);
  return {old, true, true};
}

#ifdef KX_TEST_SEAMS
void setHazardPauseForTesting(void (*pause)(HazardStep, void*), void* context) noexcept {
  gPauseContext.store(context, std::memory_order_relaxed);
  gPause.store(pause, std::memory_order_release);
}

std::size_t pendingVisitsOnThisThreadForTesting() noexcept { return tPendingVisits; }

std::size_t handoverPollsOnThisThreadForTesting() noexcept { return tHandoverPolls; }

std::size_t pendingEntriesForTesting() noexcept {
  base::LockGuard handover(handoverMutex());
  base::LockGuard guard(waitingMutex());
  return waitingList().size() + listedWork().unseen.size() + askedWork().unseen.size();
}

#endif

}  // namespace concurrency
