#pragma once

#include <cstddef>
#include <cstdint>

// The kernel's account of a process or a thread in its stat file in /proc
// (base/ProcFiles.h builds the paths): the fields the tree reads of it, above
// all the start, which tells a process or thread from one given its id after
// it ended. Everything here is async-signal-safe: no heap, no lock, system
// calls only.
namespace base {

struct ProcStat {
  // The command name: its first `nameLength` bytes (16 at most), without a
  // terminating zero.
  char name[16];
  size_t nameLength;
  char state;
  // The parent's id, as /proc numbers it.
  int64_t parent;
  // The processor time it has used in user and in kernel mode, in clock
  // ticks (base::proc_clock_ticks).
  uint64_t userTicks;
  uint64_t systemTicks;
  // The start, in clock ticks since boot (the clock that counts suspended
  // time too).
  uint64_t startTicks;
};

// Reads the text of a stat file in pieces of any size, as they come. The
// name, in parentheses, may hold any byte (")" and spaces too): it ends at
// the last ")". Inlined whole into its caller, a signal handler's entry that
// must make no call too: it has no constructor, and a scan begins with
// `start`.
class ProcStatScanner {
 public:
  __attribute__((always_inline)) void start() noexcept {
    field_ = 0;
    named_ = 0;
    stat_.nameLength = 0;
    clearFields();
  }
  __attribute__((always_inline)) void feed(const char* bytes, size_t length) noexcept {
    for (size_t i = 0; i < length && field_ <= kLastField; ++i) {
      const char c = bytes[i];
      if (field_ == 0) {
        if (c == '(') field_ = 1;
        continue;
      }
      if (c == ')') {
        // Perhaps the name's end: what follows an earlier ")" was the name.
        stat_.nameLength = named_ < sizeof stat_.name ? named_ : sizeof stat_.name;
        field_ = 2;
        clearFields();
      } else if (field_ >= 2 && c == ' ') {
        ++field_;
      } else if (field_ == 3 && stat_.state == 0) {
        stat_.state = c;
      } else if (field_ == 4 && c >= '0' && c <= '9') {
        stat_.parent = stat_.parent * 10 + (c - '0');
      } else if (field_ == kUserField && c >= '0' && c <= '9') {
        stat_.userTicks = stat_.userTicks * 10 + static_cast<uint64_t>(c - '0');
      } else if (field_ == kUserField + 1 && c >= '0' && c <= '9') {
        stat_.systemTicks = stat_.systemTicks * 10 + static_cast<uint64_t>(c - '0');
      } else if (field_ == kLastField && c >= '0' && c <= '9') {
        stat_.startTicks = stat_.startTicks * 10 + static_cast<uint64_t>(c - '0');
      }
      if (named_ < sizeof stat_.name) stat_.name[named_] = c;
      ++named_;
    }
  }
  // Whether the fields through the start have been read.
  __attribute__((always_inline)) bool complete() const noexcept { return field_ > kLastField; }
  __attribute__((always_inline)) const ProcStat& stat() const noexcept { return stat_; }

 private:
  static constexpr int kUserField = 14;
  static constexpr int kLastField = 22;

  __attribute__((always_inline)) void clearFields() noexcept {
    stat_.state = 0;
    stat_.parent = 0;
    stat_.userTicks = 0;
    stat_.systemTicks = 0;
    stat_.startTicks = 0;
  }

  // 0 before the name, 1 in it, then the number of the field being read
  // (the state is the third).
  int field_;
  // The bytes read after the name's "(".
  size_t named_;
  ProcStat stat_;
};

// Reads the stat file open on `fd` from where it stands, then closes it:
// true, with `*stat`, when the fields through the start were read.
bool proc_stat_read_and_close(int fd, ProcStat* stat) noexcept;

// Opens `path` (a stat file) and reads it as `proc_stat_read_and_close`.
bool proc_stat_read(const char* path, ProcStat* stat) noexcept;

}  // namespace base
