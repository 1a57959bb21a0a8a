#include "RvStreams/ObserverSet.h"

#include <mutex>

namespace rv::detail {
namespace {

std::atomic<HazardRecord*> gHazardRecords{nullptr};

// Whether some thread announces `key`.
bool announced(uintptr_t key) noexcept {
  for (HazardRecord* record = gHazardRecords.load(std::memory_order_acquire); record != nullptr;
       record = record->next) {
    for (const auto& slot : record->slots) {
      if (slot.load(std::memory_order_seq_cst) == key) return true;
    }
  }
  return false;
}

struct Retired {
  uintptr_t key;
  std::shared_ptr<const void> owner;
};

std::mutex& retiredMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

std::vector<Retired>& retiredList() {
  static std::vector<Retired>* list = new std::vector<Retired>;
  return *list;
}

// Gives the record back when its thread ends. Afterwards the thread reads
// snapshots by reference only.
struct RecordRelease {
  bool ended = false;
  ~RecordRelease() {
    ended = true;
    if (HazardRecord* record = tHazardThread.record) {
      tHazardThread.record = nullptr;
      record->inUse.store(false, std::memory_order_release);
    }
  }
};
thread_local RecordRelease tRecordRelease;

}  // namespace

std::atomic<std::size_t> gRetiredSnapshots{0};

void noteReader(std::atomic<uintptr_t>& readers, uintptr_t record) noexcept {
  uintptr_t state = readers.load(std::memory_order_relaxed);
  if (state == record || state == kSharedReaders || state == kSettledReaders) return;
  if (state == kNoReader &&
      readers.compare_exchange_strong(state, record, std::memory_order_seq_cst)) {
    return;
  }
  while (state != record && state != kSharedReaders && state != kSettledReaders) {
    if (readers.compare_exchange_weak(state, kSharedReaders, std::memory_order_seq_cst)) return;
  }
}

HazardRecord* attachHazardRecord() noexcept {
  // Plain-store announcements start only once the barrier is settled.
  enableAsymmetricFences();
  if (tRecordRelease.ended) return nullptr;
  HazardRecord* record = gHazardRecords.load(std::memory_order_acquire);
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
    HazardRecord* head = gHazardRecords.load(std::memory_order_relaxed);
    do {
      record->next = head;
    } while (!gHazardRecords.compare_exchange_weak(head, record, std::memory_order_acq_rel,
                                                   std::memory_order_relaxed));
  }
  tHazardThread.record = record;
  return record;
}

void retireSnapshot(uintptr_t key, std::shared_ptr<const void> owner) noexcept {
  if (!owner || key == 0 || !announced(key)) return;  // `owner` is released on the way out
  {
    std::lock_guard<std::mutex> guard(retiredMutex());
    retiredList().push_back(Retired{key, std::move(owner)});
    gRetiredSnapshots.store(retiredList().size(), std::memory_order_seq_cst);
  }
  // The reader may have finished before it could see the list grow.
  reclaimRetiredSnapshots();
}

void reclaimRetiredSnapshots() noexcept {
  // Every entry was replaced before its writer's barrier, which made any
  // plain-store announcement of it visible; none can be made afterwards.
  std::vector<std::shared_ptr<const void>> freed;  // released outside the mutex
  {
    std::lock_guard<std::mutex> guard(retiredMutex());
    std::vector<Retired>& list = retiredList();
    for (std::size_t i = 0; i < list.size();) {
      if (announced(list[i].key)) {
        ++i;
        continue;
      }
      freed.push_back(std::move(list[i].owner));
      list[i] = std::move(list.back());
      list.pop_back();
    }
    gRetiredSnapshots.store(list.size(), std::memory_order_relaxed);
  }
}

}  // namespace rv::detail
