#include "ROCrashLog.h"

#include <cstdio>

#include "base/Mutex.h"

namespace {
// Never destroyed: image notices log through it, and a program may load or
// close libraries from its global destructors.
base::Mutex gSinkLock;
std::function<void(const std::string&)>& gSink KX_GUARDED_BY(gSinkLock) =
    *new std::function<void(const std::string&)>();
}  // namespace

void ROCrashLog(const std::string& line) {
  std::function<void(const std::string&)> sink;
  {
    base::LockGuard guard(gSinkLock);
    sink = gSink;
  }
  if (sink) {
    sink(line);
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

#ifdef KX_TEST_SEAMS
void ROCrashSetLogSinkForTesting(std::function<void(const std::string&)> sink) {
  base::LockGuard guard(gSinkLock);
  gSink = std::move(sink);
}
#endif
