#include "concurrency/AsymmetricFence.h"

#include <fcntl.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "WaitUntil.h"
#include "base/FatalError.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"

namespace concurrency {
namespace {

std::atomic<bool> gFailed{false};
#ifdef KX_TEST_SEAMS
std::atomic<bool> gFailNext{false};
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

[[noreturn]] void fallbackFailed() noexcept {
  base::fatalError("The process-wide memory barrier failed, and so did its fallback");
}

// --- the attached threads ---

// An attached thread, by its kernel thread id. Never freed; passed to a new thread once its own has
// ended and is gone from the process, and its address is the thread's key.
struct alignas(64) FenceThread {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> ended{false};
  FenceThread* next = nullptr;
};

std::atomic<FenceThread*> gThreads{nullptr};

base::Mutex& threadsMutex() {
  static base::Mutex* const mutex = new base::Mutex;
  return *mutex;
}

pid_t currentThreadId() noexcept { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Whether thread `tid` has left the process, or has ended and only waits to
// be reaped with it (a main thread ended through pthread_exit).
bool threadGone(pid_t tid) noexcept;

// Marks the calling thread's entry ended when its thread-local objects are
// destroyed. The thread may still run code after that (other thread-local
// destructors), so fallback barriers look at it like the others until its
// thread is gone.
struct ThreadEnd {
  FenceThread* entry = nullptr;
  ~ThreadEnd() {
    if (entry != nullptr) entry->ended.store(true, std::memory_order_release);
  }
};
thread_local ThreadEnd tThreadEnd;

FenceThread* claimThread() KX_REQUIRES(threadsMutex()) {
  for (FenceThread* thread = gThreads.load(std::memory_order_relaxed); thread != nullptr;
       thread = thread->next) {
    if (thread->ended.load(std::memory_order_acquire) &&
        threadGone(thread->tid.load(std::memory_order_relaxed))) {
      return thread;
    }
  }
  auto* thread = new FenceThread;
  thread->next = gThreads.load(std::memory_order_relaxed);
  gThreads.store(thread, std::memory_order_release);
  return thread;
}

// Around fork: the child has the forking thread only, under a new id, and
// must find the list's mutex free. The mutex is taken in one handler and let
// go in another, which the lock check cannot follow.
void beforeFork() KX_NO_THREAD_SAFETY_ANALYSIS { threadsMutex().lock(); }
void afterForkInParent() KX_NO_THREAD_SAFETY_ANALYSIS { threadsMutex().unlock(); }
void afterForkInChild() KX_NO_THREAD_SAFETY_ANALYSIS {
  auto* const own = reinterpret_cast<FenceThread*>(detail::tFenceThreadKey);
  for (FenceThread* thread = gThreads.load(std::memory_order_relaxed); thread != nullptr;
       thread = thread->next) {
    if (thread == own) {
      thread->tid.store(currentThreadId(), std::memory_order_relaxed);
    } else {
      thread->ended.store(true, std::memory_order_relaxed);
    }
  }
  threadsMutex().unlock();
}

// --- the fallback barrier ---

#ifdef KX_TEST_SEAMS
// How many fallback barriers the calling thread has run.
constinit thread_local std::size_t tFallbackFences = 0;
#endif

// Whether a thread /proc shows asleep (any state but R) needs nothing more.
// It entered the kernel and set that state after the last instruction of any
// light side it was running, and this processor family makes a thread's
// stores visible in the order it made them: seeing the state, the heavy side
// sees that light side's store too. Where stores may pass one another, the
// state could be seen before the store, so a sleeping thread is treated as
// one that may still run on the processor it last ran on.
#if defined(__x86_64__) || defined(__i386__)
constexpr bool kAsleepIsSettled = true;
#else
constexpr bool kAsleepIsSettled = false;
#endif

// A full barrier: a sequentially consistent read-modify-write, which
// ThreadSanitizer follows where it does not follow a fence.
void fullFence() noexcept {
  static std::atomic<uint64_t> word{0};
  word.fetch_add(1, std::memory_order_seq_cst);
}

// What a read of the kernel's view of a thread found: the thread gone, the
// file unreadable for now (out of descriptors or memory), the file refused
// for good (a filter or policy), or what was asked.
enum class Found : uint8_t { gone, unreadable, refused, read };

bool refusal(int error) noexcept { return error == EACCES || error == EPERM || error == ENOSYS; }

// Reads /proc/self/task/<tid>/<name> whole into `buffer`, ended by a NUL.
Found readTaskFile(pid_t tid, const char* name, char* buffer, std::size_t size) noexcept {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/%s", static_cast<int>(tid), name);
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    if (errno != ENOENT && errno != ESRCH)
      return refusal(errno) ? Found::refused : Found::unreadable;
    // No such file: the thread has gone, unless /proc is missing (the
    // probe, signal 0, sends nothing).
    if (syscall(SYS_tgkill, getpid(), tid, 0) != 0 && errno == ESRCH) return Found::gone;
    return Found::refused;
  }
  std::size_t length = 0;
  Found found = Found::read;
  while (length + 1 < size) {
    const ssize_t got = read(file, buffer + length, size - 1 - length);
    if (got > 0) {
      length += static_cast<std::size_t>(got);
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      found = errno == ESRCH ? Found::gone : Found::unreadable;
      break;
    }
  }
  close(file);
  buffer[length] = '\0';
  // A full buffer may have cut the file short.
  if (found == Found::read && (length == 0 || length + 1 == size)) found = Found::unreadable;
  return found;
}

// What the kernel says of an attached thread.
struct TaskLook {
  Found found = Found::unreadable;
  bool running = false;  // state R: on a processor, or waiting for one
  int processor = -1;    // the processor it runs on, or last ran on
};

TaskLook lookAt(pid_t tid) noexcept {
  char stat[1024];
  TaskLook look;
  look.found = readTaskFile(tid, "stat", stat, sizeof stat);
  if (look.found != Found::read) return look;
  look.found = Found::unreadable;
  // The name may hold anything, so the fields are counted from its last ')'.
  const char* field = std::strrchr(stat, ')');
  if (field == nullptr || field[1] != ' ') return look;
  const char state = field[2];
  if (state == 'Z' || state == 'X') {
    look.found = Found::gone;
    return look;
  }
  // The state is the third field; the processor the thirty-ninth.
  field += 2;
  for (int skip = 3; skip < 39; ++skip) {
    field = std::strchr(field, ' ');
    if (field == nullptr) return look;
    ++field;
  }
  char* end = nullptr;
  const long processor = std::strtol(field, &end, 10);
  if (end == field || processor < 0 || processor > INT32_MAX) return look;
  look.found = Found::read;
  look.running = state == 'R';
  look.processor = static_cast<int>(processor);
  return look;
}

bool threadGone(pid_t tid) noexcept { return lookAt(tid).found == Found::gone; }

// How many times thread `tid` has been switched out so far.
Found switchCount(pid_t tid, uint64_t& count) noexcept {
  char status[8192];
  const Found found = readTaskFile(tid, "status", status, sizeof status);
  if (found != Found::read) return found;
  const char* voluntary = std::strstr(status, "\nvoluntary_ctxt_switches:");
  const char* forced = std::strstr(status, "\nnonvoluntary_ctxt_switches:");
  if (voluntary == nullptr || forced == nullptr) return Found::unreadable;
  count = std::strtoull(std::strchr(voluntary, ':') + 1, nullptr, 10) +
          std::strtoull(std::strchr(forced, ':') + 1, nullptr, 10);
  return Found::read;
}

// One fallback barrier's moves of the calling thread across processors, and
// the processors it has been through. Puts the thread's own processors back
// at the end.
class Crossing {
 public:
  Crossing() noexcept {
    CPU_ZERO(&visited_);
    canMove_ = sched_getaffinity(0, sizeof own_, &own_) == 0;
  }
  ~Crossing() {
    if (!moved_) return;
    if (sched_setaffinity(0, sizeof own_, &own_) != 0) {
      // The processors it had may be gone from its set since; any of the
      // set's is better than staying on one.
      cpu_set_t any;
      std::memset(&any, 0xff, sizeof any);
      sched_setaffinity(0, sizeof any, &any);
    }
  }
  Crossing(const Crossing&) = delete;
  Crossing& operator=(const Crossing&) = delete;

  // Runs the calling thread on `processor` once: whatever ran there before
  // has been switched out since. False when it may not run there.
  bool visit(int processor) noexcept {
    if (processor >= CPU_SETSIZE) return false;  // beyond what a set can name
    if (CPU_ISSET(processor, &visited_)) return true;
    if (!canMove_) return false;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(processor, &only);
    if (sched_setaffinity(0, sizeof only, &only) != 0) return false;
    moved_ = true;
    // Already there, the thread went through no switch: the yield takes it
    // through the scheduler there.
    sched_yield();
    if (sched_getcpu() != processor) return false;
    CPU_SET(processor, &visited_);
    return true;
  }

  // Visits every processor thread `tid` may run on: whether it could, or
  // found the thread gone.
  bool visitAll(pid_t tid) noexcept {
    cpu_set_t allowed;
    if (sched_getaffinity(tid, sizeof allowed, &allowed) != 0) return errno == ESRCH;
    for (int processor = 0; processor < CPU_SETSIZE; ++processor) {
      if (CPU_ISSET(processor, &allowed) && !visit(processor)) return false;
    }
    return true;
  }

 private:
  cpu_set_t own_;
  cpu_set_t visited_;
  bool canMove_ = false;
  bool moved_ = false;
};

// Makes sure attached thread `tid` needs nothing more for this barrier: it
// has left, sleeps, or has been switched out since the heavy side's store
// (see fallbackBarrier).
void settle(Crossing& crossing, pid_t tid) noexcept {
  bool counted = false;
  uint64_t before = 0;
  detail::waitUntil([&] {
    const TaskLook look = lookAt(tid);
    if (look.found == Found::gone) return true;
    if (look.found != Found::read) {
      // Through every processor the thread may run on, or try again while
      // the file may yet be read. Refused it and those processors both,
      // nothing is left that could order the thread without touching it.
      if (crossing.visitAll(tid)) return true;
      if (look.found == Found::refused) fallbackFailed();
      return false;
    }
    if (!look.running && kAsleepIsSettled) return true;
    if (crossing.visit(look.processor)) return true;
    // The heavy side may not run there: wait for the thread's next switch,
    // which the scheduler's tick brings at the latest when anything else
    // waits for that processor.
    uint64_t count = 0;
    const Found found = switchCount(tid, count);
    if (found == Found::gone) return true;
    if (found == Found::refused) fallbackFailed();
    if (found == Found::unreadable) return false;
    if (counted) return count != before;
    counted = true;
    before = count;
    return false;
  });
}

// Makes every other attached thread's light sides ordered with the heavy
// side that stored before calling it, without the process-wide barrier and
// without touching the threads themselves: no signal, no handler.
//
// The kernel switches a processor from one thread to another under that
// processor's run-queue lock, with a full barrier, and a thread switched out
// runs again only through such a switch (woken or moved, under the same
// locks). Everything below reads the kernel's view of a thread after the
// caller's sequentially consistent store and the fence here. Say thread T
// runs a light side (store A, compiler barrier, load B) while the heavy side
// has stored B and then calls this; it loads A once this returns.
// - T has left the process: it runs no more light sides.
// - T sleeps (any state but R), where stores are seen in the order they were
//   made (see kAsleepIsSettled): it set that state in the kernel after the
//   end of any light side it ran, so the heavy side sees that side's store
//   A; its next light side comes after it is woken, a write the heavy side's
//   read of the state came before, and the switch that runs it again orders
//   the heavy side's store B before its load.
// - T runs, or waits to, on processor P: the calling thread moves itself
//   onto P and through the scheduler there. A light side T ran on P before
//   that switched out under P's lock, which the caller took after, so its
//   store A is visible; one it runs after comes after a switch that follows
//   the caller's store B, and sees it. T moved elsewhere since the read went
//   through the same switches. Each processor is visited once per barrier.
// - The caller may not run on P (its set of processors excludes it): it
//   waits until T's count of switches moves, a count the kernel raises under
//   the same lock, after the full barrier of the switch.
// - The kernel's view can't be read (out of descriptors): the caller visits
//   every processor T may run on.
void fallbackBarrier() noexcept {
  base::LockGuard guard(threadsMutex());
  fullFence();
#ifdef KX_TEST_SEAMS
  ++tFallbackFences;
#endif
  const pid_t self = currentThreadId();
  Crossing crossing;
  for (FenceThread* thread = gThreads.load(std::memory_order_relaxed); thread != nullptr;
       thread = thread->next) {
    const pid_t tid = thread->tid.load(std::memory_order_relaxed);
    if (tid != self) settle(crossing, tid);
  }
  // The reads of /proc above come before the caller's load.
  fullFence();
}

// The first failure switches the light sides to symmetric fences for good
// and says so.
void fallBack(int error) noexcept {
  static std::once_flag once;
  std::call_once(once, [error] {
    detail::gFenceMode.store(FenceMode::symmetric, std::memory_order_seq_cst);
    gFailed.store(true, std::memory_order_seq_cst);
    std::fprintf(stderr,
                 "Warning: the process-wide memory barrier failed (%s); the process uses fenced "
                 "paths from now on\n",
                 std::strerror(error));
  });
  fallbackBarrier();
}

}  // namespace

bool enableAsymmetricFences() noexcept { return registered() && asymmetricFences(); }

uintptr_t attachFenceThread() noexcept {
  if (detail::tFenceThreadKey != detail::kUnattachedThread) return detail::tFenceThreadKey;
  registered();
  static const bool forkHandled =
      pthread_atfork(beforeFork, afterForkInParent, afterForkInChild) == 0;
  (void)forkHandled;  // fails only without memory
  FenceThread* thread = nullptr;
  {
    // Fallback rounds hold the same mutex: a round after this one finds the
    // thread in the list; one before it ended before the thread's first light
    // side, which then sees what that round's heavy side stored.
    base::LockGuard guard(threadsMutex());
    thread = claimThread();
    thread->tid.store(currentThreadId(), std::memory_order_relaxed);
    thread->ended.store(false, std::memory_order_relaxed);
  }
  tThreadEnd.entry = thread;
  detail::tFenceThreadKey = reinterpret_cast<uintptr_t>(thread);
  return detail::tFenceThreadKey;
}

void heavyFence() noexcept {
  if (!registered()) return;
  if (gFailed.load(std::memory_order_seq_cst)) {
    fallbackBarrier();
    return;
  }
  int error = 0;
#ifdef KX_TEST_SEAMS
  if (gFailNext.exchange(false, std::memory_order_relaxed)) error = ENOMEM;
#endif
  if (error == 0 && syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0) {
    error = errno;
  }
  if (error != 0) fallBack(error);
}

bool barrierFailed() noexcept { return gFailed.load(std::memory_order_seq_cst); }

#ifdef KX_TEST_SEAMS
bool setFenceModeForTesting(FenceMode mode) noexcept {
  const bool available = registered();
  if (gFailed.load(std::memory_order_seq_cst)) return mode == FenceMode::symmetric;
  if (mode == FenceMode::asymmetric && !available) return false;
  detail::gFenceMode.store(mode, std::memory_order_seq_cst);
  return true;
}

void failNextBarrierForTesting() noexcept { gFailNext.store(true, std::memory_order_relaxed); }

std::size_t fallbackFencesOnThisThreadForTesting() noexcept { return tFallbackFences; }
#endif

}  // namespace concurrency
