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

#include "system/SignalSafe.h"
#include "system/SystemFacts.h"
#include "system/Threads.h"

namespace sys {
namespace {

std::atomic<int64_t> gBootTime{0};
std::atomic<int64_t> gTicksPerSecond{0};

// Parses a decimal number at `*at`, moving past it.
int64_t parseNumber(const char** at, const char* end) {
  int64_t value = 0;
  const char* p = *at;
  bool negative = p < end && *p == '-';
  if (negative) ++p;
  while (p < end && *p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
  *at = p;
  return negative ? -value : value;
}

// Reads the stat file `fd` is open on (closing it) into `record`, with the
// parent's number as /proc gives it in `*procParent`; false when it is not
// a stat file.
bool readStat(int fd, ProcessRecord* record, pid_t* procParent) noexcept {
  char buffer[1024];
  size_t length = 0;
  for (;;) {
    ssize_t got = read(fd, buffer + length, sizeof buffer - length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    length += static_cast<size_t>(got);
    if (length == sizeof buffer) break;
  }
  close(fd);
  // The command name sits in parentheses and may itself hold ") ".
  const char* end = buffer + length;
  const char* nameStart = nullptr;
  const char* nameEnd = nullptr;
  for (const char* p = buffer; p < end; ++p) {
    if (*p == '(' && nameStart == nullptr) nameStart = p + 1;
    if (*p == ')') nameEnd = p;
  }
  if (nameStart == nullptr || nameEnd == nullptr || nameEnd < nameStart) return false;
  *record = ProcessRecord();
  size_t nameLength = static_cast<size_t>(nameEnd - nameStart);
  if (nameLength > sizeof record->commandName) nameLength = sizeof record->commandName;
  std::memcpy(record->commandName, nameStart, nameLength);
  // Fields after the name, counting the state as field 3 of the whole line.
  const char* p = nameEnd + 1;
  int64_t startTicks = 0;
  for (int index = 3; p < end && index <= 22; ++index) {
    while (p < end && *p == ' ') ++p;
    if (index == 4) {
      *procParent = static_cast<pid_t>(parseNumber(&p, end));
    } else if (index == 22) {
      startTicks = parseNumber(&p, end);
    } else {
      while (p < end && *p != ' ') ++p;
    }
  }
  record->startTicks = static_cast<uint64_t>(startTicks);
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
