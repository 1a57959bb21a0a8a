// The process records a crash report carries, read at crash time from
// /proc/self/stat (and the parent's stat file) with system calls only (no
// heap, no lock): kept apart from the system facts, which the telemetry core
// links without the crash engine.

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>

#include "base/ProcStat.h"
#include "system/SignalSafe.h"
#include "system/SystemFacts.h"
#include "system/Threads.h"

namespace sys {
namespace {

std::atomic<int64_t> gBootTime{0};
std::atomic<int64_t> gTicksPerSecond{0};

// Reads the stat file `fd` is open on (closing it) into `record`, with the
// parent's number as /proc gives it in `*procParent`; false when it is not
// a stat file.
bool readStat(int fd, ProcessRecord* record, pid_t* procParent) noexcept {
  base::ProcStat stat;
  if (!base::proc_stat_read_and_close(fd, &stat)) return false;
  *record = ProcessRecord();
  std::memcpy(record->commandName, stat.name, stat.nameLength);
  *procParent = static_cast<pid_t>(stat.parent);
  record->startTicks = stat.startTicks;
  const auto startTicks = static_cast<int64_t>(stat.startTicks);
  const int64_t ticks = gTicksPerSecond.load(std::memory_order_relaxed);
  const int64_t boot = gBootTime.load(std::memory_order_relaxed);
  if (ticks > 0 && boot > 0) {
    record->startSeconds = boot + startTicks / ticks;
    record->startMicroseconds = static_cast<int32_t>((startTicks % ticks) * 1000000 / ticks);
  }
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
  // "/proc/", up to 10 digits, "/stat".
  char path[32] = "/proc/";
  size_t length = 6;
  length += format_decimal(static_cast<uint32_t>(procParent), path + length);
  const char kStat[] = "/stat";
  for (size_t i = 0; i < sizeof kStat; ++i) path[length++] = kStat[i];
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  pid_t grandparent = 0;
  if (fd < 0 || !readStat(fd, record, &grandparent)) return false;
  // A parent that ended gave its number to a process started since.
  if (record->startTicks > self.startTicks) return false;
  record->pid = self.parentPid;
  record->parentPid = 0;
  return true;
}

void process_records_prepare() {
  if (gTicksPerSecond.load() != 0) return;
  std::ifstream procStat("/proc/stat");
  std::string line;
  while (std::getline(procStat, line)) {
    if (line.rfind("btime ", 0) == 0) gBootTime.store(std::stoll(line.substr(6)));
  }
  gTicksPerSecond.store(sysconf(_SC_CLK_TCK));
}

}  // namespace sys
