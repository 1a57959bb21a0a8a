#include "concurrency/AsymmetricFence.h"

#include <fcntl.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// An attached thread, by its kernel thread id. Never freed (the signal
// handler walks the list); passed to a new thread once its own has ended and
// is gone from the process, and its address is the thread's key.
struct alignas(64) FenceThread {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> ended{false};
  // The last fallback round the thread's handler answered.
  std::atomic<uint64_t> acknowledged{0};
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
bool threadGone(pid_t tid) noexcept {
  if (syscall(SYS_tgkill, getpid(), tid, 0) != 0) return errno == ESRCH;
  char path[48];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return errno == ENOENT;
  char stat[256];
  const ssize_t length = read(file, stat, sizeof stat - 1);
  close(file);
  if (length <= 0) return false;
  stat[length] = '\0';
  const char* name = std::strrchr(stat, ')');  // the state follows the name
  return name != nullptr && name[1] == ' ' && (name[2] == 'Z' || name[2] == 'X');
}

// Marks the calling thread's entry ended when its thread-local objects are
// destroyed. The thread may still run code after that (other thread-local
// destructors), so the entry is signalled like the others until its thread
// is gone.
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

constinit thread_local std::size_t tFallbackFences = 0;

// The fallback rounds run so far; each heavy side runs its own, under the
// threads' mutex, after its store.
std::atomic<uint64_t> gRound{0};

// Runs on an attached thread asked to fence. Reading the round, which the
// heavy side set after its store and before signalling, orders that store
// before everything the thread does after; the acknowledgement, a
// sequentially consistent store (a full fence), makes everything it did
// before visible to the heavy side, which reads it.
void onFenceSignal(int) {
  const int saved = errno;
  const uint64_t round = gRound.load(std::memory_order_seq_cst);
  const pid_t self = currentThreadId();
  for (FenceThread* thread = gThreads.load(std::memory_order_acquire); thread != nullptr;
       thread = thread->next) {
    if (thread->tid.load(std::memory_order_relaxed) == self) {
      thread->acknowledged.store(round, std::memory_order_seq_cst);
    }
  }
  ++tFallbackFences;
  errno = saved;
}

void installHandler() noexcept {
  struct sigaction action {};
  action.sa_handler = onFenceSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(fenceSignal(), &action, nullptr) != 0) fallbackFailed();
}

// Asks every other attached thread to fence and waits until each has, or has
// left the process.
void fallbackBarrier() noexcept {
  base::LockGuard guard(threadsMutex());
  const uint64_t round = gRound.fetch_add(1, std::memory_order_seq_cst) + 1;
  const pid_t process = getpid();
  const pid_t self = currentThreadId();
  FenceThread* const first = gThreads.load(std::memory_order_relaxed);
  for (FenceThread* thread = first; thread != nullptr; thread = thread->next) {
    const pid_t tid = thread->tid.load(std::memory_order_relaxed);
    if (tid == self) continue;
    if (syscall(SYS_tgkill, process, tid, fenceSignal()) != 0) {
      if (errno != ESRCH) fallbackFailed();
      thread->acknowledged.store(round, std::memory_order_relaxed);  // gone already
    }
  }
  for (FenceThread* thread = first; thread != nullptr; thread = thread->next) {
    const pid_t tid = thread->tid.load(std::memory_order_relaxed);
    if (tid == self) continue;
    // Whether the thread has gone is worth a look only once it is slow to
    // answer.
    int looks = 0;
    detail::waitUntil([&] {
      return thread->acknowledged.load(std::memory_order_seq_cst) >= round ||
             (++looks % 64 == 0 && threadGone(tid));
    });
  }
}

// The first failure switches the light sides to symmetric fences for good
// and says so.
void fallBack(int error) noexcept {
  static std::once_flag once;
  std::call_once(once, [error] {
    installHandler();
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

int fenceSignal() noexcept { return SIGRTMAX - 3; }

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
