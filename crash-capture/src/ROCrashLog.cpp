#include "crash-capture/ROCrashLog.h"

#include <cstdio>
#include <mutex>

namespace {
// Never destroyed: image notices log through it, and a program may load or
// close libraries from its global destructors.
std::mutex gSinkLock;
std::function<void(const std::string&)>& gSink = *new std::function<void(const std::string&)>();
}  // namespace

void ROCrashLog(const std::string& line) {
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard<std::mutex> guard(gSinkLock);
    sink = gSink;
  }
  if (sink) {
    sink(line);
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

void ROCrashSetLogSinkForTesting(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> guard(gSinkLock);
  gSink = std::move(sink);
}
