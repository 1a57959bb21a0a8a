#pragma once

#include <memory>
#include <vector>

#include "crash-capture/ROCrashReport.h"
#include "crash_report.pb-c.h"

// The decoder's steps, one per message kind, over unpacked (or hand-built)
// protocol-buffer structures. Each returns null and sets `*error` (code
// ROReradUzerirudErrorInvalidCrashReport) on the first missing piece. Used by
// ROCrashReport; a header of its own so that the tests can exercise checks
// which unpacking already enforces on hand-built structures.
namespace rocrash::detail {

struct UnpackedReportFree {
  void operator()(Rocrash__CrashReport* message) const;
};
using UnpackedReport = std::unique_ptr<Rocrash__CrashReport, UnpackedReportFree>;

// Checks the file header and version, then unpacks the message after it.
UnpackedReport decodeCrashData(const std::vector<uint8_t>& data,
                               std::shared_ptr<foundation::NSError>* error);

class ReportExtractor {
 public:
  // With `maskInstructionPointers`, frame addresses keep only their lowest 36
  // bits (reports of pointer-authenticating 64-bit ARM machines).
  explicit ReportExtractor(bool maskInstructionPointers = false)
      : maskInstructionPointers_(maskInstructionPointers) {}

  // True when `machine` names the 64-bit ARM processor with pointer
  // authentication (type 0x0100000C, subtype 2).
  static bool machineMasksInstructionPointers(const Rocrash__CrashReport__MachineInfo* machine);

  std::shared_ptr<ROCrashReportSystemInfo> extractSystemInfo(
      const Rocrash__CrashReport__SystemInfo* systemInfo,
      std::shared_ptr<ROCrashReportProcessorInfo> processorInfo,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportProcessorInfo> extractProcessorInfo(
      const Rocrash__CrashReport__Processor* processor,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportMachineInfo> extractMachineInfo(
      const Rocrash__CrashReport__MachineInfo* machineInfo,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportApplicationInfo> extractApplicationInfo(
      const Rocrash__CrashReport__ApplicationInfo* applicationInfo,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportProcessInfo> extractProcessInfo(
      const Rocrash__CrashReport__ProcessInfo* processInfo,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportSymbolInfo> extractSymbolInfo(
      const Rocrash__CrashReport__Symbol* symbol,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportStackFrameInfo> extractStackFrameInfo(
      const Rocrash__CrashReport__Thread__StackFrame* frame,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportThreadInfo> extractThreadInfo(
      const Rocrash__CrashReport__Thread* thread,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportBinaryImageInfo> extractImageInfo(
      const Rocrash__CrashReport__BinaryImage* image,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportExceptionInfo> extractExceptionInfo(
      const Rocrash__CrashReport__Exception* exception,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportSignalInfo> extractSignalInfo(
      const Rocrash__CrashReport__Signal* signal,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportMachExceptionInfo> extractMachExceptionInfo(
      const Rocrash__CrashReport__Signal__MachException* machException,
      std::shared_ptr<foundation::NSError>* error) const;
  std::shared_ptr<ROCrashReportProcessorInfo> synthesizeProcessorInfoFromArchitecture(
      uint32_t architecture, std::shared_ptr<foundation::NSError>* error) const;

 private:
  bool extractFrames(size_t count, Rocrash__CrashReport__Thread__StackFrame* const* frames,
                     ROCrashReportStackFrames* out,
                     std::shared_ptr<foundation::NSError>* error) const;

  bool maskInstructionPointers_;
};

}  // namespace rocrash::detail
