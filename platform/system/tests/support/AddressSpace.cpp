#include "systemTest/AddressSpace.h"

#include <sys/resource.h>

#include <cstdio>

namespace sys::testing {

void exhaustAddressSpace(size_t spareBytes) {
  FILE* status = fopen("/proc/self/status", "r");
  if (status == nullptr) return;
  char line[256];
  unsigned long long kilobytes = 0;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (sscanf(line, "VmSize: %llu kB", &kilobytes) == 1) break;
  }
  fclose(status);
  struct rlimit limit;
  getrlimit(RLIMIT_AS, &limit);
  limit.rlim_cur = static_cast<rlim_t>(kilobytes * 1024 + spareBytes);
  setrlimit(RLIMIT_AS, &limit);
}

long mappingCount() {
  FILE* maps = fopen("/proc/self/maps", "r");
  if (maps == nullptr) return -1;
  long lines = 0;
  for (int c; (c = fgetc(maps)) != EOF;) lines += c == '\n';
  fclose(maps);
  return lines;
}

}  // namespace sys::testing
