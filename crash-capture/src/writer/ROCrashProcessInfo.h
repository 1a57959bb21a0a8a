#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "system/SystemFacts.h"

// A snapshot of one process, taken from the process table when it is made.
// Immutable; any thread. Not for crash time.
class ROCrashProcessInfo {
 public:
  struct TimeValue {
    int64_t seconds = 0;
    int32_t microseconds = 0;
  };

  // The snapshot of the calling process, or null when the table has no
  // record of it.
  static std::shared_ptr<ROCrashProcessInfo> currentProcessInfo();
  // The snapshot of the calling process's parent, or null when the table has
  // no record of it.
  static std::shared_ptr<ROCrashProcessInfo> parentProcessInfo();
  // The snapshot of `pid`, or null when there is no such process (or no
  // record of it that is surely its: see sys::SystemFactSource::process).
  static std::shared_ptr<ROCrashProcessInfo> initWithProcessID(pid_t pid);

  pid_t processID() const { return processID_; }
  // The longest valid UTF-8 prefix of the table's command name; none when it
  // is empty.
  const std::optional<std::string>& processName() const { return processName_; }
  pid_t parentProcessID() const { return parentProcessID_; }
  TimeValue startTime() const { return startTime_; }
  // The start in clock ticks since boot, which no change of the wall clock
  // moves; 0 when unknown.
  uint64_t startTicks() const { return startTicks_; }
  // A debugger is tracing the process.
  bool isTraced() const { return traced_; }

 private:
  ROCrashProcessInfo() = default;
  static std::shared_ptr<ROCrashProcessInfo> fromRecord(
      const std::optional<sys::ProcessRecord>& record);
  pid_t processID_ = 0;
  std::optional<std::string> processName_;
  pid_t parentProcessID_ = 0;
  TimeValue startTime_;
  uint64_t startTicks_ = 0;
  bool traced_ = false;
};

// The count of leading bytes of `bytes` that form valid UTF-8: the walk stops
// at a zero byte, a byte that is neither ASCII nor a sequence leader, a
// sequence cut short by the end, or a bad continuation byte: also one that
// makes an overlong form, a surrogate or a code point past U+10FFFF.
size_t rocrash_utf8_valid_prefix_length(const uint8_t* bytes, size_t length);
