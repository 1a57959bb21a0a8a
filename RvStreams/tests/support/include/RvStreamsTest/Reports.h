#pragma once

// Capturing what the library reports instead of failing: the one-line
// reports on the report stream, and the errors handed to the default error
// hook. Both restore the previous state when they go.

#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "RvStreams/Describe.h"
#include "RvStreams/ErrorReport.h"

namespace rv::test {

// Collects the report lines written while it lives.
class ReportCapture {
 public:
  ReportCapture() : previous_(setErrorReportStream(&out_)) {}
  ~ReportCapture() { setErrorReportStream(previous_); }
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  std::string text() const { return out_.str(); }

 private:
  std::ostringstream out_;
  std::ostream* previous_;
};

// Records the errors (as text) and call stacks the default error hook
// receives while it lives.
class ErrorHookCapture {
 public:
  ErrorHookCapture() : previous_(Hooks::defaultErrorHandler()) {
    Hooks::setDefaultErrorHandler([this](const Hooks::CallStack& stack, const Error& error) {
      std::lock_guard<std::mutex> guard(mutex_);
      errors_.push_back(describe(error));
      stacks_.push_back(stack);
    });
  }
  ~ErrorHookCapture() { Hooks::setDefaultErrorHandler(previous_); }
  ErrorHookCapture(const ErrorHookCapture&) = delete;
  ErrorHookCapture& operator=(const ErrorHookCapture&) = delete;

  std::vector<std::string> errors() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return errors_;
  }
  std::vector<Hooks::CallStack> stacks() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return stacks_;
  }

 private:
  Hooks::ErrorHandler previous_;
  mutable std::mutex mutex_;
  std::vector<std::string> errors_;
  std::vector<Hooks::CallStack> stacks_;
};

}  // namespace rv::test
