#include "concurrency/AsymmetricFence.h"

#include <fcntl.h>
#include <linux/membarrier.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ForkOrder.h"
#include "ThreadViews.h"
#include "base/Fork.h"
#include "base/Mutex.h"
#include "base/ProcessToken.h"
#include "base/ThreadSafety.h"

#ifdef KX_TEST_SEAMS
#include "concurrency/TestSeams.h"
#endif

namespace concurrency {
namespace {

using detail::clockPair;
using detail::currentThreadId;
using detail::monotonicNow;
using detail::processorTime;
using detail::procSyscall;
using detail::Seen;
using detail::ThreadStatus;
using detail::threadStatus;

#ifdef KX_TEST_SEAMS
std::atomic<bool> gFailNext{false};
std::atomic<bool> gAllowStopped{true};
std::atomic<void (*)()> gBeforeSignal{nullptr};
#endif

// What tests count: how waits for one thread ended, and the signals.
enum class Event { seen, stopped, answered, signalSent, handlerRun, count };

#ifdef KX_TEST_SEAMS
std::atomic<std::size_t> gEvents[static_cast<int>(Event::count)];
#endif

void noteEvent([[maybe_unused]] Event event) noexcept {
#ifdef KX_TEST_SEAMS
  gEvents[static_cast<int>(event)].fetch_add(1, std::memory_order_relaxed);
#endif
}

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

base::Mutex& threadsMutex();
void lockThreadsForFork() KX_ACQUIRE(threadsMutex());
void unlockThreadsInParent() KX_RELEASE(threadsMutex());
void unlockThreadsInChild() KX_RELEASE(threadsMutex());

// The list's mutex. Its fork handlers join with it, before any
// thread can hold it.
base::Mutex& threadsMutex() {
  static base::Mutex* const mutex = [] {
    auto* made = new base::Mutex;
    base::fork_join_or_stop(base::ForkPhase::fenceThreads, {.prepare = lockThreadsForFork,
                                                            .parent = unlockThreadsInParent,
                                                            .child = unlockThreadsInChild});
    return made;
  }();
  return *mutex;
}

// Where the watch of a thread before it is signalled began (see
// askBySignal): when, and how many times the thread had blocked by then.
struct QuietWatch {
  uint64_t start = 0;
  uint64_t blocks = 0;
};

// The signal on its way to a thread (see watchUnanswered): when it was sent
// or last found pending, and the thread's processor time when it was first
// found neither pending nor answered (0: not yet).
struct OnItsWay {
  uint64_t since = 0;
  uint64_t goneAtTime = 0;
};

// An attached thread. Never freed: when its thread ends it goes on the free
// list and passes to the next thread that attaches. Its address is the
// thread's key.
struct alignas(64) FenceThread {
  std::atomic<Phase> phase{Phase::free};
  std::atomic<pid_t> tid{0};
  // The process the thread runs in, by its token (see base/ProcessToken.h):
  // in a child made without the fork handlers (the raw fork system call),
  // an entry of the parent's is the child's first thread (the one that
  // forked), or a thread the child does not have.
  uint32_t process KX_GUARDED_BY(threadsMutex()) = 0;
  // How many threads have attached to the entry so far: a proof that spans
  // two looks holds only for the thread attached at both.
  uint64_t attachments KX_GUARDED_BY(threadsMutex()) = 0;
  // Ordering it by a signal (see orderedFor): the round its handler's next
  // run answers, the last round it answered, and whether a signal is on its
  // way.
  std::atomic<uint64_t> asked{0};
  std::atomic<uint64_t> answered{0};
  std::atomic<bool> signalled{false};
  // The last round in which the kernel proved it off its processor.
  uint64_t stoppedIn KX_GUARDED_BY(threadsMutex()) = 0;
  QuietWatch watch KX_GUARDED_BY(threadsMutex());
  OnItsWay sent KX_GUARDED_BY(threadsMutex());
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

FenceThread* entryOf(uintptr_t key) noexcept {
  return reinterpret_cast<FenceThread*>(plainFenceThreadKey(key));
}

// The process whose threads the list was last settled for (see
// settleAfterFork).
uint32_t gListProcess KX_GUARDED_BY(threadsMutex()) = 0;

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
void lockThreadsForFork() KX_ACQUIRE(threadsMutex()) { threadsMutex().lock(); }
void unlockThreadsInParent() KX_RELEASE(threadsMutex()) { threadsMutex().unlock(); }
// In a child, on its only thread, the one that forked: the entries of the
// parent's other threads go, and the thread's own names it anew.
void settleInChild() KX_REQUIRES(threadsMutex()) {
  const uint32_t self = base::process_token();
  const uintptr_t key = detail::tFenceThreadKey;
  FenceThread* const own = key > detail::kEndedThread ? entryOf(key) : nullptr;
  for (FenceThread* thread = gAllThreads; thread != nullptr; thread = thread->nextAll) {
    if (thread != own && thread->process != self &&
        thread->phase.load(std::memory_order_relaxed) != Phase::free) {
      releaseThread(*thread);
    }
  }
  if (own != nullptr && own->process != self) {
    own->process = self;
    own->tid.store(currentThreadId(), std::memory_order_relaxed);
    own->signalled.store(false, std::memory_order_relaxed);  // the child has no signal pending
    own->watch = {};
    own->sent = {};
  }
  gListProcess = self;
}

void unlockThreadsInChild() KX_RELEASE(threadsMutex()) {
  settleInChild();
  detail::forgetProcNumbering();
  threadsMutex().unlock();
}

// Whether the list names the calling process's threads. In a child made
// without the fork handlers it still names the parent's: only the child's
// first thread, which forked and knows its own entry, settles it, when it
// comes here. Until then an entry of the parent's is the first thread's or
// a thread's the child does not have (see orderedFor).
bool settleAfterFork() KX_REQUIRES(threadsMutex()) {
  const uint32_t self = base::process_token();
  if (gListProcess == self) return true;
  if (gListProcess != 0 && currentThreadId() != getpid()) return false;
  settleInChild();
  return true;
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

#ifdef KX_TEST_SEAMS
// How deep the calling thread is in heavy sides after the failure, the looks
// at other threads the outermost one took so far, and the most one took.
constinit thread_local std::size_t tHeavyDepth = 0;
constinit thread_local std::size_t tHeavyLooks = 0;
constinit thread_local std::size_t tMostHeavyLooks = 0;
#endif

// A heavy side after the failure, while it lives: tests count the looks it
// takes at other threads, which one that waited for a thread would repeat.
class HeavySide {
 public:
  HeavySide() noexcept {
#ifdef KX_TEST_SEAMS
    if (tHeavyDepth++ == 0) tHeavyLooks = 0;
#endif
  }
  ~HeavySide() {
#ifdef KX_TEST_SEAMS
    --tHeavyDepth;
#endif
  }
  HeavySide(const HeavySide&) = delete;
  HeavySide& operator=(const HeavySide&) = delete;
};

void noteLook() noexcept {
#ifdef KX_TEST_SEAMS
  if (tHeavyDepth > 0 && ++tHeavyLooks > tMostHeavyLooks) tMostHeavyLooks = tHeavyLooks;
#endif
}

// Whether `thread`, attached before the failure and not seen, is off its
// processor now: two reads of its clock, or else the process file system.
// The caller holds the list's mutex, so the thread cannot leave the plain
// phase, nor end and pass its id on, meanwhile.
bool stoppedNow(const FenceThread& thread) KX_REQUIRES(threadsMutex()) {
#ifdef KX_TEST_SEAMS
  if (!gAllowStopped.load(std::memory_order_relaxed)) return false;
#endif
  noteLook();
  // An entry the list has from the parent (see settleAfterFork) is ordered
  // once the child's first thread is.
  const pid_t tid = thread.process == base::process_token()
                        ? thread.tid.load(std::memory_order_relaxed)
                        : static_cast<pid_t>(getpid());
  uint64_t last = 0;
  Seen seen = clockPair(tid, last);
  if (seen == Seen::running) seen = clockPair(tid, last);
  if (seen == Seen::unknown) seen = procSyscall(tid);
  return seen == Seen::stopped;
}

// During the handover: whether every thread still in the plain phase, but
// the caller, is off its processor now, which orders it with the caller as
// the barrier would. Stops at the first that runs.
bool unseenThreadsStopped() noexcept {
  const uintptr_t key = detail::tFenceThreadKey;
  const FenceThread* const own = key > detail::kEndedThread ? entryOf(key) : nullptr;
  base::LockGuard guard(threadsMutex());
  settleAfterFork();
  for (FenceThread* thread = gAllThreads; thread != nullptr; thread = thread->nextAll) {
    if (thread != own && thread->phase.load(std::memory_order_acquire) == Phase::plain &&
        !stoppedNow(*thread)) {
      return false;
    }
  }
  return true;
}

// --- ordering one busy thread by a signal ---

// A real-time signal the program is not likely to use. The library uses it
// only while it holds it: from the first time a thread is asked, if the
// program had left it at its default, until the program takes it back.
int orderSignalNumber() noexcept { return SIGRTMAX - 4; }

enum class SignalUse : uint8_t { untried, held, givenUp };
std::atomic<SignalUse> gSignalUse{SignalUse::untried};

void giveUpTheSignal() noexcept { gSignalUse.store(SignalUse::givenUp, std::memory_order_seq_cst); }

// The handler. The thread's stores so far become visible before the answer,
// and what it loads after the handler sees what the heavy sides of the round
// it answers stored before they began. Touches nothing else: errno stays as
// it was. A signal the library did not send, or one to a thread it did not
// ask, means that the program sends this signal too: the library stops
// using it.
void answerOrderSignal(int, siginfo_t* info, void*) {
  const int saved = errno;
  const bool fromHere = info != nullptr && info->si_code == SI_TKILL && info->si_pid == getpid();
  const uintptr_t key = detail::tFenceThreadKey;
  if (key > detail::kEndedThread) {
    FenceThread& thread = *entryOf(key);
    if (!fromHere || !thread.signalled.exchange(false, std::memory_order_seq_cst)) {
      giveUpTheSignal();
    }
    thread.answered.store(thread.asked.load(std::memory_order_seq_cst), std::memory_order_seq_cst);
    noteEvent(Event::handlerRun);
  } else if (!fromHere) {
    // A thread that is not attached (or is ending: one the library asked may
    // get its signal there).
    giveUpTheSignal();
  }
  errno = saved;
}

bool isDefault(const struct sigaction& action) noexcept {
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

bool isOurs(const struct sigaction& action) noexcept {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == answerOrderSignal;
}

// The signal, when the library may send it now: installed the first time,
// while the program has left it at its default, and still the library's
// handler. 0 otherwise, for good.
int heldOrderSignal() KX_REQUIRES(threadsMutex()) {
  const int signal = orderSignalNumber();
  struct sigaction now {};
  if (gSignalUse.load(std::memory_order_seq_cst) == SignalUse::untried) {
    struct sigaction action {};
    action.sa_sigaction = answerOrderSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaction(signal, nullptr, &now) != 0 || !isDefault(now) ||
        sigaction(signal, &action, &now) != 0) {
      giveUpTheSignal();
      return 0;
    }
    if (!isDefault(now)) {
      // The program took it in between: it gets it back.
      sigaction(signal, &now, nullptr);
      giveUpTheSignal();
      return 0;
    }
    SignalUse untried = SignalUse::untried;
    gSignalUse.compare_exchange_strong(untried, SignalUse::held, std::memory_order_seq_cst);
  }
  if (gSignalUse.load(std::memory_order_seq_cst) != SignalUse::held) return 0;
  if (sigaction(signal, nullptr, &now) != 0 || !isOurs(now)) {
    giveUpTheSignal();
    return 0;
  }
  return signal;
}

// How long a thread must be seen to run without blocking once before it is
// signalled. A thread that has not blocked for that long is in user code, or
// in a system call that does not sleep (a yield, say).
constexpr uint64_t kQuietWindow = 4000000;

// The signal's bit in a mask the process file system shows.
uint64_t orderSignalBit() noexcept { return uint64_t{1} << (orderSignalNumber() - 1); }

// A signal on its way has not been answered for a while: the thread may
// have blocked the signal just after it was looked at (it then stays
// pending, and the thread is asked no more until it takes it), or someone
// else took it. Once it is neither pending nor answered while the thread has
// run for a millisecond (far more than the handler needs once its delivery
// has begun), the program took it: the library stops using the signal.
void watchUnanswered(FenceThread& thread, uint64_t now) KX_REQUIRES(threadsMutex()) {
  OnItsWay& sent = thread.sent;
  if (now - sent.since < kQuietWindow) return;
  const pid_t tid = thread.tid.load(std::memory_order_relaxed);
  ThreadStatus status;
  uint64_t used = 0;
  if (!threadStatus(tid, status) || !processorTime(tid, used)) return;
  sent.since = now;
  if ((status.pending & orderSignalBit()) != 0) {
    sent.goneAtTime = 0;
    return;
  }
  ++used;  // never 0, which stands for not yet
  if (sent.goneAtTime == 0) {
    sent.goneAtTime = used;
  } else if (used - sent.goneAtTime >= kQuietWindow / 4 &&
             thread.signalled.load(std::memory_order_seq_cst)) {
    giveUpTheSignal();
  }
}

// Asks `thread`, which runs, by a signal when that is safe: the library
// holds the signal, the thread does not block it, and the process file system
// (which alone shows another thread's mask) shows it running without having
// blocked once for a window. At most one signal is on its way to a thread,
// and one goes at most once a window.
void askBySignal(FenceThread& thread) KX_REQUIRES(threadsMutex()) {
  if (gSignalUse.load(std::memory_order_seq_cst) == SignalUse::givenUp) return;
  const uint64_t now = monotonicNow();
  if (thread.signalled.load(std::memory_order_seq_cst)) {
    watchUnanswered(thread, now);
    return;
  }
  QuietWatch& watch = thread.watch;
  if (watch.start != 0 && now - watch.start < kQuietWindow) return;
  const pid_t tid = thread.tid.load(std::memory_order_relaxed);
  ThreadStatus status;
  if (!threadStatus(tid, status)) {
    watch = {};
    return;
  }
  const bool quiet = watch.start != 0 && status.blocks == watch.blocks && status.state == 'R' &&
                     ((status.blocked | status.pending) & orderSignalBit()) == 0;
  watch = {now, status.blocks};
  if (!quiet) return;
  const int signal = heldOrderSignal();
  if (signal == 0) return;
  thread.signalled.store(true, std::memory_order_seq_cst);
  thread.sent = {now, 0};
#ifdef KX_TEST_SEAMS
  if (auto* before = gBeforeSignal.load(std::memory_order_acquire)) before();
#endif
  if (syscall(SYS_tgkill, getpid(), tid, signal) == 0) {
    noteEvent(Event::signalSent);
    return;
  }
  const int error = errno;
  thread.signalled.store(false, std::memory_order_seq_cst);
  // A full queue empties (asked again a window later); a thread that is
  // gone is released. Anything else (a filter's refusal) is for good.
  if (error != EAGAIN && error != ESRCH) giveUpTheSignal();
}

// How a thread was found ordered with a round.
enum class Ordered { no, stopped, answered };

// Whether `thread`, attached before the failure and not seen, is ordered
// with the stores the heavy side of `round` made before it began: proven off
// its processor since, or its handler has run since. A signal is on its way
// to it at most once: one that is answers the newest round whatever round it
// was sent for, since the handler reads the round when it runs.
Ordered orderedFor(FenceThread& thread, uint64_t round) KX_REQUIRES(threadsMutex()) {
  if (thread.stoppedIn >= round) return Ordered::stopped;
  if (thread.answered.load(std::memory_order_seq_cst) >= round) return Ordered::answered;
  if (stoppedNow(thread)) {
    thread.stoppedIn = gRounds;
    return Ordered::stopped;
  }
  // The parent's entry (see settleAfterFork): a signal would be answered in
  // another entry.
  if (thread.process != base::process_token()) return Ordered::no;
  thread.asked.store(gRounds, std::memory_order_seq_cst);
  askBySignal(thread);
  return Ordered::no;
}

}  // namespace

namespace detail {

void seeFenceThread() noexcept {
  const uintptr_t key = tFenceThreadKey;
  if (!biasableFenceThreadKey(key)) return;  // not attached, ended, or seen already
  tFenceThreadKey = key | kSeenKeyBit;
  leavePlainPhase(*entryOf(key), Phase::seen);
}

void registerFenceThreadsForFork() noexcept { static_cast<void>(threadsMutex()); }

}  // namespace detail

bool enableAsymmetricFences() noexcept { return registered() && asymmetricFences(); }

uintptr_t attachFenceThread() noexcept {
  if (detail::tFenceThreadKey != detail::kUnattachedThread) return detail::tFenceThreadKey;
  registered();
  uintptr_t key = 0;
  FenceThread* thread = nullptr;
  {
    // The switch counts the plain entries under the same mutex: an entry
    // attached before it is counted, one attached after runs fenced from its
    // first light side.
    base::LockGuard guard(threadsMutex());
    settleAfterFork();
    thread = claimThread();
    thread->process = base::process_token();
    thread->tid.store(currentThreadId(), std::memory_order_relaxed);
    ++thread->attachments;
    // Nothing of a thread that had the entry before: no round is answered
    // yet, and no signal is on its way.
    thread->asked.store(0, std::memory_order_relaxed);
    thread->answered.store(0, std::memory_order_relaxed);
    thread->signalled.store(false, std::memory_order_relaxed);
    thread->stoppedIn = 0;
    thread->watch = {};
    thread->sent = {};
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
    const HeavySide side;
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
  const HeavySide side;
  return handoverDone() || unseenThreadsStopped();
}

bool fenceThreadSeen(uintptr_t key) noexcept {
  return entryOf(key)->phase.load(std::memory_order_acquire) != Phase::plain;
}

bool fenceThreadStopped(uintptr_t key, FenceThreadWait& wait) noexcept {
#ifdef KX_TEST_SEAMS
  if (!gAllowStopped.load(std::memory_order_relaxed)) return false;
#endif
  FenceThread& thread = *entryOf(key);
  // Under the mutex the thread can neither leave the plain phase nor end;
  // the count of attachments tells whether it is the one the previous call
  // looked at.
  base::LockGuard guard(threadsMutex());
  settleAfterFork();
  if (thread.phase.load(std::memory_order_acquire) != Phase::plain) return false;
  if (wait.attachment != thread.attachments) wait = {wait.round, thread.attachments, 0};
  const pid_t tid = thread.process == base::process_token()
                        ? thread.tid.load(std::memory_order_relaxed)
                        : static_cast<pid_t>(getpid());
  Seen seen = clockPair(tid, wait.clock);
  if (seen == Seen::unknown) seen = procSyscall(tid);
  return seen == Seen::stopped;
}

bool fenceThreadOrdered(uintptr_t key, FenceThreadWait& wait) noexcept {
  FenceThread& thread = *entryOf(key);
  if (thread.phase.load(std::memory_order_acquire) != Phase::plain) {
    noteEvent(Event::seen);
    return true;
  }
  if (wait.round != 0 && thread.answered.load(std::memory_order_seq_cst) >= wait.round) {
    noteEvent(Event::answered);
    return true;
  }
  base::LockGuard guard(threadsMutex());
  settleAfterFork();
  if (wait.round == 0) wait.round = ++gRounds;
  if (thread.phase.load(std::memory_order_acquire) != Phase::plain) {
    noteEvent(Event::seen);
    return true;
  }
  switch (orderedFor(thread, wait.round)) {
    case Ordered::no:
      return false;
    case Ordered::stopped:
      noteEvent(Event::stopped);
      return true;
    case Ordered::answered:
      noteEvent(Event::answered);
      return true;
  }
  return false;
}

bool heavyFencePolled(uint64_t& round) noexcept {
  if (round == 0 && !detail::gBarrierFailed.load(std::memory_order_acquire) && heavyFence()) {
    return true;
  }
  // Whichever thread polls is past any light side of its own.
  detail::seeFenceThread();
  const HeavySide side;
  if (handoverDone()) return true;
  base::LockGuard guard(threadsMutex());
  if (round == 0) round = ++gRounds;
  // Every thread still plain is looked at, so that the busy ones are watched
  // and asked together.
  bool ordered = true;
  for (FenceThread* thread = gAllThreads; thread != nullptr; thread = thread->nextAll) {
    if (thread->phase.load(std::memory_order_acquire) == Phase::plain &&
        orderedFor(*thread, round) == Ordered::no) {
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

std::size_t mostLooksOfAHeavySideOnThisThreadForTesting() noexcept { return tMostHeavyLooks; }

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

void setBeforeOrderSignalForTesting(void (*before)()) noexcept {
  gBeforeSignal.store(before, std::memory_order_release);
}

FenceOrderingForTesting fenceOrderingForTesting() noexcept {
  auto events = [](Event event) {
    return gEvents[static_cast<int>(event)].load(std::memory_order_relaxed);
  };
  return {
      events(Event::seen),       events(Event::stopped),
      events(Event::answered),   events(Event::signalSent),
      events(Event::handlerRun), gSignalUse.load(std::memory_order_relaxed) == SignalUse::givenUp};
}
#endif

}  // namespace concurrency
