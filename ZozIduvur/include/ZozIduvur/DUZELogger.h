#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "foundation/StringFormat.h"

// The core's log tag.
inline constexpr std::string_view kDUZELogTag = "ZozIduvur";

enum DUZELogLevel : uint32_t {
  DUZELogLevelVerbose = 2,
  DUZELogLevelDebug = 3,
  DUZELogLevelInfo = 4,
  DUZELogLevelWarning = 5,
  DUZELogLevelError = 6,
  DUZELogLevelAssert = 7,
  DUZELogLevelNone = 99,
};

// The name written into a line: "VERBOSE" ... "ASSERT", "NONE".
std::string_view DUZELogLevelName(DUZELogLevel level);

using DUZELogMessageProvider = std::function<std::string()>;
// Receives each message whose level passes: the provider of the text, the
// level, the tag, the source file, function and line. Runs on the logger's
// serial queue.
using DUZELogHandler = std::function<void(const DUZELogMessageProvider& message, DUZELogLevel level,
                                          const std::string& tag, const char* file,
                                          const char* function, uint32_t line)>;

// The telemetry client's logger. Messages are handed to the logger's serial
// queue; there the current level is applied and, only when the message's
// level passes (at least the current level, and the current level is not
// none), the text is produced and the handler writes it. Never fails.
class DUZELogger {
 public:
  // See the class comment. Returns at once.
  static void logMessage(DUZELogMessageProvider message, DUZELogLevel level, std::string_view tag,
                         const char* file, const char* function, uint32_t line);

  // `logMessage` with a text made by `stringWithFormat` from `format` and
  // `args`. The arguments are captured by value (objects as their
  // description) so the text can be made later on the logger's queue.
  template <class... Args>
  static void logFormat(DUZELogLevel level, std::string_view tag, const char* file,
                        const char* function, uint32_t line, std::string_view format,
                        Args&&... args) {
    if (!wouldLog(level)) return;
    logMessage(
        [format = std::string(format),
         list = std::array<foundation::FormatArg, sizeof...(Args)>{foundation::FormatArg(
             std::forward<Args>(args))...}] { return foundation::formatWithArgs(format, list); },
        level, tag, file, function, line);
  }

  // The current level; DUZELogLevelAssert until set.
  static DUZELogLevel currentLogLevel();
  static void setCurrentLogLevel(DUZELogLevel level);

  // Replaces the handler; an empty handler turns logging off. The default
  // handler writes "[tag] LEVEL: function/line message" to standard error.
  static void setLogHandler(DUZELogHandler handler);
  static void resetLogHandler();
  static DUZELogHandler defaultLogHandler();

  // Waits until every message handed over so far has been handled (tests).
  static void flush();

  // The line the default handler writes, without the line break.
  static std::string formatLine(const std::string& tag, DUZELogLevel level, const char* function,
                                uint32_t line, const std::string& message);

 private:
  // A cheap early check made on the caller's thread, so that messages below
  // the current level cost nothing. The level is applied again on the queue.
  static bool wouldLog(DUZELogLevel level);
};

#define DUZE_LOG_AT(level, tag, ...) \
  ::DUZELogger::logFormat(level, tag, __FILE__, __func__, __LINE__, __VA_ARGS__)
#define DUZELogVerbose(tag, ...) DUZE_LOG_AT(DUZELogLevelVerbose, tag, __VA_ARGS__)
#define DUZELogDebug(tag, ...) DUZE_LOG_AT(DUZELogLevelDebug, tag, __VA_ARGS__)
#define DUZELogInfo(tag, ...) DUZE_LOG_AT(DUZELogLevelInfo, tag, __VA_ARGS__)
#define DUZELogWarning(tag, ...) DUZE_LOG_AT(DUZELogLevelWarning, tag, __VA_ARGS__)
#define DUZELogError(tag, ...) DUZE_LOG_AT(DUZELogLevelError, tag, __VA_ARGS__)
#define DUZELogAssert(tag, ...) DUZE_LOG_AT(DUZELogLevelAssert, tag, __VA_ARGS__)
