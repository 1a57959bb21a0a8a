#include "concurrency/AsymmetricFence.h"

#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// An attached thread. Never freed: when its thread ends it goes on the free
// list and passes to the next thread that attaches. Its address is the
// thread's key.
struct alignas(64) FenceThread {
  std::atomic<Phase> phase{Phase::free};
  std::atomic<pid_t> tid{0};
  FenceThread* nextFree = nullptr;
  FenceThread* nextAll = nullptr;
};
static_assert(alignof(FenceThread) > detail::kSeenKeyBit);

base::Mutex& threadsMutex() {
  static base::Mutex* const mutex = new base::Mutex;
  return *mutex;
}

FenceThread* gAllThreads KX_GUARDED_BY(threadsMutex()) = nullptr;
FenceThread* gFreeThreads KX_GUARDED_BY(threadsMutex()) = nullptr;

// After the failure: how many entries are still in the plain phase. The
// handover ends when it reaches 0.
std::atomic<std::size_t> gUnseen{0};

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
  if (own != nullptr) own->tid.store(currentThreadId(), std::memory_order_relaxed);
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

// The processor time thread `tid` has used, as the kernel's clock of that
// thread reads it (the clock id is the kernel's encoding of a thread's
// scheduler clock).
bool threadTime(pid_t tid, uint64_t& nanoseconds) noexcept {
  const auto clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
  timespec used{};
  if (clock_gettime(clock, &used) != 0) return false;
  nanoseconds =
      static_cast<uint64_t>(used.tv_sec) * 1000000000u + static_cast<uint64_t>(used.tv_nsec);
  return true;
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
    // Either side's steps are sequentially consistent by now, or a plain
    // step may still be unseen: no barrier helps either way.
    return handoverDone();
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
  return handoverDone();
}

bool fenceThreadSeen(uintptr_t key) noexcept {
  return entryOf(key)->phase.load(std::memory_order_acquire) != Phase::plain;
}

// See the header for why two equal reads prove the thread off its processor.
bool fenceThreadStopped(uintptr_t key, uint64_t& last) noexcept {
#ifdef KX_TEST_SEAMS
  if (!gAllowStopped.load(std::memory_order_relaxed)) return false;
#endif
  FenceThread* const thread = entryOf(key);
  const pid_t tid = thread->tid.load(std::memory_order_relaxed);
  timespec interval{};
  uint64_t used = 0;
  if (tid <= 0 || syscall(SYS_sched_rr_get_interval, tid, &interval) != 0 ||
      !threadTime(tid, used)) {
    return false;
  }
  // Never 0, which stands for no read yet.
  ++used;
  const bool stopped = used == last;
  last = used;
  // An entry leaves the plain phase before its thread ends: still plain now,
  // it was the same thread, and `tid` was its id, throughout.
  return stopped && thread->phase.load(std::memory_order_acquire) == Phase::plain;
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
