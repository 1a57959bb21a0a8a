#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "crash-capture/ROCrashReport.h"
#include "crash_report.pb-c.h"

namespace rocrash::testing {

// "rocrash", version 1, then `message` packed by protobuf-c.
std::vector<uint8_t> packReport(const Rocrash__CrashReport& message, uint8_t version = 1);

// Hand-builds report messages; owns every nested structure and string it
// hands out, so a test can change any field before packing.
class ReportBuilder {
 public:
  ReportBuilder();
  ReportBuilder(const ReportBuilder&) = delete;
  ReportBuilder& operator=(const ReportBuilder&) = delete;

  Rocrash__CrashReport& report() { return report_; }
  // The report, with its annotations last, as the writer places them.
  std::vector<uint8_t> pack(uint8_t version = 1);

  char* text(const std::string& s);
  ProtobufCBinaryData bytes(const std::vector<uint8_t>& b);

  Rocrash__CrashReport__Processor* processor(uint64_t type, uint64_t subtype, bool mach = true);
  Rocrash__CrashReport__Thread* addThread(bool crashed);
  void clearThreads();
  void clearImages();
  void clearFrames(Rocrash__CrashReport__Thread* thread);
  Rocrash__CrashReport__Thread__StackFrame* frame(uint64_t pc, const char* symbol = nullptr,
                                                  uint64_t start = 0);
  void addFrame(Rocrash__CrashReport__Thread* thread, Rocrash__CrashReport__Thread__StackFrame* f);
  void addRegister(Rocrash__CrashReport__Thread* thread, const char* name, uint64_t value);
  Rocrash__CrashReport__BinaryImage* addImage(uint64_t base, uint64_t size, const char* name,
                                              std::vector<uint8_t> uuid,
                                              Rocrash__CrashReport__Processor* codeType);
  Rocrash__CrashReport__Exception* setException(const char* name, const char* reason);
  void addExceptionFrame(Rocrash__CrashReport__Thread__StackFrame* f);
  Rocrash__CrashReport__Signal__MachException* setMachException(uint64_t type,
                                                                std::vector<uint64_t> codes);
  // The report's annotations, in this order (present, without entries, when
  // none is given), byte for byte: a zero byte, or bytes that are not UTF-8,
  // as a damaged report's.
  void setAnnotations(const std::vector<std::pair<std::string, std::string>>& annotations);

  // The parts every valid report carries, filled with typical values.
  Rocrash__CrashReport__SystemInfo system;
  Rocrash__CrashReport__ApplicationInfo application;
  Rocrash__CrashReport__Signal signal;
  Rocrash__CrashReport__MachineInfo machine;
  Rocrash__CrashReport__ProcessInfo process;
  Rocrash__CrashReport__ReportInfo info;

 private:
  Rocrash__CrashReport report_;
  std::deque<std::string> strings_;
  std::deque<std::vector<uint8_t>> blobs_;
  std::deque<std::vector<void*>> arrays_;
  std::deque<Rocrash__CrashReport__Processor> processors_;
  std::deque<Rocrash__CrashReport__Thread> threads_;
  std::deque<Rocrash__CrashReport__Thread__StackFrame> frames_;
  std::deque<Rocrash__CrashReport__Symbol> symbols_;
  std::deque<Rocrash__CrashReport__Thread__RegisterValue> registers_;
  std::deque<Rocrash__CrashReport__BinaryImage> images_;
  std::deque<Rocrash__CrashReport__Exception> exceptions_;
  std::deque<Rocrash__CrashReport__Signal__MachException> machExceptions_;
  std::deque<std::vector<uint64_t>> codes_;
  // The annotations field, encoded here: protobuf-c would cut text at a
  // zero byte.
  std::vector<uint8_t> annotations_;
  std::vector<Rocrash__CrashReport__Thread*> threadPtrs_;
  std::vector<Rocrash__CrashReport__BinaryImage*> imagePtrs_;
  std::deque<std::vector<Rocrash__CrashReport__Thread__StackFrame*>> framePtrs_;
  std::deque<std::vector<Rocrash__CrashReport__Thread__RegisterValue*>> registerPtrs_;
};

// A minimal valid report: one crashed thread with one frame, one image,
// machine and process information, report UUID 00 01 .. 0f.
void fillMinimalReport(ReportBuilder& b);

// The report `b` describes, decoded by the engine; a report it refuses
// fails the test and answers null.
std::shared_ptr<ROCrashReport> decode(ReportBuilder& b);

}  // namespace rocrash::testing
