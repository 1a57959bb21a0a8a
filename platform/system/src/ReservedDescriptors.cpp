#include "system/ReservedDescriptors.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <linux/fs.h>
#include <linux/kcmp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "base/ProcessToken.h"
#include "system/SignalSafe.h"

namespace sys {
namespace {

// What `fd` is open on now, into `identity`, with its size and links; false
// when it is not open. The generation is asked for only `withGeneration`.
bool identifyNow(int fd, descriptor_identity* identity, struct stat* st, bool withGeneration) {
  if (fd < 0 || fstat(fd, st) != 0) return false;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  identity->device = static_cast<uint64_t>(st->st_dev);
  identity->inode = static_cast<uint64_t>(st->st_ino);
  identity->flags = flags;
  int generation = 0;
  identity->generationKnown = withGeneration && ioctl(fd, FS_IOC_GETVERSION, &generation) == 0;
  identity->generation = identity->generationKnown ? static_cast<uint32_t>(generation) : 0;
  return true;
}

}  // namespace

bool descriptor_identify(int fd, descriptor_identity* identity) noexcept {
  ErrnoGuard guard;
  struct stat st;
  return identifyNow(fd, identity, &st, true);
}

bool descriptor_still_names(int fd, const descriptor_identity& identity, bool unwritten) noexcept {
  ErrnoGuard guard;
  struct stat st;
  descriptor_identity now;
  // Generations are kept per file system: on the same device and inode, one
  // that had none has none.
  return identifyNow(fd, &now, &st, identity.generationKnown) && now.device == identity.device &&
         now.inode == identity.inode && now.flags == identity.flags &&
         now.generationKnown == identity.generationKnown && now.generation == identity.generation &&
         (!unwritten || (st.st_nlink == 0 && st.st_size == 0));
}

bool table_shared_with(int owner, shared_table table, int probe) noexcept {
  ErrnoGuard guard;
  const long self = syscall(SYS_getpid);
  if (owner == self) return true;
  const int type = table == shared_table::descriptors ? KCMP_FILES : KCMP_SIGHAND;
  const long order = syscall(SYS_kcmp, self, owner, type, 0, 0);
  if (order == 0) return true;
  if (order > 0) {
    // A process is named by its first thread, whose descriptor table is
    // gone once that thread has ended (pthread_exit) while others run on:
    // the kernel then compares with nothing. With a probe, believed only
    // while that thread still has it in a table.
    return table == shared_table::descriptors && probe >= 0 &&
           syscall(SYS_kcmp, owner, owner, KCMP_FILE, probe, probe) != 0;
  }
  // Refused (a sandbox's filter), or `owner` has ended: a table it had may
  // be shared still, by another process made from it. With nothing to
  // unshare the call changes nothing; with a shared table, or other
  // threads, it fails.
  if (table == shared_table::signal_actions) return syscall(SYS_unshare, CLONE_SIGHAND) != 0;
  return true;
}

namespace {

// "/proc/<pid>/<file>", and `number` after it unless it is negative, into
// `path` (kProcPathRoom bytes).
constexpr size_t kProcPathRoom = 64;
void procPath(char* path, long pid, const char* file, long number = -1) {
  size_t length = 0;
  for (const char* at = "/proc/"; *at != '\0'; ++at) path[length++] = *at;
  length += format_decimal(static_cast<uint64_t>(pid), path + length);
  path[length++] = '/';
  for (; *file != '\0'; ++file) path[length++] = *file;
  if (number >= 0) length += format_decimal(static_cast<uint64_t>(number), path + length);
  path[length] = '\0';
}

// The fields of the stat file at `path` that follow the process's name (its
// state first), read into `text` (kStatRoom bytes); null where it cannot be
// read.
constexpr size_t kStatRoom = 512;
const char* statFields(const char* path, char* text) {
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return nullptr;
  const ssize_t got = read(file, text, kStatRoom - 1);
  close(file);
  if (got <= 0) return nullptr;
  text[got] = '\0';
  // The name's closing parenthesis is the last one.
  const char* end = nullptr;
  for (const char* at = text; *at != '\0'; ++at) {
    if (*at == ')') end = at;
  }
  return end != nullptr && end[1] == ' ' && end[2] != '\0' ? end + 2 : nullptr;
}

// Whether the first thread of process `pid` runs (it has not ended, leaving
// the process to its other threads), as /proc says: false where it cannot.
bool firstThreadRuns(long pid) {
  char path[kProcPathRoom];
  char text[kStatRoom];
  procPath(path, pid, "stat");
  const char* fields = statFields(path, text);
  return fields != nullptr && *fields != 'Z' && *fields != 'X';
}

// The calling process's parent by the number /proc gives it: in a pid
// namespace that kept the host's /proc, the number getppid answers names
// another process there. 0 where /proc does not show the parent.
long parentInProc() {
  char text[kStatRoom];
  const char* fields = statFields("/proc/self/stat", text);
  if (fields == nullptr || fields[1] != ' ') return 0;
  long parent = 0;
  for (const char* at = fields + 2; *at >= '0' && *at <= '9'; ++at) {
    parent = parent * 10 + (*at - '0');
  }
  return parent;
}

}  // namespace

bool descriptor_table_may_be_parents(int fd) noexcept {
  ErrnoGuard guard;
  const long parent = parentInProc();
  struct stat own;
  if (parent <= 0 || fstat(fd, &own) != 0 || !firstThreadRuns(parent)) return true;
  char path[kProcPathRoom];
  procPath(path, parent, "fd/", fd);
  struct stat theirs;
  if (stat(path, &theirs) == 0) {
    return theirs.st_dev == own.st_dev && theirs.st_ino == own.st_ino;
  }
  // No such descriptor there: another table, unless the first thread has
  // ended meanwhile (its table shows nothing).
  return errno != ENOENT || !firstThreadRuns(parent);
}

bool descriptor_close_copy(int fd, int owner, bool atCrash) noexcept {
  ErrnoGuard guard;
  // Closed where only this process's threads can see it: a copy of the
  // table for this thread would leave them a table of their own, where a
  // descriptor one opens is not the other's.
  if (!table_shared_with(owner, shared_table::descriptors, fd)) {
    close(fd);
    return true;
  }
  if (!atCrash) return false;
  if (syscall(SYS_close_range, fd, fd, CLOSE_RANGE_UNSHARE) == 0) return true;
  // Kernels before 5.9, or a sandbox that refuses close_range.
  if (syscall(SYS_unshare, CLONE_FILES) != 0) return false;
  close(fd);
  return true;
}

namespace {

// The token (base/ProcessToken.h) of the process whose crash is being
// written: a child forked meanwhile is not ending.
std::atomic<uint32_t> gCrashingProcess{0};

}  // namespace

void descriptor_tables_crash_began() noexcept {
  gCrashingProcess.store(base::process_token(), std::memory_order_release);
}

bool descriptor_tables_crashing() noexcept {
  return gCrashingProcess.load(std::memory_order_acquire) == base::process_token();
}

}  // namespace sys
