#include "ThreadViews.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "concurrency/AsymmetricFence.h"

#ifdef KX_TEST_SEAMS
#include "concurrency/TestSeams.h"
#endif

namespace concurrency {
namespace {

#ifdef KX_TEST_SEAMS
std::atomic<uint64_t (*)(int, uint64_t)> gThreadClock{nullptr};
#endif

// Whether the process file system numbers threads as this process does
// (-1: not looked at yet; see procNumbersThreads).
std::atomic<int> gProcNumbering{-1};

// Whether a running thread's processor-time clock advances between two reads
// (-1: not looked at yet; see fineThreadClocks).
std::atomic<int> gFineClocks{-1};

// The kernel's clock of thread `tid` (its encoding of a thread's clock id)
// that counts the time the scheduler ran it.
bool runTime(pid_t tid, uint64_t& nanoseconds) noexcept {
  constexpr unsigned kRunClock = 6;  // the scheduler's count, of one thread
  const auto clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | kRunClock);
  timespec used{};
  if (clock_gettime(clock, &used) != 0) return false;
  nanoseconds =
      static_cast<uint64_t>(used.tv_sec) * 1000000000u + static_cast<uint64_t>(used.tv_nsec);
#ifdef KX_TEST_SEAMS
  if (auto* clock = gThreadClock.load(std::memory_order_acquire))
    nanoseconds = clock(tid, nanoseconds);
#endif
  return true;
}

// Whether the process file system numbers threads as this process does:
// it lists one id per pid namespace, from its own down to the process's,
// so one id means they are the same. Looked at once per process.
bool procNumbersThreads() noexcept {
  int known = gProcNumbering.load(std::memory_order_relaxed);
  if (known >= 0) return known == 1;
  known = 0;
  const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char text[4096];
    const ssize_t size = read(fd, text, sizeof text - 1);
    close(fd);
    if (size > 0) {
      text[size] = '\0';
      if (const char* line = std::strstr(text, "\nNSpid:")) {
        char* end = nullptr;
        std::strtol(line + 8, &end, 10);
        known = end != line + 8 && *end == '\n' ? 1 : 0;
      }
    }
  }
  gProcNumbering.store(known, std::memory_order_relaxed);
  return known == 1;
}

// Reads what the process file system shows of thread `tid` in `name`, ended
// by a NUL: its size, or -1 where it shows nothing (or numbers threads
// otherwise).
ssize_t readTaskFile(pid_t tid, const char* name, char* text, std::size_t size) noexcept {
  if (tid <= 0 || !procNumbersThreads()) return -1;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/%s", static_cast<int>(tid), name);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t got = read(fd, text, size - 1);
  close(fd);
  if (got < 0) return -1;
  text[got] = '\0';
  return got;
}

}  // namespace

namespace detail {

pid_t currentThreadId() noexcept { return static_cast<pid_t>(syscall(SYS_gettid)); }

uint64_t monotonicNow() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// Whether a running thread's clock reads differently twice in a row, which
// the clock proof relies on. A kernel whose scheduler clock steps once a tick
// would show a running thread the same twice within the tick: looked at once
// per process, on the calling thread's own clock, which the kernel reads the
// same way.
bool fineThreadClocks() noexcept {
  int known = gFineClocks.load(std::memory_order_relaxed);
  if (known >= 0) return known == 1;
  const pid_t self = currentThreadId();
  known = 1;
  for (int pair = 0; pair < 8 && known == 1; ++pair) {
    uint64_t first = 0;
    uint64_t second = 0;
    if (!runTime(self, first) || !runTime(self, second) || first == second) known = 0;
  }
  gFineClocks.store(known, std::memory_order_relaxed);
  return known == 1;
}

// AsymmetricFence.h (fenceThreadStopped) says why two equal reads prove the
// thread off its processor.
Seen clockPair(pid_t tid, uint64_t& last) noexcept {
  timespec interval{};
  uint64_t used = 0;
  if (tid <= 0 || !fineThreadClocks() || syscall(SYS_sched_rr_get_interval, tid, &interval) != 0 ||
      !runTime(tid, used)) {
    return Seen::unknown;
  }
  ++used;  // never 0, which stands for no read yet
  const bool stopped = used == last;
  last = used;
  return stopped ? Seen::stopped : Seen::running;
}

// The same proof from the process file system: before it shows what system
// call a thread is in, it waits, under the lock of the thread's run queue,
// until the thread is off its processor and out of the queue (and says
// "running" when it does not sleep). Whatever else it shows was seen under
// that lock, which the thread's switch out stored under and its next switch
// in must take.
Seen procSyscall(pid_t tid) noexcept {
  char text[16];
  const ssize_t size = readTaskFile(tid, "syscall", text, sizeof text);
  if (size <= 0) return Seen::unknown;
  return size >= 7 && std::memcmp(text, "running", 7) == 0 ? Seen::running : Seen::stopped;
}

void forgetProcNumbering() noexcept { gProcNumbering.store(-1, std::memory_order_relaxed); }

bool threadStatus(pid_t tid, ThreadStatus& status) noexcept {
  char text[4096];
  if (readTaskFile(tid, "status", text, sizeof text) <= 0) return false;
  // Each field is a line of its own; the name's line escapes line breaks.
  auto field = [&text](const char* name, int base, uint64_t& value) {
    const char* line = std::strstr(text, name);
    if (line == nullptr) return false;
    const char* start = line + std::strlen(name);
    char* end = nullptr;
    value = std::strtoull(start, &end, base);
    return end != start;
  };
  const char* state = std::strstr(text, "\nState:\t");
  if (state == nullptr) return false;
  status.state = state[8];
  return field("\nSigPnd:\t", 16, status.pending) && field("\nSigBlk:\t", 16, status.blocked) &&
         field("\nvoluntary_ctxt_switches:\t", 10, status.blocks);
}

bool processorTime(pid_t tid, uint64_t& nanoseconds) noexcept {
  if (runTime(tid, nanoseconds)) return true;
  char text[512];
  if (readTaskFile(tid, "stat", text, sizeof text) <= 0) return false;
  // The thread's name, in parentheses, may hold anything; the user and
  // kernel times are the 12th and 13th fields after it.
  const char* cursor = std::strrchr(text, ')');
  const long ticks = sysconf(_SC_CLK_TCK);
  if (cursor == nullptr || cursor[1] != ' ' || cursor[2] == '\0' || ticks <= 0) return false;
  cursor += 3;
  unsigned long long fields[12];
  for (unsigned long long& field : fields) {
    char* end = nullptr;
    field = std::strtoull(cursor, &end, 10);
    if (end == cursor) return false;
    cursor = end;
  }
  nanoseconds = (fields[10] + fields[11]) * (1000000000u / static_cast<uint64_t>(ticks));
  return true;
}

}  // namespace detail

#ifdef KX_TEST_SEAMS
void setThreadClockForTesting(uint64_t (*clock)(int tid, uint64_t nanoseconds)) noexcept {
  gThreadClock.store(clock, std::memory_order_release);
  gFineClocks.store(-1, std::memory_order_relaxed);
}
#endif

}  // namespace concurrency
