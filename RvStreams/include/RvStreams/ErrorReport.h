#pragma once

// One-line reports of usage-contract breaks that are not worth stopping for,
// and the process-wide hooks of the closure subscription.

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "RvStreams/Base.h"

namespace rv {

// Writes "<file>:<line>: <prefix><description of error>\n" to the report
// stream (standard output unless replaced). The process continues.
void printErrorReport(const std::string& prefix, const Error& error, const char* file, int line);

// Writes "<file>:<line>: <message>\n" to the report stream.
void printReport(const std::string& message, const char* file, int line);

// Replaces the stream reports go to (null restores standard output) and returns
// the previous one. Meant for tests.
std::ostream* setErrorReportStream(std::ostream* stream);

// Reports an error that reached a binder.
void reportBindingError(const Error& error, const char* file = __builtin_FILE(),
                        int line = __builtin_LINE());
// Reports an error that reached a subscriber of a never-failing sequence.
void reportInfallibleError(const Error& error, const char* file = __builtin_FILE(),
                           int line = __builtin_LINE());

// Process-wide settings consulted by the closure subscription. The callables
// are copied under one recursive lock and called outside it.
class Hooks {
 public:
  using CallStack = std::vector<std::string>;
  using CaptureCallStack = std::function<CallStack()>;
  using ErrorHandler = std::function<void(const CallStack& subscriptionCallStack, const Error&)>;

  // Read without the lock; defaults to false.
  static bool recordCallStackOnError() noexcept;
  static void setRecordCallStackOnError(bool record) noexcept;

  // Defaults to a callable returning an empty list.
  static CaptureCallStack captureSubscriptionCallStack();
  static void setCaptureSubscriptionCallStack(CaptureCallStack capture);

  // Receives the errors that reach a closure subscription without an error
  // handler; defaults to doing nothing.
  static ErrorHandler defaultErrorHandler();
  static void setDefaultErrorHandler(ErrorHandler handler);

  Hooks() = delete;
};

}  // namespace rv
