#include "systemTest/AddressSpace.h"

#include <sys/resource.h>

#include <cstdio>

namespace sys::testing {

long long mappedBytes() {
  // Through the calling thread: the process's own entry shows nothing once
  // its first thread has ended.
  FILE* status = fopen("/proc/thread-self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long long kilobytes = -1;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (sscanf(line, "VmSize: %lld kB", &kilobytes) == 1) break;
  }
  fclose(status);
  return kilobytes < 0 ? -1 : kilobytes * 1024;
}

void exhaustAddressSpace(size_t spareBytes) {
  const long long mapped = mappedBytes();
  if (mapped < 0) return;
  struct rlimit limit;
  getrlimit(RLIMIT_AS, &limit);
  limit.rlim_cur = static_cast<rlim_t>(mapped) + spareBytes;
  setrlimit(RLIMIT_AS, &limit);
}

long mappingCount() {
  FILE* maps = fopen("/proc/thread-self/maps", "r");
  if (maps == nullptr) return -1;
  long lines = 0;
  for (int c; (c = fgetc(maps)) != EOF;) lines += c == '\n';
  fclose(maps);
  return lines;
}

}  // namespace sys::testing
