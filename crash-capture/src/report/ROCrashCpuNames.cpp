#include "crash-capture/ROCrashCpuNames.h"

const char* ROCrashCpuCodeTypeName(uint64_t type) {
  switch (type) {
    case ROCrashCpuTypeX86:
      return "X86";
    case ROCrashCpuTypeARM:
      return "ARM";
    case ROCrashCpuTypePowerPC:
      return "PPC";
    case ROCrashCpuTypeX86_64:
      return "X86-64";
    case ROCrashCpuTypeARM64:
      return "ARM-64";
    default:
      return nullptr;
  }
}

bool ROCrashCpuIs64Bit(uint64_t type) {
  return type == ROCrashCpuTypeX86_64 || type == ROCrashCpuTypeARM64;
}

const char* ROCrashCpuArchitectureName(uint64_t type, uint64_t subtype) {
  const uint64_t model = subtype & ROCrashCpuSubtypeMask;
  switch (type) {
    case ROCrashCpuTypeX86:
      return "i386";
    case ROCrashCpuTypeX86_64:
      return "x86_64";
    case ROCrashCpuTypePowerPC:
      return "powerpc";
    case ROCrashCpuTypeARM:
      switch (model) {
        case 6:
          return "armv6";
        case 9:
          return "armv7";
        case 11:
          return "armv7s";
        default:
          return "arm-unknown";
      }
    case ROCrashCpuTypeARM64:
      switch (model) {
        case 0:
          return "arm64";
        case 1:
          return "armv8";
        case 2:
          return "arm64e";
        default:
          return "arm64-unknown";
      }
    default:
      return nullptr;
  }
}
