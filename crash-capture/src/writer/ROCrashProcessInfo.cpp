#include "ROCrashProcessInfo.h"

#include <unistd.h>

#include "system/SystemFacts.h"

size_t rocrash_utf8_valid_prefix_length(const uint8_t* bytes, size_t length) {
  size_t i = 0;
  while (i < length) {
    uint8_t lead = bytes[i];
    if (lead == 0) break;
    size_t continuations;
    if (lead < 0x80) {
      continuations = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      continuations = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      continuations = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      continuations = 3;
    } else {
      break;
    }
    if (continuations > length - i - 1) break;
    bool valid = true;
    for (size_t k = 1; k <= continuations; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) {
        valid = false;
        break;
      }
    }
    if (!valid) break;
    i += continuations + 1;
  }
  return i;
}

std::shared_ptr<ROCrashProcessInfo> ROCrashProcessInfo::currentProcessInfo() {
  return fromRecord(sys::systemFacts()->currentProcess());
}

std::shared_ptr<ROCrashProcessInfo> ROCrashProcessInfo::parentProcessInfo() {
  return fromRecord(sys::systemFacts()->parentProcess());
}

std::shared_ptr<ROCrashProcessInfo> ROCrashProcessInfo::initWithProcessID(pid_t pid) {
  return fromRecord(sys::systemFacts()->process(pid));
}

std::shared_ptr<ROCrashProcessInfo> ROCrashProcessInfo::fromRecord(
    const std::optional<sys::ProcessRecord>& record) {
  if (!record) return nullptr;
  std::shared_ptr<ROCrashProcessInfo> info(new ROCrashProcessInfo());
  info->processID_ = record->pid;
  info->parentProcessID_ = record->parentPid;
  info->traced_ = record->traced;
  info->startTime_ = {record->startSeconds, record->startMicroseconds};
  info->startTicks_ = record->startTicks;
  const auto* name = reinterpret_cast<const uint8_t*>(record->commandName);
  size_t length = rocrash_utf8_valid_prefix_length(name, sizeof record->commandName);
  if (length > 0) info->processName_ = std::string(record->commandName, length);
  return info;
}
