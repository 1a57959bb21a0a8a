#include "ROCrashAnnotations.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ROCrashProcessInfo.h"
#include "base/Fork.h"
#include "base/ProcessToken.h"

namespace rocrash::annotations {
namespace {

struct Slot {
  std::atomic<const char*> name{nullptr};
  std::atomic<Value*> value{nullptr};
  // A host's slot whose name a component has kept since: never read again.
  std::atomic<bool> dropped{false};
};

Slot gSlots[kCapacity];

// The readers between their count-in and count-out, in one word: the token
// of the process that counts them (the high half), kKeepInherited, and how
// many. kKeepInherited marks a child made without fork handlers while its
// parent had readers: how many of them were its forking thread's, which may
// still read there, is not known, so the records it inherited are never
// freed in it.
constexpr uint64_t kKeepInherited = uint64_t{1} << 31;
constexpr uint64_t kCount = kKeepInherited - 1;
std::atomic<uint64_t> gReaders{0};
// Of them, the calling thread's: a thread may read while it reads (a signal
// handler's report), and fork meanwhile.
thread_local uint32_t tHeld __attribute__((tls_model("initial-exec"))) = 0;
// Replaced values a reader may still hold, linked by `retiredNext`.
std::atomic<Value*> gRetired{nullptr};
#ifdef KX_TEST_SEAMS
std::atomic<int64_t> gLiveValues{0};
#endif

uint32_t tokenOf(uint64_t readers) { return static_cast<uint32_t>(readers >> 32); }

// `readers` as the count of the process whose token is `token`: itself, or,
// when it is another process's (a child made without fork handlers finds its
// parent's), a count of none, which keeps the records inherited when the
// parent had readers or kept its own parent's.
uint64_t ownReaders(uint64_t readers, uint32_t token) {
  if (tokenOf(readers) == token) return readers;
  const bool keep = (readers & (kCount | kKeepInherited)) != 0;
  return uint64_t{token} << 32 | (keep ? kKeepInherited : 0);
}

// The count, made this process's first if need be.
uint64_t readersNow() {
  const uint32_t token = base::process_token();
  uint64_t readers = gReaders.load(std::memory_order_seq_cst);
  while (tokenOf(readers) != token) {
    const uint64_t renewed = ownReaders(readers, token);
    if (gReaders.compare_exchange_weak(readers, renewed, std::memory_order_seq_cst)) return renewed;
  }
  return readers;
}

// Whether `value` is a record this process inherited and may never free.
bool keptForGood(const Value* value, uint64_t readers) {
  return (readers & kKeepInherited) != 0 && value->madeIn != tokenOf(readers);
}

Value* makeValue(std::string_view text) {
  void* memory = std::malloc(sizeof(Value) + text.size() + 1);
  if (memory == nullptr) return nullptr;
  auto* value =
      new (memory) Value{nullptr, base::process_token(), static_cast<uint32_t>(text.size())};
  auto* bytes = reinterpret_cast<char*>(value + 1);
  if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
  bytes[text.size()] = '\0';
#ifdef KX_TEST_SEAMS
  gLiveValues.fetch_add(1, std::memory_order_relaxed);
#endif
  return value;
}

// Frees the chain, but for the records this process keeps for good, which
// are left out of every list.
void freeChain(Value* value, uint64_t readers) {
  while (value != nullptr) {
    Value* next = value->retiredNext;
    if (!keptForGood(value, readers)) {
      std::free(value);
#ifdef KX_TEST_SEAMS
      gLiveValues.fetch_sub(1, std::memory_order_relaxed);
#endif
    }
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
// While readers are counted the list is left alone, so that a change costs
// the same however long it grew.
void freeRetired() {
  if ((readersNow() & kCount) != 0) return;
  Value* list = gRetired.exchange(nullptr, std::memory_order_seq_cst);
  if (list == nullptr) return;
  const uint64_t readers = readersNow();
  if ((readers & kCount) == 0) {
    freeChain(list, readers);
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
    const uint64_t readers = readersNow();
    if ((readers & kCount) == 0 || keptForGood(old, readers)) {
      freeChain(old, readers);
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

// The slot of `name` among [first, end): found, or with `claim` taken from
// the first free slot (`*claimed` says which). Names are claimed in table
// order, so none lies past a free slot. kFull when there is none (and
// `claim` could not take one), kNoMemory when its copy could not be made.
int slotOf(std::string_view name, bool claim, size_t first, size_t end, bool* claimed = nullptr) {
  char* copy = nullptr;
  int found = kFull;
  for (size_t i = first; i < end; ++i) {
    const char* holder = gSlots[i].name.load(std::memory_order_seq_cst);
    if (holder == nullptr) {
      if (!claim) break;
      if (copy == nullptr) {
        copy = static_cast<char*>(std::malloc(name.size() + 1));
        if (copy == nullptr) return kNoMemory;
        std::memcpy(copy, name.data(), name.size());
        copy[name.size()] = '\0';
      }
      if (gSlots[i].name.compare_exchange_strong(holder, copy, std::memory_order_seq_cst)) {
        if (claimed != nullptr) *claimed = true;
        return static_cast<int>(i);
      }
      // Another thread claimed it first: `holder` is its name.
    }
    if (sameName(holder, name)) {
      found = static_cast<int>(i);
      break;
    }
  }
  std::free(copy);
  return found;
}

// Whether the program has the telemetry client's crash service: it defines
// this symbol, which the link resolves, or leaves null, before any code of
// the process runs, so that no initialiser can come before the answer.
extern "C" const char kestrix_crash_service_annotations __attribute__((weak));
bool hasTheService() { return &kestrix_crash_service_annotations != nullptr; }

bool isServiceName(std::string_view name) {
  if (!hasTheService()) return false;
  for (const char* service : kServiceNames) {
    if (sameName(service, name)) return true;
  }
  return false;
}

// Kept for a component, or the service's.
bool isKept(std::string_view name) {
  return isServiceName(name) || slotOf(name, false, kHostNames, kFirstServiceSlot) >= 0;
}

// Drops the value of the host's slot `slot`, whose name a component keeps.
void drop(size_t slot) {
  gSlots[slot].dropped.store(true, std::memory_order_seq_cst);
  dispose(gSlots[slot].value.exchange(nullptr, std::memory_order_seq_cst));
}

SetResult store(size_t slot, std::string_view value) {
  if (!isValue(value)) return SetResult::badValue;
  Value* fresh = makeValue(value);
  if (fresh == nullptr) return SetResult::noMemory;
  dispose(gSlots[slot].value.exchange(fresh, std::memory_order_seq_cst));
  return SetResult::set;
}

// A forked child's readers are the forking thread's, which end there:
// joined as the process starts, as a reader may fork before any value is
// set. Those reads are counted in the child's count, and end in it.
void countReadersInChild() {
  gReaders.store(uint64_t{base::process_token()} << 32 | tHeld, std::memory_order_relaxed);
}
__attribute__((constructor)) void readersJoinedAtLoad() {
  base::fork_join_or_stop(base::ForkPhase::crashEngine, {.child = countReadersInChild});
}

// Text a report can carry: valid UTF-8 without a zero byte (the writer
// writes zero-terminated text).
bool isReportText(std::string_view text) {
  return rocrash_utf8_valid_prefix_length(reinterpret_cast<const uint8_t*>(text.data()),
                                          text.size()) == text.size();
}

}  // namespace

bool isName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxNameBytes && isReportText(name);
}

bool isValue(std::string_view value) {
  return value.size() <= kMaxValueBytes && isReportText(value);
}

SetResult set(std::string_view name, std::string_view value) {
  if (!isName(name)) return SetResult::badName;
  if (!isValue(value)) return SetResult::badValue;
  if (isKept(name)) return SetResult::kept;
  const int slot = slotOf(name, true, 0, kHostNames);
  if (slot == kFull) return SetResult::full;
  if (slot == kNoMemory) return SetResult::noMemory;
  // A component that keeps the name meanwhile either finds this slot, or is
  // found here.
  if (gSlots[slot].dropped.load(std::memory_order_seq_cst) || isKept(name)) {
    drop(slot);
    return SetResult::kept;
  }
  const SetResult stored = store(slot, value);
  if (!gSlots[slot].dropped.load(std::memory_order_seq_cst)) return stored;
  drop(slot);
  return SetResult::kept;
}

void clear(std::string_view name) {
  const int slot = slotOf(name, false, 0, kHostNames);
  if (slot < 0 || gSlots[slot].dropped.load(std::memory_order_seq_cst)) return;
  dispose(gSlots[slot].value.exchange(nullptr, std::memory_order_seq_cst));
}

std::map<std::string, std::string> current() {
  Snapshot snapshot;
  std::map<std::string, std::string> values;
  for (size_t i = 0; i < kHostNames; ++i) {
    if (const Value* value = snapshot.value(i)) {
      values.emplace(snapshot.name(i), std::string(value->text(), value->length));
    }
  }
  return values;
}

SetResult keep(std::string_view name, size_t* slot) {
  if (!isName(name)) return SetResult::badName;
  if (isServiceName(name)) return SetResult::kept;
  bool claimed = false;
  const int kept = slotOf(name, true, kHostNames, kFirstServiceSlot, &claimed);
  if (kept == kFull) return SetResult::full;
  if (kept == kNoMemory) return SetResult::noMemory;
  if (!claimed) return SetResult::kept;
  // The host's value of the name is not the host's any more.
  const int host = slotOf(name, false, 0, kHostNames);
  if (host >= 0) drop(static_cast<size_t>(host));
  *slot = static_cast<size_t>(kept);
  return SetResult::set;
}

SetResult setKept(size_t slot, std::string_view value) { return store(slot, value); }

void clearKept(size_t slot) {
  dispose(gSlots[slot].value.exchange(nullptr, std::memory_order_seq_cst));
}

const char* nameOf(size_t slot) {
  return slot >= kFirstServiceSlot ? kServiceNames[slot - kFirstServiceSlot]
                                   : gSlots[slot].name.load(std::memory_order_acquire);
}

// The thread's own count first, and last: a fork in between counts one
// reader too many in the child (it keeps what it replaces), never one too
// few.
Snapshot::Snapshot() noexcept {
  ++tHeld;
  uint64_t readers = gReaders.load(std::memory_order_seq_cst);
  uint32_t token = base::process_token();
  while (!gReaders.compare_exchange_weak(readers, ownReaders(readers, token) + 1,
                                         std::memory_order_seq_cst)) {
    token = base::process_token();
  }
  countedIn_ = token;
  // A host's slot whose name a component keeps since has no value for
  // reports, whatever it still holds.
  for (size_t i = 0; i < kCapacity; ++i) {
    values_[i] = nameOf(i) != nullptr && !gSlots[i].dropped.load(std::memory_order_acquire)
                     ? gSlots[i].value.load(std::memory_order_seq_cst)
                     : nullptr;
  }
}

// Counted out of the count it is in: this process's, or one a fork handler
// counted it in; a read from before a fork without handlers is in no count
// of the child's.
Snapshot::~Snapshot() {
  uint64_t readers = gReaders.load(std::memory_order_seq_cst);
  while ((readers & kCount) != 0 &&
         (tokenOf(readers) == countedIn_ || (readers & kKeepInherited) == 0) &&
         !gReaders.compare_exchange_weak(readers, readers - 1, std::memory_order_seq_cst)) {
  }
  --tHeld;
}

#ifdef KX_TEST_SEAMS
int64_t liveValuesForTesting() { return gLiveValues.load(); }

size_t claimedNamesForTesting() {
  size_t claimed = 0;
  while (claimed < kHostNames && gSlots[claimed].name.load() != nullptr) ++claimed;
  return claimed;
}
#endif

}  // namespace rocrash::annotations
