#include "ThreadViews.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "base/ProcFiles.h"
#include "base/ProcStat.h"
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

// Whether the process file system numbers threads as this process does
// (base/ProcFiles.h). Looked at once per process.
bool procNumbersThreads() noexcept {
  int known = gProcNumbering.load(std::memory_order_relaxed);
  if (known >= 0) return known == 1;
  known = base::proc_numbers_as_this_process() ? 1 : 0;
  gProcNumbering.store(known, std::memory_order_relaxed);
  return known == 1;
}

// Whether the process file system shows thread `tid` under that number.
bool shown(pid_t tid) noexcept { return tid > 0 && procNumbersThreads(); }

// The path of what the process file system shows of thread `tid` in `name`.
base::ProcPath taskFile(pid_t tid, const char* name) noexcept {
  return base::ProcPath(base::kProcSelf).file("task").id(tid).file(name);
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
  if (!shown(tid)) return Seen::unknown;
  char text[16];
  const ssize_t size = base::proc_read(taskFile(tid, "syscall").c_str(), text, sizeof text);
  if (size <= 0) return Seen::unknown;
  return size >= 7 && std::memcmp(text, "running", 7) == 0 ? Seen::running : Seen::stopped;
}

void forgetProcNumbering() noexcept { gProcNumbering.store(-1, std::memory_order_relaxed); }

bool threadStatus(pid_t tid, ThreadStatus& status) noexcept {
  if (!shown(tid)) return false;
  base::ProcStatus read;
  constexpr uint32_t kNeeded = base::ProcStatus::kState | base::ProcStatus::kPending |
                               base::ProcStatus::kBlocked | base::ProcStatus::kSwitches;
  if (!base::proc_status_read(taskFile(tid, "status").c_str(), &read) ||
      (read.found & kNeeded) != kNeeded) {
    return false;
  }
  status.state = read.state;
  status.pending = read.pending;
  status.blocked = read.blocked;
  status.blocks = read.switches;
  return true;
}

bool processorTime(pid_t tid, uint64_t& nanoseconds) noexcept {
  if (runTime(tid, nanoseconds)) return true;
  base::ProcStat stat;
  if (!shown(tid) || !base::proc_stat_read(taskFile(tid, "stat").c_str(), &stat)) return false;
  const auto ticks = static_cast<uint64_t>(base::proc_clock_ticks());
  nanoseconds = (stat.userTicks + stat.systemTicks) * (1000000000u / ticks);
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
