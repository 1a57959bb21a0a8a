#include "ROCrashAnnotations.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ROCrashProcessInfo.h"

namespace rocrash::annotations {
namespace {

struct Slot {
  std::atomic<const char*> name{nullptr};
  std::atomic<Value*> value{nullptr};
};

Slot gSlots[kCapacity];
// Readers between their count-in and count-out.
std::atomic<uint32_t> gReaders{0};
// Of them, the calling thread's: a thread may read while it reads (a signal
// handler's report), and fork meanwhile.
thread_local uint32_t tHeld __attribute__((tls_model("initial-exec"))) = 0;
// Replaced values a reader may still hold, linked by `retiredNext`.
std::atomic<Value*> gRetired{nullptr};
#ifdef KX_TEST_SEAMS
std::atomic<int64_t> gLiveValues{0};
#endif

// Text a report can carry: valid UTF-8 without a zero byte (the writer
// writes zero-terminated text).
bool isReportText(std::string_view text) {
  return rocrash_utf8_valid_prefix_length(reinterpret_cast<const uint8_t*>(text.data()),
                                          text.size()) == text.size();
}

Value* makeValue(std::string_view text) {
  void* memory = std::malloc(sizeof(Value) + text.size() + 1);
  if (memory == nullptr) return nullptr;
  auto* value = new (memory) Value{nullptr, static_cast<uint32_t>(text.size())};
  auto* bytes = reinterpret_cast<char*>(value + 1);
  if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
  bytes[text.size()] = '\0';
#ifdef KX_TEST_SEAMS
  gLiveValues.fetch_add(1, std::memory_order_relaxed);
#endif
  return value;
}

void freeChain(Value* value) {
  while (value != nullptr) {
    Value* next = value->retiredNext;
    std::free(value);
#ifdef KX_TEST_SEAMS
    gLiveValues.fetch_sub(1, std::memory_order_relaxed);
#endif
    value = next;
  }
}

// Puts the chain `first` ... `last` on the retired list.
void retire(Value* first, Value* last) {
  Value* head = gRetired.load(std::memory_order_relaxed);
  do {
    last->retiredNext = head;
  } while (!gRetired.compare_exchange_weak(head, first, std::memory_order_release,
                                           std::memory_order_relaxed));
}

// Frees the retired values once no reader can hold one: a reader that
// loaded one counted itself in before, so seeing no reader after taking the
// list means none still reads them, and later readers cannot find them.
void freeRetired() {
  Value* list = gRetired.exchange(nullptr, std::memory_order_seq_cst);
  if (list == nullptr) return;
  if (gReaders.load(std::memory_order_seq_cst) == 0) {
    freeChain(list);
    return;
  }
  Value* last = list;
  while (last->retiredNext != nullptr) last = last->retiredNext;
  retire(list, last);
}

// Disposes of `old`, which its slot no longer holds.
void dispose(Value* old) {
  if (old != nullptr) {
    old->retiredNext = nullptr;
    if (gReaders.load(std::memory_order_seq_cst) == 0) {
      freeChain(old);
    } else {
      retire(old, old);
    }
  }
  freeRetired();
}

bool sameName(const char* claimed, std::string_view name) {
  return std::strlen(claimed) == name.size() && std::memcmp(claimed, name.data(), name.size()) == 0;
}

enum : int { kFull = -1, kNoMemory = -2 };

// The slot of `name`: found, or with `claim` taken from the first free slot.
// Names are claimed in table order, so none lies past a free slot. kFull when
// there is none (and `claim` could not take one), kNoMemory when its copy
// could not be made.
int slotOf(std::string_view name, bool claim) {
  char* copy = nullptr;
  int found = kFull;
  for (size_t i = 0; i < kCapacity; ++i) {
    const char* claimed = gSlots[i].name.load(std::memory_order_acquire);
    if (claimed == nullptr) {
      if (!claim) break;
      if (copy == nullptr) {
        copy = static_cast<char*>(std::malloc(name.size() + 1));
        if (copy == nullptr) return kNoMemory;
        std::memcpy(copy, name.data(), name.size());
        copy[name.size()] = '\0';
      }
      if (gSlots[i].name.compare_exchange_strong(claimed, copy, std::memory_order_acq_rel,
                                                 std::memory_order_acquire)) {
        return static_cast<int>(i);
      }
      // Another thread claimed it first: `claimed` is its name.
    }
    if (sameName(claimed, name)) {
      found = static_cast<int>(i);
      break;
    }
  }
  std::free(copy);
  return found;
}

// A forked child's readers are the forking thread's, which end there:
// registered as the process starts, as a reader may fork before any value is
// set.
void countReadersInChild() { gReaders.store(tHeld, std::memory_order_relaxed); }
[[maybe_unused]] const int gForkHandler = pthread_atfork(nullptr, nullptr, countReadersInChild);

}  // namespace

SetResult set(std::string_view name, std::string_view value) {
  if (name.empty() || name.size() > kMaxNameBytes || !isReportText(name)) {
    return SetResult::badName;
  }
  if (value.size() > kMaxValueBytes || !isReportText(value)) return SetResult::badValue;
  const int slot = slotOf(name, true);
  if (slot == kFull) return SetResult::full;
  if (slot == kNoMemory) return SetResult::noMemory;
  Value* fresh = makeValue(value);
  if (fresh == nullptr) return SetResult::noMemory;
  dispose(gSlots[slot].value.exchange(fresh, std::memory_order_seq_cst));
  return SetResult::set;
}

void clear(std::string_view name) {
  const int slot = slotOf(name, false);
  if (slot < 0) return;
  dispose(gSlots[slot].value.exchange(nullptr, std::memory_order_seq_cst));
}

std::map<std::string, std::string> current() {
  Snapshot snapshot;
  std::map<std::string, std::string> values;
  for (size_t i = 0; i < kCapacity; ++i) {
    if (const Value* value = snapshot.value(i)) {
      values.emplace(snapshot.name(i), std::string(value->text(), value->length));
    }
  }
  return values;
}

// The thread's own count first, and last: a fork in between counts one
// reader too many in the child (it keeps what it replaces), never one too
// few.
Snapshot::Snapshot() noexcept {
  ++tHeld;
  gReaders.fetch_add(1, std::memory_order_seq_cst);
  for (size_t i = 0; i < kCapacity; ++i) {
    names_[i] = gSlots[i].name.load(std::memory_order_acquire);
    values_[i] = names_[i] != nullptr ? gSlots[i].value.load(std::memory_order_seq_cst) : nullptr;
  }
}

Snapshot::~Snapshot() {
  gReaders.fetch_sub(1, std::memory_order_seq_cst);
  --tHeld;
}

#ifdef KX_TEST_SEAMS
int64_t liveValuesForTesting() { return gLiveValues.load(); }

size_t claimedNamesForTesting() {
  size_t claimed = 0;
  while (claimed < kCapacity && gSlots[claimed].name.load() != nullptr) ++claimed;
  return claimed;
}
#endif

}  // namespace rocrash::annotations
