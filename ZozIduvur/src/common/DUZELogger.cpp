#include "ZozIduvur/DUZELogger.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "base/Mutex.h"
#include "base/ThreadSafety.h"
#include "dispatch/DispatchQueue.h"

namespace {

std::atomic<uint32_t> gLevel{DUZELogLevelAssert};

struct HandlerSlot {
  base::Mutex mutex;
  std::shared_ptr<const DUZELogHandler> handler KX_GUARDED_BY(mutex) =
      std::make_shared<const DUZELogHandler>(DUZELogger::defaultLogHandler());
};

HandlerSlot& slot() {
  static auto* s = new HandlerSlot();  // lives for the process; logging may run at exit
  return *s;
}

std::shared_ptr<const DUZELogHandler> currentHandler() {
  auto& s = slot();
  base::LockGuard lock(s.mutex);
  return s.handler;
}

const std::shared_ptr<dispatch::DispatchQueue>& loggerQueue() {
  static const auto* queue = new std::shared_ptr<dispatch::DispatchQueue>(
      dispatch::DispatchQueue::create("com.kestrix.zoziduvur.logger"));
  return *queue;
}

bool passes(uint32_t level, uint32_t current) {
  return current != DUZELogLevelNone && level >= current;
}

}  // namespace

std::string_view DUZELogLevelName(DUZELogLevel level) {
  switch (level) {
    case DUZELogLevelVerbose:
      return "VERBOSE";
    case DUZELogLevelDebug:
      return "DEBUG";
    case DUZELogLevelInfo:
      return "INFO";
    case DUZELogLevelWarning:
      return "WARNING";
    case DUZELogLevelError:
      return "ERROR";
    case DUZELogLevelAssert:
      return "ASSERT";
    case DUZELogLevelNone:
      return "NONE";
  }
  return "UNKNOWN";
}

void DUZELogger::logMessage(DUZELogMessageProvider message, DUZELogLevel level,
                            std::string_view tag, const char* file, const char* function,
                            uint32_t line) {
  if (!message || !currentHandler()) return;
  loggerQueue()->async(
      [message = std::move(message), level, tag = std::string(tag), file, function, line] {
        if (!passes(level, gLevel.load(std::memory_order_relaxed))) return;
        auto handler = currentHandler();
        if (handler && *handler) (*handler)(message, level, tag, file, function, line);
      });
}

bool DUZELogger::wouldLog(DUZELogLevel level) {
  return passes(level, gLevel.load(std::memory_order_relaxed));
}

DUZELogLevel DUZELogger::currentLogLevel() {
  return static_cast<DUZELogLevel>(gLevel.load(std::memory_order_relaxed));
}

void DUZELogger::setCurrentLogLevel(DUZELogLevel level) {
  gLevel.store(level, std::memory_order_relaxed);
}

void DUZELogger::setLogHandler(DUZELogHandler handler) {
  auto& s = slot();
  base::LockGuard lock(s.mutex);
  s.handler = handler ? std::make_shared<const DUZELogHandler>(std::move(handler)) : nullptr;
}

void DUZELogger::resetLogHandler() { setLogHandler(defaultLogHandler()); }

std::string DUZELogger::formatLine(const std::string& tag, DUZELogLevel level, const char* function,
                                   uint32_t line, const std::string& message) {
  return foundation::stringWithFormat("[%@] %@: %@/%d %@", tag, DUZELogLevelName(level),
                                      function ? function : "", line, message);
}

DUZELogHandler DUZELogger::defaultLogHandler() {
  return [](const DUZELogMessageProvider& message, DUZELogLevel level, const std::string& tag,
            const char*, const char* function, uint32_t line) {
    std::string text = formatLine(tag, level, function, line, message()) + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
  };
}

void DUZELogger::flush() {
  loggerQueue()->sync([] {});
}
