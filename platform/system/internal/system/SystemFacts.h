#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace base {
struct ProcStat;
}

// System-control queries and process-table records, as the crash engine asks
// for them by name ("hw.model", "kern.osversion", ...). On this machine they
// come from uname, /proc and /sys; a test installs its own source of facts.
// Not async-signal-safe: the engine gathers these before any crash.
namespace sys {

// One process-table record (the stand-in for a kernel process query by pid).
struct ProcessRecord {
  pid_t pid = 0;
  pid_t parentPid = 0;
  // The command name field: up to 16 bytes, zero-padded, not necessarily
  // valid UTF-8 and not necessarily terminated.
  char commandName[16] = {};
  // Process start, seconds and microseconds since 1970. Counted from the
  // boot time the wall clock gives, so a step of that clock moves it.
  int64_t startSeconds = 0;
  int32_t startMicroseconds = 0;
  // Process start in clock ticks since boot, as the kernel keeps it: no
  // change of the wall clock moves it.
  uint64_t startTicks = 0;
  // A debugger or tracer is attached.
  bool traced = false;
};

// The running system as every report names it, so that a crash report and
// the telemetry client's logs of one machine agree: the distribution's name
// and version from os-release ("Debian GNU/Linux", "12.0"), and the kernel's
// release ("6.1.0-18-amd64") as the build. The version is numbers, as
// "major.minor" with ".patch" when the patch number is 1 or more.
struct OperatingSystem {
  std::string name;
  std::string version;
  std::optional<std::string> build;
};

// The description from the text of an os-release file and the kernel's name
// and release (uname). Without NAME the name is the kernel's name (else
// "Linux"). The version is VERSION_ID's leading numbers ("12" gives "12.0",
// "22.04" gives "22.4"); without them (a rolling distribution) the kernel
// release's ("6.7.4-arch1-1" gives "6.7.4"), else "0.0".
OperatingSystem describeOperatingSystem(const std::string& osRelease,
                                        const std::optional<std::string>& kernelName,
                                        const std::optional<std::string>& kernelRelease);

// The source of every fact below. The host implementation reads Linux; tests
// derive from it and override what they pin.
class SystemFactSource {
 public:
  virtual ~SystemFactSource() = default;

  // Text facts: "hw.model", "kern.osversion" (the operating system's build),
  // "kern.osrelease" (the kernel's release). None when the machine cannot
  // tell.
  virtual std::optional<std::string> text(const std::string& name);
  // 32-bit facts: "hw.cputype", "hw.cpusubtype", "hw.physicalcpu_max",
  // "hw.logicalcpu_max", "sysctl.proc_native".
  virtual std::optional<int32_t> number(const std::string& name);
  // The running system. The host's is read once, at the first call, and is
  // the same for the life of the process.
  virtual OperatingSystem operatingSystem();
  // This process's record, read through /proc/self (never under its own
  // number, which a pid namespace that kept the host's /proc gives to
  // another process); its id and its parent's as this process numbers them
  // (getpid, getppid). None when /proc has no record of it.
  virtual std::optional<ProcessRecord> currentProcess();
  // The record of this process's parent, found through the parent number
  // /proc/self gives, and taken only when it started no later than this
  // process (the parent ended and its number was used again otherwise); its
  // id as this process numbers it (getppid). None when there is none.
  virtual std::optional<ProcessRecord> parentProcess();
  // The process-table record of `pid` (this process's is `currentProcess`);
  // none when there is no such process, or when /proc numbers processes
  // otherwise than this process does (a pid namespace that kept the host's
  // /proc), where the record under that number is another process's.
  virtual std::optional<ProcessRecord> process(pid_t pid);
  // This boot of the machine: the kernel's random boot id, the same for every
  // process until the next boot. None where the kernel does not say.
  virtual std::optional<std::string> bootId();
  // The running program's full path.
  virtual std::optional<std::string> executablePath();
};

// The installed source (the host's until a test installs another).
std::shared_ptr<SystemFactSource> systemFacts();
// Installs `source`; null restores the host's. Not to be raced with queries.
void installSystemFactSource(std::shared_ptr<SystemFactSource> source);

// The record the fields of a stat file make (base/ProcStat.h), carrying
// `pid`, with the parent as /proc numbers it; its start in seconds is counted
// from `bootTime` (seconds since 1970), and is 0 where that is not known (0).
// Async-signal-safe; `traced` is not read.
ProcessRecord process_record_from_stat(const base::ProcStat& stat, pid_t pid,
                                       int64_t bootTime) noexcept;

// Crash-time reading of this process's record, for a process that set-up
// did not know (a forked child), as `currentProcess` reads it: /proc/self/stat
// (opened as `process_file_open` opens it, so /proc may be covered since),
// through one descriptor into a buffer on the stack: async-signal-safe. The
// start time in seconds needs `process_records_prepare` to have run on an
// ordinary thread before (it is 0 otherwise; the start in ticks is read all
// the same); `traced` is not read. False when it cannot be read. The host's
// facts only: an installed source is not asked.
bool process_record_self_now(ProcessRecord* record) noexcept;
// The same of this process's parent, found as `parentProcess` finds it.
bool process_record_parent_now(ProcessRecord* record) noexcept;
// Keeps what the crash-time readings need to tell start times: the boot
// time. Idempotent; not async-signal-safe.
void process_records_prepare();

// The system-control call shape: with `oldp` null, `*oldlenp` gets the size
// needed; else the value is copied when it fits. Returns 0, or -1 with errno
// (ENOENT unknown name, ENOMEM buffer too small).
int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen);

}  // namespace sys
