#pragma once

// Names of the Mach CPU types and subtypes that reports carry, as crash logs
// print them: the code type of a log's header ("X86-64") and the
// architecture of each binary image ("x86_64", "armv7s"). Every log the
// system writes takes its names from here, so that they name a CPU alike.
// Plain lookups: any thread, never allocate.

#include <cstdint>

// The Mach CPU types with a name.
enum : uint64_t {
  ROCrashCpuTypeX86 = 7,
  ROCrashCpuTypeARM = 12,
  ROCrashCpuTypePowerPC = 18,
  ROCrashCpuTypeX86_64 = 0x01000007,
  ROCrashCpuTypeARM64 = 0x0100000C,
};

// The bits of a subtype that name the model; the rest are feature flags.
inline constexpr uint64_t ROCrashCpuSubtypeMask = 0x00FFFFFF;

// The code-type name of `type` ("X86", "ARM", "PPC", "X86-64", "ARM-64"), or
// null for a type with no name.
const char* ROCrashCpuCodeTypeName(uint64_t type);

// Whether `type` is one of the named 64-bit types (X86-64, ARM-64), whose
// logs print addresses in 64-bit width.
bool ROCrashCpuIs64Bit(uint64_t type);

// The architecture name of `type` and `subtype` ("i386", "x86_64",
// "powerpc", "armv6", "armv7", "armv7s", "arm64", "armv8", "arm64e"), with
// "arm-unknown" or "arm64-unknown" for an ARM subtype with no name; null for
// a type with no name. The subtype's feature flags are ignored.
const char* ROCrashCpuArchitectureName(uint64_t type, uint64_t subtype);
