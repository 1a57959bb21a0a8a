#include "systemTest/AddressSpace.h"

#include <sys/resource.h>

#include <cstdio>

namespace sys::testing {

void exhaustAddressSpace() {
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
  limit.rlim_cur = static_cast<rlim_t>(kilobytes * 1024);
  setrlimit(RLIMIT_AS, &limit);
}

}  // namespace sys::testing
