#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

#include "ROCrashAnnotationRules.h"

// The process's annotations: named strings the program sets and clears at
// any time, from any thread, which every report of the process (crash and
// live) carries as they stand when it is written.
//
// A fixed table of slots, each a name claimed once and an atomic pointer to
// an immutable value record. No lock: a thread parked at a crash, or one that
// is not there any more in a child forked from the crash callback, may be
// anywhere in a change. The host's names are claimed in table order by
// compare-and-swap, so two threads that set the same new name end in one
// slot; a name keeps its slot for the life of the process, also once cleared.
// A few more slots hold names kept for components of the program, and the
// last ones the telemetry client's crash service's names (its session and
// user ids), which in a program linked with the service are its own from
// the start of the process, whatever runs first (elsewhere the host may use
// them): the host can neither set nor clear any of them, nor see them among
// its own, and reports carry them beside the host's. A change allocates a
// new record and exchanges the pointer (a clear exchanges null), so a reader
// sees the old value or the new one, whole.
//
// A replaced record may still be read: readers count themselves in before
// they load the pointers, and a change frees what it replaced only when it
// then sees no reader (both sides sequentially consistent); else the record
// waits on a lock-free list that a later change empties once it sees no
// reader. The count belongs to the process whose token it carries. A forked
// child starts, in its fork handler, with the forking thread's readers only:
// no other thread lives there. A child made without fork handlers (the raw
// system call) finds its parent's count, which may name readers that never
// end there: it counts its own from nought, and of the records it inherited
// it never frees one it replaces (a reader of the forking thread may hold it;
// there are no more of them than the parent had), so that what it replaces
// later is freed as in its parent.
namespace rocrash::annotations {

// Names the host sets, at most, over the life of the process.
inline constexpr size_t kHostNames = 16;
// Names kept for components beside them, at most.
inline constexpr size_t kKeptNames = 4;
// The crash service's names, in the order of ROReradUzerirud::ServiceAnnotation.
inline constexpr const char* kServiceNames[] = {"sessionId", "userId", "sessionIdSetAt",
                                                "userIdSetAt"};
inline constexpr size_t kFirstServiceSlot = kHostNames + kKeptNames;
// The slots a report reads: the host's, the kept ones, then the service's.
inline constexpr size_t kCapacity = kFirstServiceSlot + std::size(kServiceNames);

// A value as a report reads it: its length and its bytes with a zero after
// them. Immutable once published.
struct Value {
  Value* retiredNext;  // the retired list's link, set once it is replaced
  uint32_t madeIn;     // the token of the process that made it
  uint32_t length;
  const char* text() const { return reinterpret_cast<const char*>(this + 1); }
};

enum class SetResult {
  set,
  badName,   // empty, too long, not UTF-8, or holding a zero byte
  badValue,  // too long, not UTF-8, or holding a zero byte
  full,      // every slot holds another name
  noMemory,
  kept,  // the name is kept for a component or the service (kept already, to `keep`)
};

// Sets the host's `name` to `value` (an empty value is a value). Any thread;
// allocates; not async-signal-safe.
SetResult set(std::string_view name, std::string_view value);
// Clears the host's `name`; nothing when it has no value or is kept. Any
// thread; not async-signal-safe (it may free what it replaced).
void clear(std::string_view name);
// The host's names that have a value, with their values.
std::map<std::string, std::string> current();

// Keeps `name` for the caller: `*slot` is then its slot, which `setKept` and
// `clearKept` change. The host's value of that name, if any, is dropped.
SetResult keep(std::string_view name, size_t* slot);
// Changes a kept slot or a service's one (kFirstServiceSlot + its index).
SetResult setKept(size_t slot, std::string_view value);
void clearKept(size_t slot);
// Slot `slot`'s name; null while it has none. Async-signal-safe.
const char* nameOf(size_t slot);

// What one report reads: every slot's value, each loaded once, so that
// measuring and writing a report see the same values (a name, once claimed,
// never changes). While it lives, no value it holds is freed.
// Async-signal-safe; allocates nothing.
class Snapshot {
 public:
  Snapshot() noexcept;
  ~Snapshot();
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  // Slot `i`'s value, null when it has none, and its name, which a slot
  // keeps once it has one (a slot with a value has one).
  const Value* value(size_t i) const { return values_[i]; }
  const char* name(size_t i) const { return nameOf(i); }

 private:
  const Value* values_[kCapacity];
  // The token of the process whose count this read is in.
  uint32_t countedIn_;
};

#ifdef KX_TEST_SEAMS
// Value records allocated and not yet freed (current, retired, and those a
// child keeps of its parent's).
int64_t liveValuesForTesting();
// The host's slots whose name is claimed.
size_t claimedNamesForTesting();
#endif

}  // namespace rocrash::annotations
