#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The one reader of /proc: the paths of its files, a file read into the
// caller's buffer, the fields of the status files and of the system's stat
// file, the clock the kernel counts times in, and whether /proc numbers
// processes as the calling process does. A process's stat file has its own
// reader (base/ProcStat.h). No other part of the tree names a file of /proc.
//
// Everything here is async-signal-safe and fit for a crash handler: no heap,
// no lock, no stdio or locale, fixed buffers (the caller's, or a few hundred
// bytes of stack), system calls and the auxiliary vector only; errno is
// kept.
namespace base {

// Whose files a path names: a process id (above 0), or one of these three.
// The calling process, under whatever number /proc gives it.
inline constexpr int64_t kProcSelf = 0;
// The calling thread, which outlives the process's folder when the first
// thread has ended while others run on.
inline constexpr int64_t kProcThreadSelf = -1;
// The system's own files ("stat", "meminfo", "sys/...").
inline constexpr int64_t kProcSystem = -2;

// A path under /proc, built in place: "/proc/<whose>" followed by the pieces
// added. Built at compile time where it is a constant, and inlined whole
// otherwise, so that a signal handler's entry that must make no call may
// build one too. A piece that does not fit, or a negative id, spoils it:
// `c_str` is null then.
class ProcPath {
 public:
  static constexpr size_t kRoom = 128;

  __attribute__((always_inline)) constexpr explicit ProcPath(int64_t whose) noexcept {
    add("/proc");
    if (whose == kProcSelf) {
      file("self");
    } else if (whose == kProcThreadSelf) {
      file("thread-self");
    } else if (whose != kProcSystem) {
      id(whose);
    }
  }
  // Adds "/" and `name` (which may hold more "/").
  __attribute__((always_inline)) constexpr ProcPath& file(const char* name) noexcept {
    add("/");
    add(name);
    return *this;
  }
  // Adds "/" and `number` in decimal.
  __attribute__((always_inline)) constexpr ProcPath& id(int64_t number) noexcept {
    if (number < 0) spoiled_ = true;
    char digits[20] = {};
    size_t count = 0;
    auto left = static_cast<uint64_t>(number);
    do {
      digits[count++] = static_cast<char>('0' + left % 10);
      left /= 10;
    } while (left != 0);
    add("/");
    while (count > 0) put(digits[--count]);
    return *this;
  }
  __attribute__((always_inline)) constexpr const char* c_str() const noexcept {
    return spoiled_ ? nullptr : text_;
  }

 private:
  __attribute__((always_inline)) constexpr void add(const char* text) noexcept {
    for (; *text != '\0'; ++text) put(*text);
  }
  __attribute__((always_inline)) constexpr void put(char c) noexcept {
    if (length_ + 1 >= kRoom) {
      spoiled_ = true;
      return;
    }
    text_[length_++] = c;
  }

  char text_[kRoom] = {};
  size_t length_ = 0;
  bool spoiled_ = false;
};

// Reads the file at `path` into `text`, which has room for `room` bytes with
// a terminating zero (at least 1): its length, or -1 when it cannot be
// opened or read. A file longer than the room is cut there.
ssize_t proc_read(const char* path, char* text, size_t room) noexcept;
// The same from where the descriptor `fd` stands, which it closes.
ssize_t proc_read_and_close(int fd, char* text, size_t room) noexcept;

// The fields of a status file ("Name:\tvalue" lines) that the tree reads.
struct ProcStatus {
  enum Field : uint32_t {
    kState = 1u << 0,
    kTracer = 1u << 1,
    kIds = 1u << 2,
    kPending = 1u << 3,
    kBlocked = 1u << 4,
    kSwitches = 1u << 5,
    kIgnored = 1u << 6,
    kSeccomp = 1u << 7,
  };
  // The fields found, each on a whole line of its own (a kernel may not show
  // one; a line a file's end cut short does not count).
  uint32_t found;
  // State: 'R' while it runs or may run, 'S' asleep, 'Z' ended...
  char state;
  // TracerPid: the process that traces it (0: none).
  int64_t tracer;
  // NSpid: the ids it has, one in each pid namespace from the one /proc was
  // mounted for down to its own: how many, and the last (its own).
  uint32_t idCount;
  int64_t ownId;
  // SigPnd and SigBlk: its own pending signals and its mask (bit n - 1 for
  // signal n).
  uint64_t pending;
  uint64_t blocked;
  // voluntary_ctxt_switches: how many times it has blocked so far.
  uint64_t switches;
  // SigIgn: the signals whose action is to ignore them (SIG_IGN; not those
  // ignored by default).
  uint64_t ignored;
  // Seccomp: 0 with no filter of system calls, 1 in the strict mode, 2
  // under filters.
  uint64_t seccomp;
};

// Reads the lines of a /proc text file in pieces of any size, as they come,
// and keeps the values of the names its table asks for: a letter, or
// numbers in decimal or hexadecimal apart by blanks. Only a whole line gives
// a value; one with anything else in it gives none.
class ProcLineScanner {
 public:
  enum class Kind : uint8_t { letter, decimal, hex };
  // `name` with the character that ends it ("State:", "btime ").
  struct Field {
    const char* name;
    Kind kind;
  };
  struct Value {
    bool found;
    // How many numbers the line has (1 for a letter), and the last of them.
    uint32_t count;
    uint64_t last;
  };

  // Reads from the start of a file, into `values` (one per field).
  void start(const Field* fields, size_t count, Value* values) noexcept;
  void feed(const char* bytes, size_t length) noexcept;

 private:
  static constexpr size_t kNameRoom = 24;
  static constexpr int kNoField = -1;
  static constexpr int kInName = -2;

  void startLine() noexcept;
  void endLine() noexcept;
  void take(char c) noexcept;

  const Field* fields_;
  size_t fieldCount_;
  Value* values_;
  char name_[kNameRoom];
  size_t nameLength_;
  // The field of the line being read, or kNoField, or kInName.
  int field_;
  bool spoiled_;
  unsigned digits_;
  uint32_t count_;
  uint64_t number_;
  uint64_t last_;
};

// Reads a status file in pieces, as ProcLineScanner does.
class ProcStatusScanner {
 public:
  void start() noexcept;
  void feed(const char* bytes, size_t length) noexcept;
  // The fields of the lines read so far.
  ProcStatus status() const noexcept;

 private:
  static constexpr size_t kFields = 8;
  ProcLineScanner lines_;
  ProcLineScanner::Value values_[kFields];
};

// Reads the status file at `path` (of a process or a thread): false when it
// cannot be opened or read; `status->found` says which fields it had.
bool proc_status_read(const char* path, ProcStatus* status) noexcept;
// The same from where the descriptor `fd` stands, which it closes.
bool proc_status_read_and_close(int fd, ProcStatus* status) noexcept;

// Whether /proc numbers processes and threads as the calling process does
// (it was mounted for the process's own pid namespace, not for one above
// it), as a status of one of its threads shows: its NSpid line has one id.
// Without the line (a kernel before 4.1) the answer is no: a number /proc
// gives may then name another process or thread, and a caller does without
// what /proc shows of the others.
bool proc_status_numbers_as_own(const ProcStatus& status) noexcept;
// The same from the calling thread's status, read now; where it cannot be
// read (no descriptor left to read it with), from the link
// /proc/thread-self, which names "<process>/task/<thread>" by /proc's
// numbers: yes where both are the own ones.
bool proc_numbers_as_this_process() noexcept;

// The time the system booted, in seconds since 1970, from the "btime" line
// of the system's stat file (text `text` of `length` bytes, or the file read
// now): the wall clock less the time since boot, so it moves when the wall
// clock is stepped. False when there is no such line.
bool proc_boot_time_parse(const char* text, size_t length, int64_t* seconds) noexcept;
bool proc_boot_time(int64_t* seconds) noexcept;

namespace detail {
// The clock-tick rate once read (0 before): read when the program or library
// is loaded, before its static initialisers.
extern long gProcClockTicks __attribute__((visibility("hidden")));
long procClockTicksSlow() noexcept;
}  // namespace detail

// The kernel's clock ticks a second, which stat files count times in (the
// auxiliary vector's, which the kernel gives every program). Inlined whole
// (a load) into any caller, a signal handler's entry that must call no
// function of another object too; only a caller before the load-time read
// calls one.
__attribute__((always_inline)) inline long proc_clock_ticks() noexcept {
  const long known = __atomic_load_n(&detail::gProcClockTicks, __ATOMIC_RELAXED);
  return known > 0 ? known : detail::procClockTicksSlow();
}

}  // namespace base
