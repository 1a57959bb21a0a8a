// The process records a crash report carries, read at crash time from
// /proc/self/stat (and the parent's stat file) with system calls only (no
// heap, no lock): kept apart from the system facts, which the telemetry core
// links without the crash engine.

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "base/ProcFiles.h"
#include "base/ProcStat.h"
#include "system/SignalSafe.h"
#include "system/SystemFacts.h"
#include "system/Threads.h"

namespace sys {
namespace {

// The boot time, kept by process_records_prepare (0 before).
std::atomic<int64_t> gBootTime{0};

// Reads the stat file `fd` is open on (closing it) into `record`, with the
// parent's number as /proc gives it in `*procParent`; false when it is not
// a stat file.
bool readStat(int fd, ProcessRecord* record, pid_t* procParent) noexcept {
  base::ProcStat stat;
  if (!base::proc_stat_read_and_close(fd, &stat)) return false;
  *record = process_record_from_stat(stat, 0, gBootTime.load(std::memory_order_relaxed));
  *procParent = record->parentPid;
  return true;
}

// This process's record, and its parent's number as /proc gives it.
bool readSelf(ProcessRecord* record, pid_t* procParent) noexcept {
  const int fd = process_file_open(static_cast<task_t>(syscall(SYS_getpid)), "stat", O_RDONLY);
  if (fd < 0 || !readStat(fd, record, procParent)) return false;
  record->pid = static_cast<pid_t>(syscall(SYS_getpid));
  record->parentPid = static_cast<pid_t>(syscall(SYS_getppid));
  return true;
}

}  // namespace

bool process_record_self_now(ProcessRecord* record) noexcept {
  ErrnoGuard guard;
  pid_t procParent = 0;
  return readSelf(record, &procParent);
}

bool process_record_parent_now(ProcessRecord* record) noexcept {
  ErrnoGuard guard;
  ProcessRecord self;
  pid_t procParent = 0;
  if (!readSelf(&self, &procParent) || procParent <= 0) return false;
  const int fd = open(base::ProcPath(procParent).file("stat").c_str(), O_RDONLY | O_CLOEXEC);
  pid_t grandparent = 0;
  if (fd < 0 || !readStat(fd, record, &grandparent)) return false;
  // A parent that ended gave its number to a process started since.
  if (record->startTicks > self.startTicks) return false;
  record->pid = self.parentPid;
  record->parentPid = 0;
  return true;
}

void process_records_prepare() {
  if (gBootTime.load() != 0) return;
  int64_t bootTime = 0;
  if (base::proc_boot_time(&bootTime)) gBootTime.store(bootTime);
}

}  // namespace sys
