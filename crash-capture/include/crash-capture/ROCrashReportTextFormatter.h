#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crash-capture/ROCrashReport.h"

// Text layouts of the formatter (stored and passed on; the output is the same).
enum ROCrashReportTextFormat : uint32_t {
  ROCrashReportTextFormatiOS = 0,
};

// Output encodings of the formatter's bytes.
enum ROCrashReportStringEncoding : uint64_t {
  ROCrashReportStringEncodingASCII = 1,
  ROCrashReportStringEncodingUTF8 = 4,
};

// Turns a decoded report into bytes.
class ROCrashReportFormatter {
 public:
  virtual ~ROCrashReportFormatter() = default;
  virtual std::vector<uint8_t> formatReport(const ROCrashReport& report,
                                            std::shared_ptr<foundation::NSError>* error) = 0;
};

// Renders a report as a classic text crash log ("Report Version:  104").
// Stateless apart from its settings; any thread.
class ROCrashReportTextFormatter : public ROCrashReportFormatter {
 public:
  ROCrashReportTextFormatter(ROCrashReportTextFormat textFormat,
                             ROCrashReportStringEncoding stringEncoding)
      : textFormat_(textFormat), stringEncoding_(stringEncoding) {}

  // ROCrashReportFormatter:
  // The text in the stored encoding; characters the encoding lacks become
  // "?". Never fails.
  std::vector<uint8_t> formatReport(const ROCrashReport& report,
                                    std::shared_ptr<foundation::NSError>* error) override;

  // The whole crash log.
  static std::string stringValueForCrashReport(const ROCrashReport& report,
                                               ROCrashReportTextFormat textFormat);
  // One line of a backtrace, without its newline.
  static std::string formatStackFrame(const ROCrashReportStackFrameInfo& frameInfo,
                                      int64_t frameIndex, const ROCrashReport& report, bool lp64);

 private:
  ROCrashReportTextFormat textFormat_;
  ROCrashReportStringEncoding stringEncoding_;
};
