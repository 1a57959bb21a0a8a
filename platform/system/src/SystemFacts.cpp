#include "system/SystemFacts.h"

#include <errno.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

#include "base/Mutex.h"
#include "base/ProcFiles.h"
#include "base/ProcStat.h"

namespace sys {
namespace {

// CPU type and subtype of the host, in the values reports carry for it.
constexpr int32_t kCpuTypeX86_64 = 0x01000007;
constexpr int32_t kCpuSubtypeX86_64All = 3;

std::optional<std::string> readFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  if (line.empty()) return std::nullopt;
  return line;
}

std::optional<int32_t> logicalCpus() {
  long n = sysconf(_SC_NPROCESSORS_CONF);
  if (n <= 0) return std::nullopt;
  return static_cast<int32_t>(n);
}

// Physical cores: distinct (package, core) pairs of the CPU topology.
std::optional<int32_t> physicalCpus() {
  auto logical = logicalCpus();
  if (!logical) return std::nullopt;
  std::set<std::pair<std::string, std::string>> cores;
  for (int32_t cpu = 0; cpu < *logical; ++cpu) {
    std::string base = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
    auto package = readFirstLine(base + "physical_package_id");
    auto core = readFirstLine(base + "core_id");
    if (!package || !core) return logical;
    cores.emplace(*package, *core);
  }
  return static_cast<int32_t>(cores.size());
}

// Never destroyed: the loader wrappers ask for facts at every dlclose, and a
// program may close libraries from its global destructors.
base::Mutex gSourceLock;
std::shared_ptr<SystemFactSource>& gSource KX_GUARDED_BY(gSourceLock) =
    *new std::shared_ptr<SystemFactSource>();

// The value of `key` in os-release text, without its quotes; none when the
// key is missing or empty.
std::optional<std::string> osReleaseField(const std::string& text, std::string_view key) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 ||
        line[key.size()] != '=') {
      continue;
    }
    std::string value = line.substr(key.size() + 1);
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    if (!value.empty()) return value;
  }
  return std::nullopt;
}

// The version whose leading numbers `text` gives ("12", "22.04",
// "6.1.0-18-amd64"), as "major.minor" with ".patch" when the patch number
// is 1 or more ("12.0", "22.4", "6.1"); none when it starts with no number.
std::optional<std::string> versionNumbers(const std::string& text) {
  unsigned long long numbers[3] = {0, 0, 0};
  size_t count = 0, at = 0;
  while (count < 3 && at < text.size() && text[at] >= '0' && text[at] <= '9') {
    // At most 18 digits: a number that large is cut rather than wrapped.
    for (size_t digits = 0; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      if (digits++ < 18)
        numbers[count] = numbers[count] * 10 + static_cast<unsigned>(text[at] - '0');
    }
    ++count;
    if (at + 1 >= text.size() || text[at] != '.') break;
    ++at;
  }
  if (count == 0) return std::nullopt;
  // Appended piece by piece: g++ 12 at -O3 takes `"." + std::string` for an
  // overlapping copy and warns.
  std::string version = std::to_string(numbers[0]);
  for (int part = 1; part < 3; ++part) {
    if (part == 2 && numbers[2] == 0) break;
    version += '.';
    version += std::to_string(numbers[part]);
  }
  return version;
}

OperatingSystem readHostOperatingSystem() {
  std::string osRelease;
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    if (!in) continue;
    osRelease.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    break;
  }
  struct utsname u;
  if (uname(&u) != 0) return describeOperatingSystem(osRelease, std::nullopt, std::nullopt);
  return describeOperatingSystem(osRelease, std::string(u.sysname), std::string(u.release));
}

}  // namespace

OperatingSystem describeOperatingSystem(const std::string& osRelease,
                                        const std::optional<std::string>& kernelName,
                                        const std::optional<std::string>& kernelRelease) {
  OperatingSystem os;
  os.name = osReleaseField(osRelease, "NAME").value_or(kernelName.value_or("Linux"));
  os.build = kernelRelease;
  std::optional<std::string> version;
  if (auto id = osReleaseField(osRelease, "VERSION_ID")) version = versionNumbers(*id);
  if (!version && kernelRelease) version = versionNumbers(*kernelRelease);
  os.version = version.value_or("0.0");
  return os;
}

OperatingSystem SystemFactSource::operatingSystem() {
  static const OperatingSystem host = readHostOperatingSystem();
  return host;
}

std::optional<std::string> SystemFactSource::text(const std::string& name) {
  if (name == "hw.model") return readFirstLine("/sys/class/dmi/id/product_name");
  if (name == "kern.osversion") return operatingSystem().build;
  struct utsname u;
  if (name == "kern.osrelease" && uname(&u) == 0) return std::string(u.release);
  return std::nullopt;
}

std::optional<int32_t> SystemFactSource::number(const std::string& name) {
  if (name == "hw.cputype") return kCpuTypeX86_64;
  if (name == "hw.cpusubtype") return kCpuSubtypeX86_64All;
  if (name == "hw.logicalcpu_max") return logicalCpus();
  if (name == "hw.physicalcpu_max") return physicalCpus();
  // Nothing runs translated here.
  if (name == "sysctl.proc_native") return 1;
  return std::nullopt;
}

namespace {

// The record of the process /proc numbers `whose` (base/ProcFiles.h),
// carrying `pid`; the parent's number as /proc gives it in `*procParent`.
std::optional<ProcessRecord> readRecord(int64_t whose, pid_t pid, pid_t* procParent = nullptr) {
  base::ProcStat stat;
  if (!base::proc_stat_read(base::ProcPath(whose).file("stat").c_str(), &stat)) {
    return std::nullopt;
  }
  int64_t bootTime = 0;
  (void)base::proc_boot_time(&bootTime);
  ProcessRecord record = process_record_from_stat(stat, pid, bootTime);
  if (procParent != nullptr) *procParent = record.parentPid;
  base::ProcStatus status;
  if (base::proc_status_read(base::ProcPath(whose).file("status").c_str(), &status) &&
      (status.found & base::ProcStatus::kTracer) != 0) {
    record.traced = status.tracer != 0;
  }
  return record;
}

}  // namespace

ProcessRecord process_record_from_stat(const base::ProcStat& stat, pid_t pid,
                                       int64_t bootTime) noexcept {
  ProcessRecord record;
  record.pid = pid;
  std::memcpy(record.commandName, stat.name, stat.nameLength);
  record.parentPid = static_cast<pid_t>(stat.parent);
  record.startTicks = stat.startTicks;
  const auto ticks = static_cast<uint64_t>(base::proc_clock_ticks());
  if (bootTime > 0) {
    record.startSeconds = bootTime + static_cast<int64_t>(stat.startTicks / ticks);
    record.startMicroseconds = static_cast<int32_t>((stat.startTicks % ticks) * 1000000 / ticks);
  }
  return record;
}

std::optional<ProcessRecord> SystemFactSource::currentProcess() {
  auto record = readRecord(base::kProcSelf, getpid());
  if (record) record->parentPid = getppid();
  return record;
}

std::optional<ProcessRecord> SystemFactSource::parentProcess() {
  pid_t procParent = 0;
  const auto self = readRecord(base::kProcSelf, getpid(), &procParent);
  if (!self || procParent <= 0) return std::nullopt;
  auto parent = readRecord(procParent, getppid());
  if (!parent || parent->startTicks > self->startTicks) return std::nullopt;
  return parent;
}

std::optional<ProcessRecord> SystemFactSource::process(pid_t pid) {
  if (pid == getpid()) return currentProcess();
  if (pid <= 0 || !base::proc_numbers_as_this_process()) return std::nullopt;
  return readRecord(pid, pid);
}

std::optional<std::string> SystemFactSource::bootId() {
  return readFirstLine(base::ProcPath(base::kProcSystem).file("sys/kernel/random/boot_id").c_str());
}

std::optional<std::string> SystemFactSource::executablePath() {
  char buffer[4096];
  ssize_t n = readlink(base::ProcPath(base::kProcSelf).file("exe").c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
}

std::shared_ptr<SystemFactSource> systemFacts() {
  base::LockGuard guard(gSourceLock);
  if (!gSource) gSource = std::make_shared<SystemFactSource>();
  return gSource;
}

void installSystemFactSource(std::shared_ptr<SystemFactSource> source) {
  base::LockGuard guard(gSourceLock);
  gSource = std::move(source);
}

int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t) {
  if (name == nullptr || oldlenp == nullptr || newp != nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::shared_ptr<SystemFactSource> facts = systemFacts();
  std::string value;
  if (auto text = facts->text(name)) {
    value.assign(text->c_str(), text->size() + 1);  // with its terminating zero
  } else if (auto number = facts->number(name)) {
    value.assign(reinterpret_cast<const char*>(&*number), sizeof(int32_t));
  } else {
    errno = ENOENT;
    return -1;
  }
  if (oldp == nullptr) {
    *oldlenp = value.size();
    return 0;
  }
  if (*oldlenp < value.size()) {
    *oldlenp = value.size();
    errno = ENOMEM;
    return -1;
  }
  std::memcpy(oldp, value.data(), value.size());
  *oldlenp = value.size();
  return 0;
}

}  // namespace sys
