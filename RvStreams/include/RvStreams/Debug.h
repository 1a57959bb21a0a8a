#pragma once

// debug(identifier): prints one line to standard output for the subscription,
// each event and the disposal, and passes every event on unchanged:
//
//   2024-01-31 09:05:07.042: Main:12 (f) -> subscribed
//   2024-01-31 09:05:07.043: Main:12 (f) -> Event next(1)
//
// Without an identifier, the caller's file name, line and function make one.

#include <optional>
#include <string>
#include <utility>

#include "RvStreams/AtomicInt.h"
#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

// "<file name after the last '/'>:<line> (<function>)".
std::string debugIdentifier(const char* file, int line, const char* function);

// `text` itself, or, when `trim` is set and it is longer than 40 characters,
// its first 20 characters, "..." and its last 20. Characters are code points,
// so a multi-byte character is never cut.
std::string debugEventText(const std::string& text, bool trim);

// Writes "<local time yyyy-MM-dd HH:mm:ss.SSS>: <identifier> -> <content>" and
// a newline to standard output, as one write.
void printDebugLine(const std::string& identifier, const std::string& content);

struct DebugParams {
  std::string identifier;
  bool trimOutput;
};

template <class T, class R, class Params>
class DebugSink final : public Sink<T>, public ObserverType<T> {
 public:
  DebugSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Params params)
      : Sink<T>(std::move(observer), std::move(cancel)), params_(std::move(params)) {
    printDebugLine(params_.identifier, "subscribed");
  }

  void on(const Event<T>& event) noexcept override {
    printDebugLine(params_.identifier,
                   "Event " + debugEventText(describe(event), params_.trimOutput));
    this->forwardOn(event);
    if (event.isStopEvent()) this->dispose();
  }

  // The disposal line is printed once, whether a stop event or the subscriber
  // ends the subscription, and even when both race.
  void dispose() noexcept override {
    if (printedDisposal_.fetchOr(1) == 0) printDebugLine(params_.identifier, "isDisposed");
    Sink<T>::dispose();
  }

 private:
  Params params_;
  AtomicInt printedDisposal_;
};

struct DebugOp : OperatorTag {
  DebugParams params;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return makeSourceProducer<T, T, DebugSink>(source, std::move(params));
  }
};

}  // namespace detail

// Traces the sequence on standard output; `trimOutput` shortens event texts
// longer than 40 characters. `file`, `line` and `function` default to the
// caller's.
inline detail::DebugOp debug(std::optional<std::string> identifier = std::nullopt,
                             bool trimOutput = false, const char* file = __builtin_FILE(),
                             int line = __builtin_LINE(),
                             const char* function = __builtin_FUNCTION()) {
  return {{},
          {identifier ? std::move(*identifier) : detail::debugIdentifier(file, line, function),
           trimOutput}};
}

}  // namespace rv
