#include "system/Threads.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "ThreadsInternal.h"
#include "base/ProcFiles.h"
#include "base/ProcessToken.h"
#include "system/ReservedDescriptors.h"
#include "system/SignalSafe.h"

// The thread list, the files of the process's threads in /proc, and the
// fault states threads publish; parking is ThreadParking.cpp's.

namespace sys {
namespace {

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

int openTaskFolder() {
  static constexpr base::ProcPath kTaskFolder = base::ProcPath(base::kProcSelf).file("task");
  return open(kTaskFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

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

// "../" and `file` into `path` (kUpPathRoom bytes): false when it does not
// fit.
constexpr size_t kUpPathRoom = base::ProcPath::kRoom;
bool upPath(char* path, const char* file) {
  size_t length = 0;
  for (const char* at = "../"; *at != '\0'; ++at) path[length++] = *at;
  for (; *file != '\0'; ++file) {
    if (length + 1 >= kUpPathRoom) return false;
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

struct linux_dirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

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

// Opens the own process's "task/<thread>/<file>"; -1 when it cannot.
// `procNumber`: `thread` is /proc's number, not the process's.
int openThreadFile(thread_t thread, const char* file, bool procNumber = false) {
  // "task/", up to 10 digits, "/" and the file's name.
  char path[64] = "task/";
  size_t length = 5;
  if (!procNumber) thread = procNumberOf(thread);
  length += format_decimal(static_cast<uint32_t>(thread), path + length);
  path[length++] = '/';
  for (; *file != '\0' && length + 1 < sizeof path; ++file) path[length++] = *file;
  path[length] = '\0';
  return process_file_open(ownPid(), path, O_RDONLY);
}

// Reads the status of the own process's `thread` (base/ProcFiles.h).
bool readThreadStatus(thread_t thread, base::ProcStatus* status, bool procNumber = false) {
  const int fd = openThreadFile(thread, "status", procNumber);
  return fd >= 0 && base::proc_status_read_and_close(fd, status);
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

// The process's own number for the thread /proc numbers `proc`: the last of
// the numbers its status gives it, one in each pid namespace from /proc's
// down to its own; 0 when it cannot be read.
thread_t ownNumberOf(thread_t proc) {
  base::ProcStatus status;
  if (!readThreadStatus(proc, &status, true) || (status.found & base::ProcStatus::kIds) == 0) {
    return 0;
  }
  return static_cast<thread_t>(status.ownId);
}

// Puts the process's own numbers in place of /proc's in `threads[0, *count)`
// where they differ, leaving out a thread whose number cannot be told, and
// keeps both for the reads of thread files that follow.
void ownThreadNumbers(thread_t* threads, uint32_t* count) {
  gThreadNumberCount.store(0, std::memory_order_release);
  if (base::proc_numbers_as_this_process()) return;
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

bool detail::task_folder_reserve() noexcept { return reserveTaskFolder(); }

ssize_t detail::thread_file_read(thread_t thread, const char* file, char* text,
                                 size_t room) noexcept {
  const int fd = openThreadFile(thread, file);
  return fd < 0 ? -1 : base::proc_read_and_close(fd, text, room);
}

bool detail::thread_status_read(thread_t thread, base::ProcStatus* status) noexcept {
  return readThreadStatus(thread, status);
}

uint64_t detail::parse_number(const char** at, int base) noexcept { return parseNumber(at, base); }

int process_file_open(task_t pid, const char* file, int flags) noexcept {
  ErrnoGuard errnoGuard;
  // This process's own files through /proc/self: in a pid namespace that kept
  // the host's /proc, its own number there names another process.
  if (pid <= 0) return -1;
  const base::ProcPath direct = base::ProcPath(pid == ownPid() ? base::kProcSelf : pid).file(file);
  if (direct.c_str() == nullptr) return -1;
  int fd = open(direct.c_str(), flags | O_CLOEXEC);
  // Else through the kept folder, /proc/<its owner>/task: its parent folder
  // is that process's. (The file system's root above it would be the mount
  // that covers /proc, if any.) Not where the owner had the calling
  // process's id but is another process.
  auto folderOf = [pid] {
    return gTaskFolderOwner.load() == pid && (pid != ownPid() || ownFolder());
  };
  char path[kUpPathRoom];
  if (fd >= 0 || !folderOf() || !upPath(path, file) || !takeFolderUse()) {
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

kern_return_t thread_get_state(thread_t thread, thread_gregs* state) noexcept {
  if (const FaultState* fault = publishedFaultOf(thread)) {
    *state = fault->context;
    return KERN_SUCCESS;
  }
  return detail::thread_parked_state(thread, state) ? KERN_SUCCESS : KERN_FAILURE;
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
