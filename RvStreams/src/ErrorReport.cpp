#include "RvStreams/ErrorReport.h"

#include <atomic>
#include <iostream>

#include "RvStreams/Describe.h"
#include "RvStreams/Lock.h"

namespace rv {
namespace {

base::Mutex& reportMutex() {
  static base::Mutex mutex;
  return mutex;
}
std::ostream* reportStream KX_GUARDED_BY(reportMutex()) = nullptr;  // null = std::cout

std::atomic<bool> recordCallStack{false};

struct HookState {
  RecursiveLock lock;
  Hooks::CaptureCallStack capture KX_GUARDED_BY(lock) = [] { return Hooks::CallStack{}; };
  Hooks::ErrorHandler errorHandler KX_GUARDED_BY(lock) = [](const Hooks::CallStack&, const Error&) {
  };
};

// Created on first use and never destroyed, so hooks stay usable while other
// statics are torn down.
HookState& hooks() {
  static HookState* state = new HookState;
  return *state;
}

}  // namespace

void printErrorReport(const std::string& prefix, const Error& error, const char* file, int line) {
  printReport(prefix + describe(error), file, line);
}

void printReport(const std::string& message, const char* file, int line) {
  const std::string text = std::string(file) + ":" + std::to_string(line) + ": " + message + "\n";
  base::LockGuard guard(reportMutex());
  std::ostream& out = reportStream != nullptr ? *reportStream : std::cout;
  out << text;
  out.flush();
}

std::ostream* setErrorReportStream(std::ostream* stream) {
  base::LockGuard guard(reportMutex());
  std::ostream* old = reportStream;
  reportStream = stream;
  return old;
}

void reportBindingError(const Error& error, const char* file, int line) {
  printErrorReport("Binding error: ", error, file, line);
}

void reportInfallibleError(const Error& error, const char* file, int line) {
  printErrorReport("Infallible must never emit a error event. error: ", error, file, line);
}

bool Hooks::recordCallStackOnError() noexcept {
  return recordCallStack.load(std::memory_order_relaxed);
}
void Hooks::setRecordCallStackOnError(bool record) noexcept {
  recordCallStack.store(record, std::memory_order_relaxed);
}

Hooks::CaptureCallStack Hooks::captureSubscriptionCallStack() {
  LockGuard guard(hooks().lock);
  return hooks().capture;
}
void Hooks::setCaptureSubscriptionCallStack(CaptureCallStack capture) {
  LockGuard guard(hooks().lock);
  hooks().capture = std::move(capture);
}

Hooks::ErrorHandler Hooks::defaultErrorHandler() {
  LockGuard guard(hooks().lock);
  return hooks().errorHandler;
}
void Hooks::setDefaultErrorHandler(ErrorHandler handler) {
  LockGuard guard(hooks().lock);
  hooks().errorHandler = std::move(handler);
}

}  // namespace rv
