#include "system/Threads.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "ThreadsInternal.h"
#include "base/ProcessToken.h"
#include "system/ReservedDescriptors.h"
#include "system/SignalSafe.h"

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

struct FaultState {
  std::atomic<int32_t> tid{0};
  thread_gregs context;
  thread_fault_signal signal;
};
// Threads waiting on a fault's answer, and those only waiting for the end of
// a process whose other thread crashed: as many as fault at once.
constexpr int kFaultSlotCount = 256;
FaultState gFaults[kFaultSlotCount];
// The slots claimed at some time are [0, gFaultSlotsUsed): lookups, one per
// thread of a report, look no further.
int32_t gFaultSlotsUsed = 0;

KX_HANDLER_ENTRY void noteFaultSlotUsed(int slot) {
  int32_t used = __atomic_load_n(&gFaultSlotsUsed, __ATOMIC_ACQUIRE);
  while (used <= slot && !__atomic_compare_exchange_n(&gFaultSlotsUsed, &used, slot + 1, false,
                                                      __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
  }
}

// The published fault state of `thread`, or null.
FaultState* publishedFaultOf(thread_t thread) {
  const int used = __atomic_load_n(&gFaultSlotsUsed, __ATOMIC_ACQUIRE);
  for (int i = 0; i < used; ++i) {
    if (gFaults[i].tid.load(std::memory_order_acquire) == thread) return &gFaults[i];
  }
  return nullptr;
}

std::atomic<bool> gPrepared{false};

// /proc/self/task, opened when parking is prepared, so that a process that
// has used up its file descriptors can still list its threads. It lists the
// process it was opened in: a forked child opens its own, which tells it
// through /proc whether its table is apart from the parent's, and then
// closes its copy (with no descriptor left, it opens its own in the one that
// frees). A child whose table is its parent's too
// (CLONE_FILES), or may be, keeps nothing of its own there (the table would
// keep it after the child ends) and lists through a folder it opens each
// time, but at its crash. One lister at a time uses it; another opens the
// folder afresh. The number is used (or closed) only while it still names
// the folder it was opened on: a program that closed it and got the number
// back for a file of its own keeps that file untouched, and the folder is
// opened afresh.
std::atomic<int32_t> gTaskFolder{-1};
// The process that opened it: its id, and its token (base/ProcessToken.h),
// which tells it from a process that has its id now (an ended process's id
// given again, a child in a new pid namespace); and its start, which tells
// it in /proc.
std::atomic<task_t> gTaskFolderOwner{0};
std::atomic<uint32_t> gTaskFolderOwnerToken{0};
std::atomic<uint64_t> gTaskFolderOwnerStart{0};
// The process whose thread lists through it now, by its token (0: none). A
// child forked meanwhile finds it free: the lister is not there.
std::atomic<uint32_t> gTaskFolderBusy{0};
descriptor_identity gTaskFolderIdentity;  // set before the number is published

int openTaskFolder() { return open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

task_t ownPid() { return static_cast<task_t>(syscall(SYS_getpid)); }

// Takes the kept folder for the calling thread's listing; false while
// another thread of this process lists through it.
bool takeFolderUse() {
  const uint32_t self = base::process_token();
  uint32_t user = gTaskFolderBusy.load();
  while (user != self) {
    if (gTaskFolderBusy.compare_exchange_weak(user, self)) return true;
  }
  return false;
}

void releaseFolderUse() { gTaskFolderBusy.store(0); }

// Whether the kept folder is the calling process's own.
bool ownFolder() { return gTaskFolderOwnerToken.load() == base::process_token(); }

void forgetFolder() {
  gTaskFolder.store(-1);
  gTaskFolderOwner.store(0);
  gTaskFolderOwnerToken.store(0);
  gTaskFolderOwnerStart.store(0);
}

// `prefix`, then `file`, into `path` (kProcessPathRoom bytes), with the
// decimal `pid` and a "/" between them when `pid` is given (not 0); false
// when it does not fit.
constexpr size_t kProcessPathRoom = 128;
bool processPath(char* path, const char* prefix, task_t pid, const char* file) {
  size_t length = 0;
  for (; *prefix != '\0'; ++prefix) path[length++] = *prefix;
  if (pid != 0) {
    length += format_decimal(static_cast<uint32_t>(pid), path + length);
    path[length++] = '/';
  }
  for (; *file != '\0'; ++file) {
    if (length + 1 >= kProcessPathRoom) return false;
    path[length++] = *file;
  }
  path[length] = '\0';
  return true;
}

// Keeps `fd` (just opened on the folder) as the reserved one; false when it
// cannot be.
bool publishTaskFolder(int fd) {
  descriptor_identity identity;
  if (!descriptor_identify(fd, &identity)) return false;
  gTaskFolderIdentity = identity;
  int32_t none = -1;
  if (!gTaskFolder.compare_exchange_strong(none, fd)) return false;
  gTaskFolderOwnerStart.store(process_identity_self().startTicks);
  gTaskFolderOwner.store(mach_task_self());
  gTaskFolderOwnerToken.store(base::process_token());
  return true;
}

// True when this call kept the folder open.
bool reserveTaskFolder() {
  // A child in its parent's memory would put its own number into the
  // parent's record.
  if (gTaskFolder.load() >= 0 || task_shares_parent_memory()) return false;
  int fd = openTaskFolder();
  if (fd < 0) return false;
  // One whose table may be its parent's too (CLONE_FILES) would leave the
  // number there. A process started by running the program has a table of
  // its own.
  if (!(base::process_forked() && descriptor_table_may_be_parents(fd)) && publishTaskFolder(fd)) {
    return true;
  }
  close(fd);
  return false;
}

// The folder to list, and whether it is the reserved one (to be given back
// with `releaseTaskFolder`, not closed). -1 when none can be opened.
int takeTaskFolder(bool* reserved) {
  *reserved = false;
  // The reserved folder of the parent lists the parent's threads; a child
  // in the parent's memory leaves it be.
  if (task_shares_parent_memory()) return openTaskFolder();
  if (gTaskFolder.load() >= 0 && takeFolderUse()) {
    int fd = gTaskFolder.load();
    process_identity owner;
    owner.pid = gTaskFolderOwner.load();
    owner.startTicks = gTaskFolderOwnerStart.load();
    if (!descriptor_still_names(fd, gTaskFolderIdentity, false)) {
      // The program's now: forgotten, never listed or closed.
      forgetFolder();
      fd = -1;
    } else if (!ownFolder()) {
      // The parent's: this process's copy goes, and a folder of the child's
      // own, opened first to tell the tables apart, is kept instead (or
      // takes the number that frees, when no other is left). In a child that
      // shares the parent's descriptors (CLONE_FILES), or may, the copy
      // stays (the parent's still), and the child lists through the folder
      // it opened, or, at a crash without one, closes the copy in a table
      // of its own.
      const int opened = openTaskFolder();
      const bool closed = descriptor_close_copy(fd, owner, process_crash_under_way(), opened);
      fd = -1;
      if (closed) {
        forgetFolder();
        fd = opened >= 0 ? opened : openTaskFolder();
        if (fd >= 0 && !publishTaskFolder(fd)) {
          close(fd);
          fd = -1;
        }
      } else if (opened >= 0) {
        releaseFolderUse();
        return opened;
      }
    }
    if (fd >= 0 && lseek(fd, 0, SEEK_SET) == 0) {
      *reserved = true;
      return fd;
    }
    releaseFolderUse();
  }
  return openTaskFolder();
}

void releaseTaskFolder(int fd, bool reserved) {
  if (reserved) {
    releaseFolderUse();
  } else {
    close(fd);
  }
}

// Where the next claim starts looking for a free slot: parking a few thousand
// threads at once claims slots one after the other, not by a scan from the
// first slot each time.
std::atomic<int32_t> gNextSlot{0};

constexpr int64_t kParkTimeoutNs = 100'000'000;
// How long a thread that blocks the parking signal is given to unblock it
// before it is taken for one waiting on signals of its own.
constexpr int64_t kUnblockPatienceNs = 20'000'000;

// The futex word of an atomic int32 (std::atomic<int32_t> is a plain int32 in
// memory on this platform).
int* futexWord(std::atomic<int32_t>* a) { return reinterpret_cast<int*>(a); }

void futexWait(std::atomic<int32_t>* word, int32_t expected, const struct timespec* timeout) {
  syscall(SYS_futex, futexWord(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

void futexWakeAll(std::atomic<int32_t>* word) {
  syscall(SYS_futex, futexWord(word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

// The kernel's signal set: 64 signals. Masks here are set by the system call:
// the C library's functions may be the program's to wrap.
constexpr long kSignalSetBytes = 8;

// Blocks every signal on the calling thread; the mask it had into `before`.
void blockEverySignal(sigset_t* before) {
  sigset_t all;
  sigfillset(&all);
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, before, kSignalSetBytes);
}

// The crash the process ends by: its token (base/ProcessToken.h) in the
// upper half, the thread that writes it in the lower one; 0 for none.
std::atomic<uint64_t> gCrash{0};

// A request that is not (or no longer) the calling thread's.
constexpr int kNoRequest = -2;

// Parks the calling thread `self` for the request of slot `index` with the
// interrupted context `uc`, until it is released. Answers the slot of a
// request left to it meanwhile, or -1.
int parkFor(int index, int32_t self, const ucontext_t* uc) {
  ParkSlot& slot = gSlots[index];
  int32_t expected = kRequested;
  if (slot.tid.load(std::memory_order_acquire) != self ||
      !slot.state.compare_exchange_strong(expected, kParking, std::memory_order_acq_rel)) {
    return kNoRequest;
  }
  // A parked thread runs no handler of the program's: none of its code runs
  // until the thread is released. A request that arrives meanwhile waits for
  // the release, and is then left to this handler (see leftToTheParkBelow).
  sigset_t before;
  blockEverySignal(&before);
  gParkingHints[static_cast<uint32_t>(self) % kSlotCount].store(index + 1,
                                                                std::memory_order_release);
  for (int i = 0; i < kThreadGregCount; ++i) {
    slot.context.gregs[i] = static_cast<uint64_t>(uc->uc_mcontext.gregs[i]);
  }
  slot.state.store(kParked, std::memory_order_release);
  futexWakeAll(&slot.state);
  while (slot.state.load(std::memory_order_acquire) == kParked) {
    futexWait(&slot.state, kParked, nullptr);
  }
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &before, nullptr, kSignalSetBytes);
  int32_t released = kReleased;
  const int next = slot.state.compare_exchange_strong(released, kLeaving, std::memory_order_acq_rel)
                       ? -1
                       : slot.next.load(std::memory_order_relaxed);
  slot.tid.store(0, std::memory_order_relaxed);
  slot.state.store(kFree, std::memory_order_release);
  return next;
}

// Whether the request of slot `index` arrived on top of the calling thread's
// park handler while its slot was released, and was left to it. Its slot is
// found by its hint, else, when the signal came on the alternate stack the
// handler runs on, among all.
bool leftToTheParkBelow(int index, int32_t self, const ucontext_t* uc) {
  auto leaveTo = [index, self](ParkSlot& below) {
    if (below.tid.load(std::memory_order_acquire) != self ||
        below.state.load(std::memory_order_acquire) != kReleased) {
      return false;
    }
    below.next.store(index, std::memory_order_relaxed);
    int32_t released = kReleased;
    return below.state.compare_exchange_strong(released, kRepark, std::memory_order_acq_rel);
  };
  const int32_t hint =
      gParkingHints[static_cast<uint32_t>(self) % kSlotCount].load(std::memory_order_acquire);
  if (hint > 0 && leaveTo(gSlots[hint - 1])) return true;
  if ((uc->uc_stack.ss_flags & SS_ONSTACK) == 0) return false;
  for (auto& slot : gSlots) {
    if (leaveTo(slot)) return true;
  }
  return false;
}

void parkHandler(int, siginfo_t* info, void* uap) {
  ErrnoGuard errnoGuard;
  int index = info->si_value.sival_int;
  if (info->si_code == SI_QUEUE && index == detail::kAlternateStackRequest) {
    detail::thread_alternate_stack_offered(uap);
    return;
  }
  if (info->si_code != SI_QUEUE || index < 0 || index >= kSlotCount) return;
  const auto* uc = static_cast<const ucontext_t*>(uap);
  const auto self = static_cast<int32_t>(syscall(SYS_gettid));
  if (leftToTheParkBelow(index, self, uc)) return;
  while (index >= 0) index = parkFor(index, self, uc);
  // A request withdrawn before this thread came to it: during a crash, the
  // thread parks all the same.
  if (index == kNoRequest) process_crash_hold();
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

// A thread that published its fault state waits in the exception bridge for
// the answer: it runs nothing meanwhile, and its state is known. Parking it
// would put a second signal frame on the alternate stack its fault's handler
// runs on, which may be small or nearly used up.
bool waitsOnItsFault(thread_t thread) { return publishedFaultOf(thread) != nullptr; }

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
  ParkSlot& slot = gSlots[index];
  for (;;) {
    int32_t state = slot.state.load(std::memory_order_acquire);
    if (state == kParked) return KERN_SUCCESS;
    int64_t left = deadline - monotonic_ns();
    if (state == kRequested && left <= 0) {
      int32_t expected = kRequested;
      if (slot.state.compare_exchange_strong(expected, kFree, std::memory_order_acq_rel)) {
        // The signal may still arrive later; the handler then finds no
        // request for it and returns at once.
        return KERN_OPERATION_TIMED_OUT;
      }
      continue;  // the handler took it just now
    }
    if (left <= 0) left = 1'000'000;  // parking has begun: it finishes promptly
    struct timespec timeout = {static_cast<time_t>(left / 1'000'000'000),
                               static_cast<long>(left % 1'000'000'000)};
    futexWait(&slot.state, state, &timeout);
  }
}

struct linux_dirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

}  // namespace

namespace {

// Where /proc numbers the process's threads otherwise than the process does
// (its pid namespace is not the one /proc was mounted for): the last list's
// threads, each by both numbers, as the list translated them. Read by the
// one lister that wrote it (the writer of a report).
struct ThreadNumbers {
  thread_t own;
  thread_t proc;
};
ThreadNumbers gThreadNumbers[kThreadCapacity];
std::atomic<uint32_t> gThreadNumberCount{0};

// /proc's number for `thread`, as the last list translated it.
thread_t procNumberOf(thread_t thread) {
  const uint32_t count = gThreadNumberCount.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < count; ++i) {
    if (gThreadNumbers[i].own == thread) return gThreadNumbers[i].proc;
  }
  return thread;
}

// Reads the text of the own process's "task/<thread>/<file>" into `text`
// (room for `room` bytes with a terminating zero); its length, or -1.
// `procNumber`: `thread` is /proc's number, not the process's.
ssize_t readThreadFile(thread_t thread, const char* file, char* text, size_t room,
                       bool procNumber = false) {
  // "task/", up to 10 digits, "/" and the file's name.
  char path[64] = "task/";
  size_t length = 5;
  if (!procNumber) thread = procNumberOf(thread);
  length += format_decimal(static_cast<uint32_t>(thread), path + length);
  path[length++] = '/';
  for (; *file != '\0' && length + 1 < sizeof path; ++file) path[length++] = *file;
  path[length] = '\0';
  int fd = process_file_open(ownPid(), path, O_RDONLY);
  if (fd < 0) return -1;
  size_t filled = 0;
  for (;;) {
    ssize_t got = read(fd, text + filled, room - 1 - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<size_t>(got);
    if (filled == room - 1) break;
  }
  close(fd);
  text[filled] = '\0';
  return static_cast<ssize_t>(filled);
}

// Parses a number in `base` (10 or 16, "0x" allowed) at `*at`, moving past it.
uint64_t parseNumber(const char** at, int base) {
  const char* p = *at;
  while (*p == ' ' || *p == '\t') ++p;
  if (base == 16 && p[0] == '0' && p[1] == 'x') p += 2;
  uint64_t value = 0;
  for (;; ++p) {
    const char c = *p;
    int digit = c >= '0' && c <= '9'                 ? c - '0'
                : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
    if (digit < 0) break;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  *at = p;
  return value;
}

bool hasParkingSignal(uint64_t mask) { return (mask >> (thread_parking_signal() - 1) & 1) != 0; }

// Whether /proc numbers the calling thread otherwise than the process does:
// /proc/thread-self names "<process>/task/<thread>" by /proc's numbers.
bool procNumbersOtherwise() {
  char target[64];
  const ssize_t n = readlink("/proc/thread-self", target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  const char* at = target;
  while (*at != '\0' && *at != '/') ++at;
  if (strncmp(at, "/task/", 6) != 0) return false;
  at += 6;
  return static_cast<thread_t>(parseNumber(&at, 10)) != mach_thread_self();
}

// The process's own number for the thread /proc numbers `proc`: the last of
// the numbers its status gives it, one in each pid namespace from /proc's
// down to its own; 0 when it cannot be read.
thread_t ownNumberOf(thread_t proc) {
  char text[4096];
  if (readThreadFile(proc, "status", text, sizeof text, true) <= 0) return 0;
  const char* at = strstr(text, "\nNSpid:");
  if (at == nullptr) return 0;
  at += 7;
  thread_t own = 0;
  while (*at == ' ' || *at == '\t') {
    own = static_cast<thread_t>(parseNumber(&at, 10));
  }
  return own;
}

// Puts the process's own numbers in place of /proc's in `threads[0, *count)`
// where they differ, leaving out a thread whose number cannot be told, and
// keeps both for the reads of thread files that follow.
void ownThreadNumbers(thread_t* threads, uint32_t* count) {
  gThreadNumberCount.store(0, std::memory_order_release);
  if (!procNumbersOtherwise()) return;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < *count; ++i) {
    const thread_t own = ownNumberOf(threads[i]);
    if (own <= 0) continue;
    gThreadNumbers[kept] = {own, threads[i]};
    threads[kept++] = own;
  }
  *count = kept;
  gThreadNumberCount.store(kept, std::memory_order_release);
}

}  // namespace

bool detail::thread_blocks_parking_signal(thread_t thread) noexcept {
  ErrnoGuard errnoGuard;
  char text[4096];
  if (readThreadFile(thread, "status", text, sizeof text) <= 0) return false;
  const char* at = strstr(text, "\nSigBlk:");
  if (at != nullptr) {
    at += 8;
    if (hasParkingSignal(parseNumber(&at, 16))) return true;
  }
  // While a thread waits in sigwaitinfo (or sigtimedwait), the kernel
  // unblocks the signals it waits for: its mask no longer shows them, the
  // set it waits on does.
  if (readThreadFile(thread, "syscall", text, sizeof text) <= 0) return false;
  at = text;
  if (parseNumber(&at, 10) != SYS_rt_sigtimedwait) return false;
  const uint64_t set = parseNumber(&at, 16);
  uint64_t waitedFor = 0;
  return mach_vm_read_overwrite(mach_task_self(), set, sizeof waitedFor, &waitedFor, nullptr) ==
             KERN_SUCCESS &&
         hasParkingSignal(waitedFor);
}

void detail::thread_await_parking_unblocked(const thread_t* threads, uint32_t count, bool* pending,
                                            void (*ask)(uint32_t, void*), void* context) noexcept {
  const int64_t deadline = monotonic_ns() + kUnblockPatienceNs;
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
  if (gPrepared.load(std::memory_order_acquire)) return reserveTaskFolder();
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = parkHandler;
  // On the alternate stack, where the thread has one: a thread parked near
  // the end of its stack must not overflow it by parking. Not deferred: a
  // thread is never sent the signal while it has it blocked (see
  // `thread_blocks_parking_signal`), and one still on its way out of this
  // handler must not look so.
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  if (sigaction(thread_parking_signal(), &action, nullptr) == 0) {
    gPrepared.store(true, std::memory_order_release);
  }
  return reserveTaskFolder();
}

int process_file_open(task_t pid, const char* file, int flags) noexcept {
  ErrnoGuard errnoGuard;
  char path[kProcessPathRoom];
  // This process's own files through /proc/self: in a pid namespace that kept
  // the host's /proc, its own number there names another process.
  const bool own = pid == ownPid();
  if (!(own ? processPath(path, "/proc/self/", 0, file) : processPath(path, "/proc/", pid, file))) {
    return -1;
  }
  int fd = open(path, flags | O_CLOEXEC);
  // Else through the kept folder, /proc/<its owner>/task: its parent folder
  // is that process's. (The file system's root above it would be the mount
  // that covers /proc, if any.) Not where the owner had the calling
  // process's id but is another process.
  auto folderOf = [pid] {
    return gTaskFolderOwner.load() == pid && (pid != ownPid() || ownFolder());
  };
  if (fd >= 0 || pid <= 0 || !folderOf() || !processPath(path, "../", 0, file) ||
      !takeFolderUse()) {
    return fd;
  }
  const int folder = gTaskFolder.load();
  if (folder >= 0 && folderOf() && descriptor_still_names(folder, gTaskFolderIdentity, false)) {
    fd = openat(folder, path, flags | O_CLOEXEC);
  }
  releaseFolderUse();
  return fd;
}

void thread_parking_release_folder() noexcept {
  if (!takeFolderUse()) return;
  const int fd = gTaskFolder.load();
  if (fd >= 0 && ownFolder() && descriptor_still_names(fd, gTaskFolderIdentity, false)) {
    close(fd);
  }
  forgetFolder();
  releaseFolderUse();
}

kern_return_t task_threads(task_t task, thread_t* threads, uint32_t capacity,
                           uint32_t* count) noexcept {
  *count = 0;
  if (!task_is_self(task)) return KERN_INVALID_ARGUMENT;
  ErrnoGuard errnoGuard;
  bool reserved = false;
  int fd = takeTaskFolder(&reserved);
  if (fd < 0) return KERN_FAILURE;
  alignas(8) char buffer[2048];
  kern_return_t result = KERN_SUCCESS;
  for (;;) {
    long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      result = KERN_FAILURE;
      break;
    }
    for (long offset = 0; offset < n;) {
      const auto* entry = reinterpret_cast<const linux_dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      const char* name = entry->d_name;
      if (name[0] < '0' || name[0] > '9') continue;
      int32_t tid = 0;
      for (; *name >= '0' && *name <= '9'; ++name) tid = tid * 10 + (*name - '0');
      if (*count < capacity) threads[(*count)++] = tid;
    }
  }
  releaseTaskFolder(fd, reserved);
  if (result == KERN_SUCCESS) ownThreadNumbers(threads, count);
  return result;
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

void process_crash_began() noexcept {
  gCrash.store(static_cast<uint64_t>(base::process_token()) << 32 |
                   static_cast<uint32_t>(mach_thread_self()),
               std::memory_order_release);
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
  sigset_t before;
  blockEverySignal(&before);
  // The crash's signal ends the process.
  static std::atomic<int32_t> never{0};
  for (;;) futexWait(&never, 0, nullptr);
}

void process_crash_holds_exit() noexcept {
  static std::atomic<bool> registered{false};
  if (!registered.exchange(true)) atexit([] { process_crash_hold(); });
}

kern_return_t thread_get_state(thread_t thread, thread_gregs* state) noexcept {
  if (const FaultState* fault = publishedFaultOf(thread)) {
    *state = fault->context;
    return KERN_SUCCESS;
  }
  ParkSlot* slot = parkedSlotOf(thread);
  if (slot == nullptr) return KERN_FAILURE;
  *state = slot->context;
  return KERN_SUCCESS;
}

bool thread_publish_fault_state(const thread_gregs* state,
                                const thread_fault_signal* signal) noexcept {
  int32_t self = mach_thread_self();
  for (int i = 0; i < kFaultSlotCount; ++i) {
    FaultState& fault = gFaults[i];
    int32_t expected = 0;
    // Claim with a negative id while the context is copied, so readers never
    // see a half-written one.
    if (fault.tid.compare_exchange_strong(expected, -self, std::memory_order_acq_rel)) {
      fault.context = *state;
      fault.signal = *signal;
      noteFaultSlotUsed(i);
      fault.tid.store(self, std::memory_order_release);
      return true;
    }
  }
  return false;
}

KX_HANDLER_ENTRY bool detail::thread_publish_waiting_state(thread_t self,
                                                           const void* uap) noexcept {
  const auto* context = static_cast<const ucontext_t*>(uap);
  for (int slot = 0; slot < kFaultSlotCount; ++slot) {
    FaultState& fault = gFaults[slot];
    // The builtins on the word itself: the atomic's members are calls in an
    // unoptimised build.
    auto* tid = reinterpret_cast<int32_t*>(&fault.tid);
    int32_t expected = 0;
    if (!__atomic_compare_exchange_n(tid, &expected, -self, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_RELAXED)) {
      continue;
    }
    // One register at a time: a copy the compiler made a call of would run
    // the library's (or a sanitizer's) code here.
    auto* gregs = reinterpret_cast<volatile uint64_t*>(fault.context.gregs);
    for (int i = 0; i < kThreadGregCount; ++i) {
      gregs[i] = static_cast<uint64_t>(context->uc_mcontext.gregs[i]);
    }
    fault.signal.signo = 0;
    fault.signal.code = 0;
    fault.signal.address = 0;
    noteFaultSlotUsed(slot);
    __atomic_store_n(tid, self, __ATOMIC_RELEASE);
    return true;
  }
  return false;
}

bool thread_get_fault_signal(thread_t thread, thread_fault_signal* signal) noexcept {
  const FaultState* fault = publishedFaultOf(thread);
  if (fault != nullptr) *signal = fault->signal;
  return fault != nullptr;
}

void thread_withdraw_fault_state() noexcept {
  int32_t self = mach_thread_self();
  while (FaultState* fault = publishedFaultOf(self)) {
    fault->tid.store(0, std::memory_order_release);
  }
}

}  // namespace sys
