#include <errno.h>

#include <cstdio>
#include <cstring>

#include "crash-capture/ROReradUzerirud.h"
#include "log/ROCrashLog.h"
#include "system/SystemFacts.h"

std::shared_ptr<ROCrashHostInfo> ROCrashHostInfo::currentHostInfo() {
  size_t size = 0;
  if (sys::sysctlbyname("kern.osrelease", nullptr, &size, nullptr, 0) != 0) {
    int e = errno;
    ROCrashLog("[ROReradUzerirud] Failed to fetch kern.osrelease value " + std::to_string(e) +
               ": " + strerror(e));
    return nullptr;
  }
  std::string text(size + 1, '\0');
  if (sys::sysctlbyname("kern.osrelease", text.data(), &size, nullptr, 0) != 0) {
    int e = errno;
    ROCrashLog("[ROReradUzerirud] Failed to fetch kern.osrelease value " + std::to_string(e) +
               ": " + strerror(e));
    return nullptr;
  }
  text.resize(strlen(text.c_str()));
  std::shared_ptr<ROCrashHostInfo> info(new ROCrashHostInfo());
  long major = 0, minor = 0, revision = 0;
  int scanned = sscanf(text.c_str(), "%ld.%ld.%ld", &major, &minor, &revision);
  if (scanned != 3) {
    ROCrashLog("[ROReradUzerirud] Unexpected kern.osrelease string format: " + text);
  }
  if (scanned >= 1) info->version_.major = major;
  if (scanned >= 2) info->version_.minor = minor;
  if (scanned >= 3) info->version_.revision = revision;
  return info;
}
