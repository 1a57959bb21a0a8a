#include <errno.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "HandlerStacksInternal.h"
#include "ThreadsInternal.h"
#include "base/ProcessToken.h"
#include "system/SignalSafe.h"
#include "system/Threads.h"

#ifdef KX_TEST_SEAMS
#include "system/TestSeams.h"
#endif

// Parking: a thread of the own process asked with the parking signal saves
// its interrupted context into a slot and waits in its handler until it is
// released (see system/Threads.h), and during a crash until the end.
//
// The handler runs on whatever alternate stack the thread has: an
// application's small one too, where the kernel's frame may leave a few
// hundred bytes. So it is a KX_HANDLER_ENTRY (HandlerStacksInternal.h) and
// makes its system calls itself: a sanitizer's frames, or the loader binding
// a function at its first call (which saves every vector register on the
// stack), could run it past that stack's end. A fault there would put its
// own frame back at the top of that stack, over the handler's, and the
// thread would never park nor say it will not.

namespace sys {
namespace {

// Slot states. A suspender claims a free slot, names the thread and asks;
// the thread's handler moves it to parking, copies its context, marks it
// parked and waits until the suspender writes released; the handler then
// frees the slot on its way out (leaving, then free). A request that arrives
// on top of the handler while its slot is still released (the thread asked
// again before it could leave, as a thread starved of processor time is by
// reports taken one after the other) is left to that handler, which parks
// for it next: repark, with the request's slot in `next`. Each such request
// would otherwise pile one more signal frame on the thread's alternate stack
// until it overflowed, which the kernel answers by ending the process.
enum SlotState : int32_t {
  kFree = 0,
  kClaimed = 1,
  kRequested = 2,
  kParking = 3,
  kParked = 4,
  kReleased = 5,
  kRepark = 6,
  kLeaving = 7,
  // A request whose thread took it but did not park in time: the thread
  // frees the slot when it comes to it, without parking.
  kAbandoned = 8,
};

struct ParkSlot {
  std::atomic<int32_t> state{kFree};
  std::atomic<int32_t> tid{0};
  std::atomic<int32_t> next{-1};  // written and read by the slot's thread alone
  thread_gregs context;
};

constexpr int kSlotCount = static_cast<int>(kThreadCapacity);
ParkSlot gSlots[kSlotCount];

// Where the slot of a thread was last claimed, by thread id modulo the slot
// count (slot index + 1; 0 = none): a lookup tries it before scanning every
// slot, so finding the slots of a few thousand parked threads stays linear.
std::atomic<int32_t> gSlotHints[kSlotCount];
// The slot a thread's park handler last took, as gSlotHints: how a request
// that arrives on top of the handler finds it.
std::atomic<int32_t> gParkingHints[kSlotCount];

std::atomic<bool> gPrepared{false};

// Where the next claim starts looking for a free slot: parking a few thousand
// threads at once claims slots one after the other, not by a scan from the
// first slot each time.
std::atomic<int32_t> gNextSlot{0};

constexpr int64_t kParkTimeoutNs = 100'000'000;

#ifdef KX_TEST_SEAMS
// The waits begun so far, and the deadline of the last one: threads waited
// for one after another by the same deadline share one wait.
std::atomic<uint64_t> gWaits{0};
std::atomic<int64_t> gLastDeadline{0};
void noteWait(int64_t deadline) {
  if (gLastDeadline.exchange(deadline, std::memory_order_relaxed) != deadline) {
    gWaits.fetch_add(1, std::memory_order_relaxed);
  }
}
#else
void noteWait(int64_t) {}
#endif
// How long a thread that blocks the parking signal is given to unblock it
// before it is taken for one waiting on signals of its own.
constexpr int64_t kUnblockPatienceNs = 20'000'000;

// The futex word of an atomic int32 (std::atomic<int32_t> is a plain int32 in
// memory on this platform).
KX_HANDLER_ENTRY inline int* futexWord(std::atomic<int32_t>* a) {
  return reinterpret_cast<int*>(a);
}

void futexWait(std::atomic<int32_t>* word, int32_t expected, const struct timespec* timeout) {
  syscall(SYS_futex, futexWord(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

void futexWakeAll(std::atomic<int32_t>* word) {
  syscall(SYS_futex, futexWord(word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

using stacks::KernelMask;

// Every signal but the C library's own two (thread cancellation and the
// broadcast of a new user or group), which its full sets leave out too.
// Masks here are set by the system call: the C library's functions may be the
// program's to wrap.
constexpr KernelMask kHeldBack = ~(KernelMask{3} << 31);

// Blocks those signals on the calling thread; the mask it had into `*before`.
KX_HANDLER_ENTRY void blockEverySignal(KernelMask* before) { stacks::setMask(&kHeldBack, before); }

// For the parking signal's handler: the builtins on the atomics' words (their
// members are calls in an unoptimised build), futexWait and futexWakeAll.
KX_HANDLER_ENTRY inline int32_t loadHere(std::atomic<int32_t>* a) {
  return __atomic_load_n(futexWord(a), __ATOMIC_ACQUIRE);
}
KX_HANDLER_ENTRY inline void storeHere(std::atomic<int32_t>* a, int32_t value) {
  __atomic_store_n(futexWord(a), value, __ATOMIC_RELEASE);
}
KX_HANDLER_ENTRY inline bool moveHere(std::atomic<int32_t>* a, int32_t from, int32_t to) {
  return __atomic_compare_exchange_n(futexWord(a), &from, to, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE);
}
KX_HANDLER_ENTRY void futexWaitHere(std::atomic<int32_t>* word, int32_t expected) {
  stacks::systemCall(SYS_futex, stacks::word(word), FUTEX_WAIT_PRIVATE, expected);
}
KX_HANDLER_ENTRY void futexWakeAllHere(std::atomic<int32_t>* word) {
  stacks::systemCall(SYS_futex, stacks::word(word), FUTEX_WAKE_PRIVATE, INT32_MAX);
}

// The crash the process ends by: its token (base/ProcessToken.h) in the
// upper half, the thread that writes it in the lower one; 0 for none.
std::atomic<uint64_t> gCrash{0};

// A request that is not (or no longer) the calling thread's.
constexpr int kNoRequest = -2;

// Parks the calling thread `self` for the request of slot `index` with the
// interrupted context `uc`, until it is released. Answers the slot of a
// request left to it meanwhile, or -1.
KX_HANDLER_ENTRY int parkFor(int index, int32_t self, const ucontext_t* uc) {
  ParkSlot& slot = gSlots[index];
  if (loadHere(&slot.tid) != self || !moveHere(&slot.state, kRequested, kParking)) {
    return kNoRequest;
  }
  // A parked thread runs no handler of the program's: none of its code runs
  // until the thread is released. A request that arrives meanwhile waits for
  // the release, and is then left to this handler (see leftToTheParkBelow).
  KernelMask before;
  blockEverySignal(&before);
  storeHere(&gParkingHints[static_cast<uint32_t>(self) % kSlotCount], index + 1);
  // One register at a time: a copy the compiler made a call of would run the
  // library's (or a sanitizer's) code here.
  auto* gregs = reinterpret_cast<volatile uint64_t*>(slot.context.gregs);
  for (int i = 0; i < kThreadGregCount; ++i) {
    gregs[i] = static_cast<uint64_t>(uc->uc_mcontext.gregs[i]);
  }
  if (!moveHere(&slot.state, kParking, kParked)) {
    // Given up on (kAbandoned): the asker went on without this thread.
    stacks::setMask(&before);
    storeHere(&slot.tid, 0);
    storeHere(&slot.state, kFree);
    return kNoRequest;
  }
  futexWakeAllHere(&slot.state);
  while (loadHere(&slot.state) == kParked) futexWaitHere(&slot.state, kParked);
  stacks::setMask(&before);
  const int next = moveHere(&slot.state, kReleased, kLeaving) ? -1 : loadHere(&slot.next);
  storeHere(&slot.tid, 0);
  storeHere(&slot.state, kFree);
  return next;
}

// Leaves the request of slot `index` to the park of the calling thread
// `self` in `below`, when that park is released and on its way out.
KX_HANDLER_ENTRY bool leaveTo(ParkSlot& below, int index, int32_t self) {
  if (loadHere(&below.tid) != self || loadHere(&below.state) != kReleased) return false;
  storeHere(&below.next, index);
  return moveHere(&below.state, kReleased, kRepark);
}

// Whether the request of slot `index` arrived on top of the calling thread's
// park handler while its slot was released, and was left to it. Its slot is
// found by its hint, else, when the signal came on the alternate stack the
// handler runs on, among all.
KX_HANDLER_ENTRY bool leftToTheParkBelow(int index, int32_t self, const ucontext_t* uc) {
  const int32_t hint = loadHere(&gParkingHints[static_cast<uint32_t>(self) % kSlotCount]);
  if (hint > 0 && leaveTo(gSlots[hint - 1], index, self)) return true;
  if ((uc->uc_stack.ss_flags & SS_ONSTACK) == 0) return false;
  for (int i = 0; i < kSlotCount; ++i) {
    if (leaveTo(gSlots[i], index, self)) return true;
  }
  return false;
}

// A thread that published its fault state waits in the exception bridge for
// the answer: it runs nothing meanwhile, and its state is known. Parking it
// would put a second signal frame on the alternate stack its fault's handler
// runs on, which may be small or nearly used up.
bool waitsOnItsFault(thread_t thread) {
  thread_fault_signal signal;
  return thread_get_fault_signal(thread, &signal);
}

// A thread that published its state to wait for the end (a waiting state
// has no signal), which never answers a request again. One that waits on
// its fault may yet: its fault's answer lets it go on.
bool waitsForTheEnd(thread_t thread) {
  thread_fault_signal signal;
  return thread_get_fault_signal(thread, &signal) && signal.signo == 0;
}

// The request to take an offered alternate stack (at enabling, on ordinary
// stacks), with the C library's calls.
void takeOfferedStack(void* uap) {
  ErrnoGuard errnoGuard;
  detail::thread_alternate_stack_offered(uap);
}

KX_HANDLER_ENTRY void parkHandler(int, siginfo_t* info, void* uap) {
  int index = info->si_value.sival_int;
  if (info->si_code == SI_QUEUE && index == detail::kAlternateStackRequest) {
    takeOfferedStack(uap);
    return;
  }
  if (info->si_code != SI_QUEUE || index < 0 || index >= kSlotCount) return;
  const auto* uc = static_cast<const ucontext_t*>(uap);
  const int32_t self = stacks::threadId();
  if (leftToTheParkBelow(index, self, uc)) return;
  while (index >= 0) index = parkFor(index, self, uc);
  // A request withdrawn before this thread came to it: during a crash, the
  // thread parks all the same, unless it waits on its fault's answer in the
  // exception bridge (in Mach mode the crash ends with that answer).
  if (index == kNoRequest &&
      __atomic_load_n(reinterpret_cast<uint64_t*>(&gCrash), __ATOMIC_ACQUIRE) >> 32 ==
          base::process_token() &&
      !waitsOnItsFault(self)) {
    process_crash_hold();
  }
}

ParkSlot* slotOf(thread_t thread, int32_t state) {
  int32_t hint =
      gSlotHints[static_cast<uint32_t>(thread) % kSlotCount].load(std::memory_order_acquire);
  if (hint > 0) {
    ParkSlot& slot = gSlots[hint - 1];
    if (slot.state.load(std::memory_order_acquire) == state &&
        slot.tid.load(std::memory_order_relaxed) == thread) {
      return &slot;
    }
  }
  for (auto& slot : gSlots) {
    if (slot.state.load(std::memory_order_acquire) == state &&
        slot.tid.load(std::memory_order_relaxed) == thread) {
      return &slot;
    }
  }
  return nullptr;
}

ParkSlot* parkedSlotOf(thread_t thread) { return slotOf(thread, kParked); }

// The slot of a request for `thread` still in progress or answered (asked,
// parking or parked), found by its hint before any scan: by the time it is
// waited for, the thread may have parked already.
ParkSlot* requestedSlotOf(thread_t thread) {
  auto matches = [thread](const ParkSlot& slot) {
    int32_t state = slot.state.load(std::memory_order_acquire);
    return (state == kRequested || state == kParking || state == kParked) &&
           slot.tid.load(std::memory_order_relaxed) == thread;
  };
  int32_t hint =
      gSlotHints[static_cast<uint32_t>(thread) % kSlotCount].load(std::memory_order_acquire);
  if (hint > 0 && matches(gSlots[hint - 1])) return &gSlots[hint - 1];
  for (auto& slot : gSlots) {
    if (matches(slot)) return &slot;
  }
  return nullptr;
}

// Claims a slot for `thread` and sends it the parking signal. The slot's
// index, or -1 with `*error` set.
int requestPark(thread_t thread, kern_return_t* error) {
  int index = -1;
  const int32_t start = gNextSlot.load(std::memory_order_relaxed);
  for (int n = 0; n < kSlotCount; ++n) {
    const int i = static_cast<int>((start + n) % kSlotCount);
    int32_t expected = kFree;
    if (gSlots[i].state.compare_exchange_strong(expected, kClaimed, std::memory_order_acq_rel)) {
      index = i;
      gNextSlot.store((i + 1) % kSlotCount, std::memory_order_relaxed);
      break;
    }
  }
  if (index < 0) {
    *error = KERN_RESOURCE_SHORTAGE;
    return -1;
  }
  ParkSlot& slot = gSlots[index];
  slot.tid.store(thread, std::memory_order_release);
  slot.state.store(kRequested, std::memory_order_release);
  gSlotHints[static_cast<uint32_t>(thread) % kSlotCount].store(index + 1,
                                                               std::memory_order_release);

  if (!detail::thread_send_parking_signal(thread, index)) {
    slot.tid.store(0, std::memory_order_relaxed);
    slot.state.store(kFree, std::memory_order_release);
    *error = KERN_INVALID_ARGUMENT;
    return -1;
  }
  return index;
}

// Waits until the thread of slot `index` has parked or `deadline` (monotonic
// nanoseconds) has passed; a request still unanswered then is withdrawn.
kern_return_t awaitPark(int index, int64_t deadline) {
  noteWait(deadline);
  ParkSlot& slot = gSlots[index];
  for (;;) {
    int32_t state = slot.state.load(std::memory_order_acquire);
    if (state == kParked) return KERN_SUCCESS;
    int64_t left = deadline - monotonic_ns();
    // A thread that took a signal held during a crash waits for the end in
    // its handler, with every signal blocked and its state published.
    const bool waitsElsewhere =
        state == kRequested && waitsForTheEnd(slot.tid.load(std::memory_order_relaxed));
    if (state == kRequested && (left <= 0 || waitsElsewhere)) {
      int32_t expected = kRequested;
      if (slot.state.compare_exchange_strong(expected, kFree, std::memory_order_acq_rel)) {
        // The signal may still arrive later; the handler then finds no
        // request for it and returns at once.
        return KERN_OPERATION_TIMED_OUT;
      }
      continue;  // the handler took it just now
    }
    if (state == kParking && left <= -kParkTimeoutNs) {
      // Parking began and did not end: the thread was held up as long
      // again, or its handler will never go on (a fault of its own
      // overran a small alternate stack, and its frame went over the
      // handler's).
      int32_t expected = kParking;
      if (slot.state.compare_exchange_strong(expected, kAbandoned, std::memory_order_acq_rel)) {
        return KERN_OPERATION_TIMED_OUT;
      }
      continue;
    }
    if (left <= 0) left = 1'000'000;  // parking has begun: it finishes promptly
    if (state == kRequested && left > 1'000'000) left = 1'000'000;  // and looks again
    struct timespec timeout = {static_cast<time_t>(left / 1'000'000'000),
                               static_cast<long>(left % 1'000'000'000)};
    futexWait(&slot.state, state, &timeout);
  }
}

bool hasParkingSignal(uint64_t mask) { return (mask >> (thread_parking_signal() - 1) & 1) != 0; }

}  // namespace

bool detail::thread_blocks_parking_signal(thread_t thread) noexcept {
  ErrnoGuard errnoGuard;
  base::ProcStatus status;
  if (!detail::thread_status_read(thread, &status)) return false;
  if ((status.found & base::ProcStatus::kBlocked) != 0 && hasParkingSignal(status.blocked)) {
    return true;
  }
  // While a thread waits in sigwaitinfo (or sigtimedwait), the kernel
  // unblocks the signals it waits for: its mask no longer shows them, the
  // set it waits on does.
  char text[256];
  if (detail::thread_file_read(thread, "syscall", text, sizeof text) <= 0) return false;
  const char* at = text;
  if (detail::parse_number(&at, 10) != SYS_rt_sigtimedwait) return false;
  const uint64_t set = detail::parse_number(&at, 16);
  uint64_t waitedFor = 0;
  return mach_vm_read_overwrite(mach_task_self(), set, sizeof waitedFor, &waitedFor, nullptr) ==
             KERN_SUCCESS &&
         hasParkingSignal(waitedFor);
}

void detail::thread_await_parking_unblocked(const thread_t* threads, uint32_t count, bool* pending,
                                            void (*ask)(uint32_t, void*), void* context) noexcept {
  const int64_t deadline = monotonic_ns() + kUnblockPatienceNs;
  noteWait(deadline);
  for (;;) {
    bool waiting = false;
    for (uint32_t i = 0; i < count; ++i) {
      if (!pending[i]) continue;
      if (thread_blocks_parking_signal(threads[i])) {
        waiting = true;
      } else {
        pending[i] = false;
        ask(i, context);
      }
    }
    if (!waiting || monotonic_ns() >= deadline) return;
    struct timespec pause = {0, 500'000};
    nanosleep(&pause, nullptr);
  }
}

bool detail::thread_send_parking_signal(thread_t thread, int value) noexcept {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  info.si_signo = thread_parking_signal();
  info.si_code = SI_QUEUE;
  info.si_pid = mach_task_self();
  info.si_uid = getuid();
  info.si_value.sival_int = value;
  return syscall(SYS_rt_tgsigqueueinfo, info.si_pid, thread, thread_parking_signal(), &info) == 0;
}

int thread_parking_signal() noexcept { return SIGRTMAX - 2; }

bool thread_parking_prepare() noexcept {
  if (gPrepared.load(std::memory_order_acquire)) return detail::task_folder_reserve();
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = parkHandler;
  // On the alternate stack, where the thread has one: a thread parked near
  // the end of its stack must not overflow it by parking. Not deferred: a
  // thread is never sent the signal while it has it blocked (see
  // `thread_blocks_parking_signal`), and one still on its way out of this
  // handler must not look so.
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK | SA_NODEFER;
  // Nothing else lands on top of it before it blocks every signal (the
  // kernel would put a pending signal's frame there at once, on what may be
  // a small stack): but for the faults, so that one of its own is still a
  // crash of the thread.
  sigfillset(&action.sa_mask);
  for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, thread_parking_signal()}) {
    sigdelset(&action.sa_mask, fault);
  }
  if (sigaction(thread_parking_signal(), &action, nullptr) == 0) {
    gPrepared.store(true, std::memory_order_release);
  }
  return detail::task_folder_reserve();
}

kern_return_t thread_suspend(thread_t thread) noexcept {
  if (thread == mach_thread_self() || thread <= 0) return KERN_INVALID_ARGUMENT;
  ErrnoGuard errnoGuard;
  thread_parking_prepare();
  bool blocked = true;
  detail::thread_await_parking_unblocked(
      &thread, 1, &blocked, [](uint32_t, void*) {}, nullptr);
  if (blocked) return KERN_OPERATION_TIMED_OUT;
  kern_return_t error = KERN_SUCCESS;
  int index = requestPark(thread, &error);
  if (index < 0) return error;
  return awaitPark(index, monotonic_ns() + kParkTimeoutNs);
}

namespace {

struct SuspendAll {
  const thread_t* threads;
  bool* suspended;
};

void askToPark(uint32_t index, void* context) {
  auto* all = static_cast<SuspendAll*>(context);
  kern_return_t error;
  all->suspended[index] = requestPark(all->threads[index], &error) >= 0;
}

}  // namespace

void thread_suspend_all(const thread_t* threads, uint32_t count, bool* suspended) noexcept {
  ErrnoGuard errnoGuard;
  thread_parking_prepare();
  const thread_t self = mach_thread_self();
  SuspendAll all = {threads, suspended};
  // First every request, then one wait for all of them. A thread found with
  // the signal blocked is asked once it unblocks it, if it does soon.
  bool blocked[kThreadCapacity];
  const uint32_t checked = count < kThreadCapacity ? count : kThreadCapacity;
  bool anyBlocked = false;
  for (uint32_t i = 0; i < count; ++i) {
    suspended[i] = false;
    if (i < checked) blocked[i] = false;
    if (threads[i] == self || threads[i] <= 0 || waitsOnItsFault(threads[i])) continue;
    if (i < checked && detail::thread_blocks_parking_signal(threads[i])) {
      blocked[i] = anyBlocked = true;
      continue;
    }
    askToPark(i, &all);
  }
  if (anyBlocked)
    detail::thread_await_parking_unblocked(threads, checked, blocked, askToPark, &all);
  const int64_t deadline = monotonic_ns() + kParkTimeoutNs;
  for (uint32_t i = 0; i < count; ++i) {
    if (!suspended[i]) continue;
    ParkSlot* slot = requestedSlotOf(threads[i]);
    suspended[i] =
        slot != nullptr && awaitPark(static_cast<int>(slot - gSlots), deadline) == KERN_SUCCESS;
  }
}

kern_return_t thread_resume(thread_t thread) noexcept {
  ParkSlot* slot = parkedSlotOf(thread);
  if (slot == nullptr) return KERN_FAILURE;
  if (process_crash_under_way()) return KERN_SUCCESS;
  int32_t expected = kParked;
  if (!slot->state.compare_exchange_strong(expected, kReleased, std::memory_order_acq_rel)) {
    return KERN_FAILURE;
  }
  ErrnoGuard errnoGuard;
  futexWakeAll(&slot->state);
  return KERN_SUCCESS;
}

namespace {

// The faults a thread may cause itself, which its handlers must see.
constexpr KernelMask kFaultBits = KernelMask{1} << (SIGSEGV - 1) | KernelMask{1} << (SIGBUS - 1) |
                                  KernelMask{1} << (SIGILL - 1) | KernelMask{1} << (SIGFPE - 1) |
                                  KernelMask{1} << (SIGTRAP - 1) | KernelMask{1} << (SIGSYS - 1);

// The actions a crash replaced (see `holdSignals`).
struct sigaction gHeldActions[NSIG];

// Puts the action a held signal had back, and sends the signal again as it
// came: for a process that is not the crash's (a child forked in the crash
// callback, or one in its parent's memory).
void handHeldSignalOn(int signo, siginfo_t* info) {
  ErrnoGuard errnoGuard;
  sigaction(signo, &gHeldActions[signo], nullptr);
  syscall(SYS_rt_tgsigqueueinfo, getpid(), syscall(SYS_gettid), signo, info);
}

// A held signal's handler: the thread that takes it during a crash waits
// for the end where it is, every signal blocked, with its state published
// for the report (as a thread that waits in a fault handler). It may run on
// an application's small alternate stack (see parkHandler). The crash's own
// thread, should its callback let such a signal through, drops it, as does
// a thread whose fault waits on its answer, which ends the process or lets
// it go on (in Mach mode, the crash's faulting thread).
KX_HANDLER_ENTRY void heldSignal(int signo, siginfo_t* info, void* uap) {
  const uint64_t crash = __atomic_load_n(reinterpret_cast<uint64_t*>(&gCrash), __ATOMIC_ACQUIRE);
  if (crash >> 32 == base::process_token() && !task_shares_parent_memory()) {
    const int32_t self = stacks::threadId();
    if (static_cast<int32_t>(crash) == self || waitsOnItsFault(self)) return;
    (void)detail::thread_publish_waiting_state(self, uap);
    static std::atomic<int32_t> never{0};
    for (;;) futexWaitHere(&never, 0);
  }
  handHeldSignalOn(signo, info);
}

// Whether `signo`'s action `action` may end the process, stop it or run the
// program's code: a handler, or a default action other than ignoring the
// signal or continuing.
bool actionActs(int signo, const struct sigaction& action) {
  if ((action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN) return false;
  if ((action.sa_flags & SA_SIGINFO) != 0 || action.sa_handler != SIG_DFL) return true;
  return signo != SIGCHLD && signo != SIGURG && signo != SIGWINCH && signo != SIGCONT;
}

// From a crash on, no signal sent to the process runs the program's
// handlers, ends it or stops it: the crash's thread holds them back, and
// every other thread that takes one waits for the end. The faults stay with
// their handlers (the crash's guard), as does SIGSYS (a sandbox's answer to
// a trapped call, which the write may make), and the parking signal.
void holdSignals() {
  struct sigaction hold;
  std::memset(&hold, 0, sizeof hold);
  hold.sa_sigaction = heldSignal;
  hold.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigfillset(&hold.sa_mask);
  for (int signo = 1; signo < NSIG; ++signo) {
    const KernelMask bit = KernelMask{1} << (signo - 1);
    if (signo == SIGKILL || signo == SIGSTOP || signo == SIGABRT || (bit & kFaultBits) != 0 ||
        (bit & kHeldBack) == 0 || signo == thread_parking_signal()) {
      continue;
    }
    // One call for most: an action that would not act (an ignored signal)
    // goes back at once; a signal it gets meanwhile holds its thread, as
    // parking would.
    struct sigaction action;
    if (sigaction(signo, &hold, &action) != 0) continue;
    gHeldActions[signo] = action;
    if (!actionActs(signo, action)) sigaction(signo, &action, nullptr);
  }
}

}  // namespace

void process_crash_began() noexcept {
  ErrnoGuard errnoGuard;
  // Every signal but the faults (which stay as they were) held back here.
  const KernelMask held = kHeldBack & ~kFaultBits;
  stacks::systemCall(SYS_rt_sigprocmask, SIG_BLOCK, stacks::word(&held), 0, sizeof held);
  gCrash.store(static_cast<uint64_t>(base::process_token()) << 32 |
                   static_cast<uint32_t>(mach_thread_self()),
               std::memory_order_release);
  holdSignals();
}

bool process_crash_under_way() noexcept {
  // The parent's crash, seen from a child in its memory, is not the child's.
  return gCrash.load(std::memory_order_acquire) >> 32 == base::process_token() &&
         !task_shares_parent_memory();
}

void process_crash_hold() noexcept {
  if (!process_crash_under_way() ||
      static_cast<thread_t>(gCrash.load(std::memory_order_acquire)) == mach_thread_self()) {
    return;
  }
  KernelMask before;
  blockEverySignal(&before);
  // The crash's signal ends the process.
  static std::atomic<int32_t> never{0};
  for (;;) futexWait(&never, 0, nullptr);
}

void process_crash_holds_exit() noexcept {
  static std::atomic<bool> registered{false};
  if (!registered.exchange(true)) atexit([] { process_crash_hold(); });
}

// Exit runs the exit handlers and the globals' destructors, the last
// registered first: the hold above comes before those registered before
// enabling (the destructors of globals made earlier). This one comes after
// them all, with the program's and its libraries' destructors (the lowest
// priority runs last), so that an exit already past the first hold when the
// crash began waits here, whatever signals its thread blocks.
__attribute__((destructor(101))) void holdExitAtTheEnd() { process_crash_hold(); }

bool detail::thread_parked_state(thread_t thread, thread_gregs* state) noexcept {
  ParkSlot* slot = parkedSlotOf(thread);
  if (slot == nullptr) return false;
  *state = slot->context;
  return true;
}

#ifdef KX_TEST_SEAMS
uint64_t threadParkingWaitsForTesting() noexcept { return gWaits.load(std::memory_order_relaxed); }
#endif

}  // namespace sys
