#include "ROCrashProcessInfo.h"

#include <unistd.h>

#include "system/SystemFacts.h"

size_t rocrash_utf8_valid_prefix_length(const uint8_t* bytes, size_t length) {
  size_t i = 0;
  while (i < length) {
    const uint8_t lead = bytes[i];
    if (lead == 0) break;
    // The continuations a leader takes, and the range its first one must lie
    // in: narrower after E0 and F0 (no overlong form), ED (no surrogate) and
    // F4 (nothing past U+10FFFF).
    size_t continuations;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead < 0x80) {
      continuations = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuations = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuations = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      break;
    }
    if (continuations > length - i - 1) break;
    bool valid = true;
    for (size_t k = 1; k <= continuations; ++k) {
      const uint8_t byte = bytes[i + k];
      if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) {
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
