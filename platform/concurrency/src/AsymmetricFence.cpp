#include "concurrency/AsymmetricFence.h"

#include <fcntl.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/Mutex.h"
#include "base/ThreadSafety.h"

namespace concurrency {
namespace {

#ifdef KX_TEST_SEAMS
std::atomic<bool> gFailNext{false};
std::atomic<bool> gAllowStopped{true};
#endif

bool registerBarrier() noexcept {
  if (syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) != 0) return false;
  FenceMode expected = FenceMode::symmetric;
  detail::gFenceMode.compare_exchange_strong(expected, FenceMode::asymmetric,
                                             std::memory_order_seq_cst);
  return true;
}

// Whether the process is registered; the first call registers it. A heavy
// side asks this rather than the mode, so that it never skips the barrier a
// light side that already saw the asymmetric mode relies on.
bool registered() noexcept {
  static const bool done = registerBarrier();
  return done;
}

// --- the attached threads ---

// What an entry is: free for the next thread to attach, or attached to a
// thread that may still run plain steps, or to one seen since the barrier
// failed (or attached after).
enum class Phase : uint8_t { free, plain, seen };

base::Mutex& threadsMutex() {
  static base::Mutex* const mutex = new base::Mutex;
  return *mutex;
}

// Where a thread's watch for being busy in user code began (see
// busyInUserCode): when, and the kernel's counts then.
struct BusyWindow {
  uint64_t start = 0;
  uint64_t user = 0;
  uint64_t kernel = 0;
  uint64_t grain = 0;
};

// An attached thread. Never freed: when its thread ends it goes on the free
// list and passes to the next thread that attaches. Its address is the
// thread's key.
struct alignas(64) FenceThread {
  std::atomic<Phase> phase{Phase::free};
  std::atomic<pid_t> tid{0};
  // Ordering it by a signal (see orderedFor): the round its handler's next
  // run answers, the last round it answered, and whether a signal is on its
  // way.
  std::atomic<uint64_t> asked{0};
  std::atomic<uint64_t> answered{0};
  std::atomic<bool> signalled{false};
  // The last round in which the kernel proved it off its processor.
  uint64_t stoppedIn KX_GUARDED_BY(threadsMutex()) = 0;
  BusyWindow window KX_GUARDED_BY(threadsMutex());
  FenceThread* nextFree = nullptr;
  FenceThread* nextAll = nullptr;
};
static_assert(alignof(FenceThread) > detail::kSeenKeyBit);

FenceThread* gAllThreads KX_GUARDED_BY(threadsMutex()) = nullptr;
FenceThread* gFreeThreads KX_GUARDED_BY(threadsMutex()) = nullptr;

// During the handover: the heavy sides that wait for threads to be ordered
// with their stores so far, numbered in the order they began.
uint64_t gRounds KX_GUARDED_BY(threadsMutex()) = 0;

// After the failure: how many entries are still in the plain phase. The
// handover ends when it reaches 0.
std::atomic<std::size_t> gUnseen{0};

// Whether the process file system numbers threads as this process does
// (-1: not looked at yet; see procNumbersThreads).
std::atomic<int> gProcNumbering{-1};

FenceThread* entryOf(uintptr_t key) noexcept {
  return reinterpret_cast<FenceThread*>(plainFenceThreadKey(key));
}

pid_t currentThreadId() noexcept { return static_cast<pid_t>(syscall(SYS_gettid)); }

FenceThread* claimThread() KX_REQUIRES(threadsMutex()) {
  FenceThread* thread = gFreeThreads;
  if (thread != nullptr) {
    gFreeThreads = thread->nextFree;
  } else {
    thread = new FenceThread;
    thread->nextAll = gAllThreads;
    gAllThreads = thread;
  }
  return thread;
}

// Takes `thread` out of the plain phase: seen, or freed. Counts it off the
// handover when the barrier has failed. The release makes every store its
// thread made before visible to whoever reads the new phase.
void leavePlainPhase(FenceThread& thread, Phase to) noexcept {
  Phase from = Phase::plain;
  if (to == Phase::seen) {
    if (!thread.phase.compare_exchange_strong(from, to, std::memory_order_seq_cst)) return;
  } else {
    from = thread.phase.exchange(to, std::memory_order_seq_cst);
  }
  if (from == Phase::plain && detail::gBarrierFailed.load(std::memory_order_acquire)) {
    gUnseen.fetch_sub(1, std::memory_order_seq_cst);
  }
}

void releaseThread(FenceThread& thread) KX_REQUIRES(threadsMutex()) {
  leavePlainPhase(thread, Phase::free);
  thread.nextFree = gFreeThreads;
  gFreeThreads = &thread;
}

// Frees the calling thread's entry when its thread-local objects are
// destroyed. Hazard records attach their thread first, so their own release
// comes before this one; the thread may still run code after it (other
// thread-local destructors), with locks through their mutex only.
struct ThreadEnd {
  FenceThread* entry = nullptr;
  ~ThreadEnd() {
    if (entry == nullptr) return;
    detail::tFenceThreadKey = detail::kEndedThread;
    base::LockGuard guard(threadsMutex());
    releaseThread(*entry);
  }
};
thread_local ThreadEnd tThreadEnd;

// Around fork: the child has the forking thread only, under a new id, and
// must find the list's mutex free. The prepare handler takes the mutex, and
// the parent's and the child's let it go.
void beforeFork() KX_ACQUIRE(threadsMutex()) { threadsMutex().lock(); }
void afterForkInParent() KX_RELEASE(threadsMutex()) { threadsMutex().unlock(); }
void afterForkInChild() KX_RELEASE(threadsMutex()) {
  const uintptr_t key = detail::tFenceThreadKey;
  FenceThread* const own = key > detail::kEndedThread ? entryOf(key) : nullptr;
  for (FenceThread* thread = gAllThreads; thread != nullptr; thread = thread->nextAll) {
    if (thread != own && thread->phase.load(std::memory_order_relaxed) != Phase::free) {
      releaseThread(*thread);
    }
  }
  if (own != nullptr) {
    own->tid.store(currentThreadId(), std::memory_order_relaxed);
    own->signalled.store(false, std::memory_order_relaxed);  // the child has no signal pending
  }
  // The child may be in a pid namespace of its own.
  gProcNumbering.store(-1, std::memory_order_relaxed);
  threadsMutex().unlock();
}

#ifdef KX_TEST_SEAMS
constinit thread_local std::size_t tFallbackFences = 0;
#endif

// The first failure switches the light sides to symmetric fences for good,
// starts the handover with every thread attached now, and says so.
void fallBack(int error) noexcept {
  static std::once_flag once;
  std::call_once(once, [error] {
    detail::gFenceMode.store(FenceMode::symmetric, std::memory_order_seq_cst);
    {
      base::LockGuard guard(threadsMutex());
      std::size_t plain = 0;
      for (FenceThread* thread = gAllThreads; thread != nullptr; thread = thread->nextAll) {
        if (thread->phase.load(std::memory_order_relaxed) == Phase::plain) ++plain;
      }
      gUnseen.store(plain, std::memory_order_seq_cst);
      detail::gBarrierFailed.store(true, std::memory_order_seq_cst);
    }
    std::fprintf(stderr,
                 "Warning: the process-wide memory barrier failed (%s); the process uses fenced "
                 "paths from now on\n",
                 std::strerror(error));
  });
  // The caller is a heavy side, past any light side of its own.
  detail::seeFenceThread();
}

bool handoverDone() noexcept { return gUnseen.load(std::memory_order_acquire) == 0; }

// The kernel's clocks of thread `tid` (its encoding of a thread's clock id):
// the scheduler's count of the time it ran, and the time the ticks found it
// in user code, or in user code and in the kernel.
enum class ThreadClock : unsigned { run = 6, user = 5, userAndKernel = 4 };

bool threadTime(pid_t tid, ThreadClock which, uint64_t& nanoseconds) noexcept {
  const auto clock =
      static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | static_cast<unsigned>(which));
  timespec used{};
  if (clock_gettime(clock, &used) != 0) return false;
  nanoseconds =
      static_cast<uint64_t>(used.tv_sec) * 1000000000u + static_cast<uint64_t>(used.tv_nsec);
  return true;
}

uint64_t monotonicNow() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// What the kernel says of a thread: off its processor since the previous
// look, running, or nothing (it refuses to say).
enum class Seen { stopped, running, unknown };

// See the header (fenceThreadStopped) for why two equal reads prove the
// thread off its processor.
Seen clockPair(const FenceThread& thread, uint64_t& last) noexcept {
  const pid_t tid = thread.tid.load(std::memory_order_relaxed);
  timespec interval{};
  uint64_t used = 0;
  if (tid <= 0 || syscall(SYS_sched_rr_get_interval, tid, &interval) != 0 ||
      !threadTime(tid, ThreadClock::run, used)) {
    return Seen::unknown;
  }
  ++used;  // never 0, which stands for no read yet
  const bool stopped = used == last;
  last = used;
  return stopped ? Seen::stopped : Seen::running;
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

// The same proof from the process file system, for a kernel that refuses
// the clocks: before it shows what system call a thread is in, it waits,
// under the lock of the thread's run queue, until the thread is off its
// processor and out of the queue (and says "running" when it does not
// sleep). Whatever else it shows was seen under that lock, which the
// thread's switch out stored under and its next switch in must take.
Seen procSyscall(const FenceThread& thread) noexcept {
  char text[16];
  const ssize_t size =
      readTaskFile(thread.tid.load(std::memory_order_relaxed), "syscall", text, sizeof text);
  if (size <= 0) return Seen::unknown;
  return size >= 7 && std::memcmp(text, "running", 7) == 0 ? Seen::running : Seen::stopped;
}

// Whether `thread`, attached before the failure and not seen, is off its
// processor now: two reads of its clock, or else the process file system.
// The caller holds the list's mutex, so the thread cannot leave the plain
// phase, nor end and pass its id on, meanwhile.
bool stoppedNow(const FenceThread& thread) KX_REQUIRES(threadsMutex()) {
#ifdef KX_TEST_SEAMS
  if (!gAllowStopped.load(std::memory_order_relaxed)) return false;
#endif
  uint64_t last = 0;
  Seen seen = clockPair(thread, last);
  if (seen == Seen::running) seen = clockPair(thread, last);
  if (seen == Seen::unknown) seen = procSyscall(thread);
  return seen == Seen::stopped;
}

// During the handover: whether every thread still in the plain phase, but
// the caller, is off its processor now, which orders it with the caller as
// the barrier would. Stops at the first that runs.
bool unseenThreadsStopped() noexcept {
  const uintptr_t key = detail::tFenceThreadKey;
  const FenceThread* const own = key > detail::kEndedThread ? entryOf(key) : nullptr;
  base::LockGuard guard(threadsMutex());
  for (FenceThread* thread = gAllThreads; thread != nullptr; thread = thread->nextAll) {
    if (thread != own && thread->phase.load(std::memory_order_acquire) == Phase::plain &&
        !stoppedNow(*thread)) {
      return false;
    }
  }
  return true;
}

// --- ordering one busy thread by a signal ---

// A real-time signal the program is not likely to use; taken only when the
// program has left it at its default.
int orderSignal() noexcept {
  static const int signal = [] {
    const int candidate = SIGRTMAX - 4;
    struct sigaction old {};
    if (sigaction(candidate, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) != 0 ||
        old.sa_handler != SIG_DFL) {
      return 0;
    }
    struct sigaction action {};
    action.sa_sigaction = [](int, siginfo_t*, void*) {
      // The thread's stores so far become visible before the answer, and
      // what it loads after the handler sees what the heavy sides of the
      // round it answers stored before they began. Touches nothing else:
      // errno stays as it was.
      const uintptr_t key = detail::tFenceThreadKey;
      if (key <= detail::kEndedThread) return;
      FenceThread& thread = *entryOf(key);
      thread.signalled.store(false, std::memory_order_seq_cst);
      thread.answered.store(thread.asked.load(std::memory_order_seq_cst),
                            std::memory_order_seq_cst);
    };
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    return sigaction(candidate, &action, nullptr) == 0 ? candidate : 0;
  }();
  return signal;
}

// How a thread has spent its processor time so far: what the ticks found it
// doing, in user code and in the kernel, in nanoseconds counted in steps of
// `grain`, and whether it could run when asked (not asleep).
struct Usage {
  uint64_t user = 0;
  uint64_t kernel = 0;
  uint64_t grain = 1;
  bool runnable = true;
};

// From the thread's clocks, or where the kernel refuses them, from its line
// in the process file system (in clock ticks; its state says whether it
// could run).
bool usageOf(pid_t tid, Usage& usage) noexcept {
  uint64_t both = 0;
  if (threadTime(tid, ThreadClock::user, usage.user) &&
      threadTime(tid, ThreadClock::userAndKernel, both)) {
    usage.kernel = both - usage.user;
    return true;
  }
  char text[512];
  if (readTaskFile(tid, "stat", text, sizeof text) <= 0) return false;
  // The thread's name, in parentheses, may hold anything; the state follows
  // it, and the user and kernel times are the 11th and 12th numbers after.
  const char* cursor = std::strrchr(text, ')');
  const long ticks = sysconf(_SC_CLK_TCK);
  if (cursor == nullptr || cursor[1] != ' ' || cursor[2] == '\0' || ticks <= 0) return false;
  usage.runnable = cursor[2] == 'R';
  cursor += 3;
  long long numbers[12];
  for (long long& number : numbers) {
    char* end = nullptr;
    number = std::strtoll(cursor, &end, 10);
    if (end == cursor) return false;
    cursor = end;
  }
  usage.grain = 1000000000u / static_cast<uint64_t>(ticks);
  usage.user = static_cast<uint64_t>(numbers[10]) * usage.grain;
  usage.kernel = static_cast<uint64_t>(numbers[11]) * usage.grain;
  return true;
}

// How long a thread must be seen in user code to count as busy there: more
// than a tick at the lowest tick rate (100 Hz), and two steps of what the
// kernel counts in beyond that.
constexpr uint64_t kBusyWindow = 12000000;

// Whether the ticks found `thread` in user code for at least half of a
// window, and never in the kernel (then it sleeps in no system call a signal
// could cut short), and it can run now. Polled; the window is the thread's,
// whoever looks.
bool busyInUserCode(FenceThread& thread) KX_REQUIRES(threadsMutex()) {
  Usage usage;
  if (!usageOf(thread.tid.load(std::memory_order_relaxed), usage)) return false;
  BusyWindow& window = thread.window;
  const uint64_t now = monotonicNow();
  const uint64_t span = now - window.start;
  const bool whole = span >= kBusyWindow + 2 * usage.grain;
  const bool unbroken = window.start != 0 && usage.grain == window.grain &&
                        usage.kernel == window.kernel && usage.runnable;
  const bool busy = unbroken && whole && 2 * (usage.user - window.user) >= span;
  if (!unbroken || whole) window = {now, usage.user, usage.kernel, usage.grain};
  return busy;
}

// Whether `thread`, attached before the failure and not seen, is ordered
// with the stores the heavy side of `round` made before it began: proven off
// its processor since, or its handler has run since. A signal is sent only
// to a thread busy in user code, and only while none is on its way: one
// that is answers the newest round whatever round it was sent for, since
// the handler reads the round when it runs.
bool orderedFor(FenceThread& thread, uint64_t round) KX_REQUIRES(threadsMutex()) {
  if (thread.stoppedIn >= round || thread.answered.load(std::memory_order_seq_cst) >= round) {
    return true;
  }
  if (stoppedNow(thread)) {
    thread.stoppedIn = gRounds;
    return true;
  }
  thread.asked.store(gRounds, std::memory_order_seq_cst);
  if (!thread.signalled.load(std::memory_order_seq_cst) && busyInUserCode(thread)) {
    if (const int signal = orderSignal()) {
      thread.signalled.store(true, std::memory_order_seq_cst);
      syscall(SYS_tgkill, getpid(), thread.tid.load(std::memory_order_relaxed), signal);
    }
  }
  return false;
}

}  // namespace

namespace detail {

void seeFenceThread() noexcept {
  const uintptr_t key = tFenceThreadKey;
  if (!biasableFenceThreadKey(key)) return;  // not attached, ended, or seen already
  tFenceThreadKey = key | kSeenKeyBit;
  leavePlainPhase(*entryOf(key), Phase::seen);
}

}  // namespace detail

bool enableAsymmetricFences() noexcept { return registered() && asymmetricFences(); }

uintptr_t attachFenceThread() noexcept {
  if (detail::tFenceThreadKey != detail::kUnattachedThread) return detail::tFenceThreadKey;
  registered();
  static const bool forkHandled =
      pthread_atfork(beforeFork, afterForkInParent, afterForkInChild) == 0;
  (void)forkHandled;  // fails only without memory
  uintptr_t key = 0;
  FenceThread* thread = nullptr;
  {
    // The switch counts the plain entries under the same mutex: an entry
    // attached before it is counted, one attached after runs fenced from its
    // first light side.
    base::LockGuard guard(threadsMutex());
    thread = claimThread();
    thread->tid.store(currentThreadId(), std::memory_order_relaxed);
    // Nothing of a thread that had the entry before: no round is answered
    // yet, and no signal is on its way.
    thread->asked.store(0, std::memory_order_relaxed);
    thread->answered.store(0, std::memory_order_relaxed);
    thread->signalled.store(false, std::memory_order_relaxed);
    thread->stoppedIn = 0;
    thread->window = {};
    const bool failed = detail::gBarrierFailed.load(std::memory_order_relaxed);
    thread->phase.store(failed ? Phase::seen : Phase::plain, std::memory_order_release);
    key = reinterpret_cast<uintptr_t>(thread) | (failed ? detail::kSeenKeyBit : 0);
  }
  tThreadEnd.entry = thread;
  detail::tFenceThreadKey = key;
  return key;
}

bool heavyFence() noexcept {
  if (!registered()) return true;  // light sides have always been fenced
  if (detail::gBarrierFailed.load(std::memory_order_acquire)) {
#ifdef KX_TEST_SEAMS
    ++tFallbackFences;
#endif
    // The caller is past any light side of its own. Either side's steps
    // are sequentially consistent by now, or a plain step may be unseen,
    // unless its thread is off its processor.
    detail::seeFenceThread();
    return handoverDone() || unseenThreadsStopped();
  }
  int error = 0;
#ifdef KX_TEST_SEAMS
  if (gFailNext.exchange(false, std::memory_order_relaxed)) error = ENOMEM;
#endif
  if (error == 0 && syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0) {
    error = errno;
  }
  if (error == 0) return true;
  fallBack(error);
#ifdef KX_TEST_SEAMS
  ++tFallbackFences;
#endif
  return handoverDone() || unseenThreadsStopped();
}

bool fenceThreadSeen(uintptr_t key) noexcept {
  return entryOf(key)->phase.load(std::memory_order_acquire) != Phase::plain;
}

bool fenceThreadStopped(uintptr_t key, uint64_t& last) noexcept {
#ifdef KX_TEST_SEAMS
  if (!gAllowStopped.load(std::memory_order_relaxed)) return false;
#endif
  FenceThread* const thread = entryOf(key);
  // An entry leaves the plain phase before its thread ends: still plain
  // after the reads, it was the same thread, and `tid` was its id,
  // throughout.
  return clockPair(*thread, last) == Seen::stopped &&
         thread->phase.load(std::memory_order_acquire) == Phase::plain;
}

bool fenceThreadOrdered(uintptr_t key, FenceThreadWait& wait) noexcept {
  FenceThread& thread = *entryOf(key);
  if (thread.phase.load(std::memory_order_acquire) != Phase::plain) return true;
  if (wait.round != 0 && thread.answered.load(std::memory_order_seq_cst) >= wait.round) {
    return true;
  }
  base::LockGuard guard(threadsMutex());
  if (wait.round == 0) wait.round = ++gRounds;
  return thread.phase.load(std::memory_order_acquire) != Phase::plain ||
         orderedFor(thread, wait.round);
}

bool heavyFencePolled(uint64_t& round) noexcept {
  if (round == 0 && !detail::gBarrierFailed.load(std::memory_order_acquire) && heavyFence()) {
    return true;
  }
  // Whichever thread polls is past any light side of its own.
  detail::seeFenceThread();
  if (handoverDone()) return true;
  base::LockGuard guard(threadsMutex());
  if (round == 0) round = ++gRounds;
  // Every thread still plain is looked at, so that the busy ones are watched
  // and asked together.
  bool ordered = true;
  for (FenceThread* thread = gAllThreads; thread != nullptr; thread = thread->nextAll) {
    if (thread->phase.load(std::memory_order_acquire) == Phase::plain &&
        !orderedFor(*thread, round)) {
      ordered = false;
    }
  }
  return ordered;
}

#ifdef KX_TEST_SEAMS
bool setFenceModeForTesting(FenceMode mode) noexcept {
  const bool available = registered();
  if (barrierFailed()) return mode == FenceMode::symmetric;
  if (mode == FenceMode::asymmetric && !available) return false;
  detail::gFenceMode.store(mode, std::memory_order_seq_cst);
  return true;
}

void failNextBarrierForTesting() noexcept { gFailNext.store(true, std::memory_order_relaxed); }

std::size_t fallbackFencesOnThisThreadForTesting() noexcept { return tFallbackFences; }

std::size_t attachedThreadsForTesting() noexcept {
  base::LockGuard guard(threadsMutex());
  std::size_t attached = 0;
  for (FenceThread* thread = gAllThreads; thread != nullptr; thread = thread->nextAll) {
    if (thread->phase.load(std::memory_order_relaxed) != Phase::free) ++attached;
  }
  return attached;
}

void allowStoppedThreadsForTesting(bool allow) noexcept {
  gAllowStopped.store(allow, std::memory_order_relaxed);
}
#endif

}  // namespace concurrency
