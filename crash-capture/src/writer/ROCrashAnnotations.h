#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// The process's annotations: named strings the program sets and clears at
// any time, from any thread, which every report of the process (crash and
// live) carries as they stand when it is written.
//
// A fixed table of slots, each a name claimed once and an atomic pointer to
// an immutable value record. No lock: a thread parked at a crash, or one that
// is not there any more in a child forked from the crash callback, may be
// anywhere in a change. Names are claimed in table order by compare-and-swap,
// so two threads that set the same new name end in one slot; a name keeps its
// slot for the life of the process, also once cleared. A change allocates a
// new record and exchanges the pointer (a clear exchanges null), so a reader
// sees the old value or the new one, whole. A replaced record may still be
// read: readers count themselves in before they load the pointers, and a
// change frees what it replaced only when it then sees no reader (both
// sides sequentially consistent); else the record waits on a lock-free list
// that a later change empties once it sees no reader. A forked child starts
// with the forking thread's readers only: no other thread lives there.
namespace rocrash::annotations {

// Names at most, over the life of the process.
inline constexpr size_t kCapacity = 16;
// Bytes of a name (at least one) and of a value, at most.
inline constexpr size_t kMaxNameBytes = 64;
inline constexpr size_t kMaxValueBytes = 4096;

// A value as a report reads it: its length and its bytes with a zero after
// them. Immutable once published.
struct Value {
  Value* retiredNext;  // the retired list's link, set once it is replaced
  uint32_t length;
  const char* text() const { return reinterpret_cast<const char*>(this + 1); }
};

enum class SetResult {
  set,
  badName,   // empty, too long, not UTF-8, or holding a zero byte
  badValue,  // too long, not UTF-8, or holding a zero byte
  full,      // every slot holds another name
  noMemory,
};

// Sets `name` to `value` (an empty value is a value). Any thread; allocates;
// not async-signal-safe.
SetResult set(std::string_view name, std::string_view value);
// Clears `name`; nothing when it has no value. Any thread; not
// async-signal-safe (it may free what it replaced).
void clear(std::string_view name);
// The names that have a value, with their values.
std::map<std::string, std::string> current();

// What one report reads: every slot's name and value, each loaded once, so
// that measuring and writing a report see the same values. While it lives, no
// value it holds is freed. Async-signal-safe; allocates nothing.
class Snapshot {
 public:
  Snapshot() noexcept;
  ~Snapshot();
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  // Slot `i`'s name and value; null when it has none.
  const char* name(size_t i) const { return names_[i]; }
  const Value* value(size_t i) const { return values_[i]; }

 private:
  const char* names_[kCapacity];
  const Value* values_[kCapacity];
};

#ifdef KX_TEST_SEAMS
// Value records allocated and not yet freed (current and retired ones).
int64_t liveValuesForTesting();
// Slots whose name is claimed.
size_t claimedNamesForTesting();
#endif

}  // namespace rocrash::annotations
