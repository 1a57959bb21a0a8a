#include "concurrency/HazardSlots.h"

#include <utility>
#include <vector>

#include "base/FatalError.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"

namespace concurrency {
namespace {

constexpr uintptr_t kNoReader = 0;
constexpr uintptr_t kShared = 1;
constexpr uintptr_t kSettled = 2;

std::atomic<HazardRecord*> gRecords{nullptr};

// --- buffered mode: the simulated store buffers ---

base::Mutex& bufferMutex() {
  static base::Mutex* const mutex = new base::Mutex;
  return *mutex;
}

// Set while some record may hold a simulated store.
std::atomic<bool> gAnyBuffered{false};

void bufferStore(HazardRecord& record, unsigned index, uintptr_t value) {
  base::LockGuard guard(bufferMutex());
  record.buffered[index] = value;
  record.bufferedMask |= 1u << index;
  gAnyBuffered.store(true, std::memory_order_relaxed);
}

void commitLocked(HazardRecord& record) KX_REQUIRES(bufferMutex()) {
  for (unsigned i = 0; i < kHazardSlots; ++i) {
    if ((record.bufferedMask & (1u << i)) != 0) {
      record.slots[i].store(record.buffered[i], std::memory_order_seq_cst);
    }
  }
  record.bufferedMask = 0;
}

// The calling thread's sequentially consistent steps make its simulated
// stores visible first, as a real store buffer drains before them.
void commitOwn() {
  if (!gAnyBuffered.load(std::memory_order_relaxed)) return;
  if (HazardRecord* record = tHazardThread.record) {
    base::LockGuard guard(bufferMutex());
    commitLocked(*record);
  }
}

void commitAll() {
  if (!gAnyBuffered.load(std::memory_order_relaxed)) return;
  base::LockGuard guard(bufferMutex());
  for (HazardRecord* record = gRecords.load(std::memory_order_acquire); record != nullptr;
       record = record->next) {
    commitLocked(*record);
  }
  gAnyBuffered.store(false, std::memory_order_relaxed);
}

// The heavy side's fence, which also drains the simulated store buffers.
void barrier() {
  commitAll();
  heavyFence();
}

// --- test seams ---

std::atomic<void (*)(HazardStep, void*)> gPause{nullptr};
std::atomic<void*> gPauseContext{nullptr};
thread_local std::size_t tPendingVisits = 0;

void pause(HazardStep step) {
  if (auto* hook = gPause.load(std::memory_order_acquire)) {
    hook(step, gPauseContext.load(std::memory_order_relaxed));
  }
}

// --- the waiting entries ---

struct Waiting {
  uintptr_t key;
  std::shared_ptr<const void> owner;
};

base::Mutex& waitingMutex() {
  static base::Mutex* const mutex = new base::Mutex;
  return *mutex;
}

std::vector<Waiting>& waitingList() KX_REQUIRES(waitingMutex()) {
  static std::vector<Waiting>* const list = new std::vector<Waiting>;
  return *list;
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

// Releases every waiting entry no slot announces any more.
void releaseUnannounced() noexcept {
  ++tPendingVisits;
  std::vector<std::shared_ptr<const void>> released;  // run destructors outside the mutex
  {
    base::LockGuard guard(waitingMutex());
    std::vector<Waiting>& list = waitingList();
    for (std::size_t i = 0; i < list.size();) {
      if (announced(list[i].key)) {
        ++i;
        continue;
      }
      released.push_back(std::move(list[i].owner));
      list[i] = std::move(list.back());
      list.pop_back();
    }
  }
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

}  // namespace

HazardRecord* attachHazardRecord() noexcept {
  // Plain announcements start only once the process is registered.
  enableAsymmetricFences();
  if (tRecordRelease.ended) return nullptr;
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

namespace detail {

void leaveSlow(HazardRecord& record, unsigned index) noexcept {
  const uint32_t bit = 1u << index;
  if (fenceMode() == FenceMode::buffered) {
    // The plain form, with the slot's store held in the simulated buffer.
    bufferStore(record, index, 0);
    if ((record.pending.load(std::memory_order_relaxed) & bit) == 0) return;
    commitOwn();
  } else {
    commitOwn();
    record.slots[index].exchange(0, std::memory_order_seq_cst);
    if ((record.pending.load(std::memory_order_seq_cst) & bit) == 0) return;
  }
  record.pending.fetch_and(~bit, std::memory_order_seq_cst);
  releaseUnannounced();
}

}  // namespace detail

void retire(uintptr_t key, std::shared_ptr<const void> owner) noexcept {
  if (!owner || key == 0) return;
  commitOwn();
  HazardRecord* const own = tHazardThread.record;
  bool found = false;
  forEachAnnouncement(key, [&found](HazardRecord&, unsigned) { found = true; });
  if (!found) return;  // `owner` is released on the way out
  pause(HazardStep::scannedBeforePending);
  {
    base::LockGuard guard(waitingMutex());
    waitingList().push_back(Waiting{key, std::move(owner)});
  }
  // No new announcement of `key` can succeed any more: only the slots seen
  // now (or fewer, as their threads leave) can hold it.
  bool any = false;
  bool others = false;
  forEachAnnouncement(key, [&](HazardRecord& record, unsigned index) {
    record.pending.fetch_or(1u << index, std::memory_order_seq_cst);
    any = true;
    others = others || &record != own;
  });
  // The calling thread sees its own flags when it leaves. Another thread may
  // have left before its flag was set and missed it: after the heavy fence
  // its cleared slot is visible here.
  if (others) barrier();
  if (!any || (others && !announced(key))) releaseUnannounced();
}

void DeferredRetire::add(ProtectedPointer::Replaced replaced,
                         std::shared_ptr<const void> owner) noexcept {
  if (!owner) return;
  if (count_ == kCapacity) base::fatalError("Too many objects retired under one lock");
  keys_[count_] = replaced.key;
  mayBeAnnounced_[count_] = replaced.key != 0 && replaced.mayBeAnnounced;
  owners_[count_++] = std::move(owner);
}

void ProtectedPointer::noteReader(uintptr_t self) const noexcept {
  uintptr_t state = readers_.load(std::memory_order_relaxed);
  if (state == self || state == kShared || state == kSettled) return;
  if (state == kNoReader &&
      readers_.compare_exchange_strong(state, self, std::memory_order_seq_cst)) {
    return;
  }
  while (state != self && state != kShared && state != kSettled) {
    if (readers_.compare_exchange_weak(state, kShared, std::memory_order_seq_cst)) return;
  }
}

uintptr_t ProtectedPointer::protectSlow(HazardRecord& record, unsigned index,
                                        uintptr_t key) const noexcept {
  const auto self = reinterpret_cast<uintptr_t>(&record);
  if (fenceMode() == FenceMode::buffered && readers_.load(std::memory_order_relaxed) == self) {
    // The plain form, with the slot's store held in the simulated buffer.
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
  commitOwn();
  noteReader(self);
  std::atomic<uintptr_t>& slot = record.slots[index];
  for (;;) {
    slot.store(key, std::memory_order_seq_cst);
    const uintptr_t again = published_.load(std::memory_order_seq_cst);
    if (again == key || again == 0) return again;
    key = again;
  }
}

uintptr_t ProtectedPointer::protectLocked(HazardRecord& record, unsigned index) const noexcept {
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
  uintptr_t state = readers_.load(std::memory_order_seq_cst);
  if (state == kNoReader) return {old, false};
  const auto own = reinterpret_cast<uintptr_t>(tHazardThread.record);
  if (state == kSettled || state == own) return {old, true};
  // Another thread may have announced `old` plainly. Marked shared first, so
  // that no plain announcement can begin after the fence; settled only after
  // it, once every earlier one is visible.
  if (state != kShared &&
      !readers_.compare_exchange_strong(state, kShared, std::memory_order_seq_cst) &&
      state == kSettled) {
    return {old, true};
  }
  barrier();
  pause(HazardStep::barrierBeforeSettle);
  uintptr_t shared = kShared;
  readers_.compare_exchange_strong(shared, kSettled, std::memory_order_seq_cst);
  return {old, true};
}

void setHazardPauseForTesting(void (*pause)(HazardStep, void*), void* context) noexcept {
  gPauseContext.store(context, std::memory_order_relaxed);
  gPause.store(pause, std::memory_order_release);
}

std::size_t pendingVisitsOnThisThreadForTesting() noexcept { return tPendingVisits; }

std::size_t pendingEntriesForTesting() noexcept {
  base::LockGuard guard(waitingMutex());
  return waitingList().size();
}

}  // namespace concurrency
