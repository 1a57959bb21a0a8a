#include <atomic>
#include <thread>

#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvurTest/CoreTest.h"
#include "dispatch/DispatchQueue.h"

namespace {
class Logger : public duzetest::CoreTest {};
}  // namespace

TEST_F(Logger, LineFormatCarriesTagLevelFunctionLineAndMessage) {
  DUZELogger::logMessage([] { return std::string("hello"); }, DUZELogLevelWarning, "Tag",
                         "file.cpp", "someFunction", 12);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], "[Tag] WARNING: someFunction/12 hello");
  EXPECT_EQ(DUZELogger::formatLine("ZozIduvur", DUZELogLevelVerbose, "f", 1, "m"),
            "[ZozIduvur] VERBOSE: f/1 m");
}

TEST_F(Logger, MessageIsProducedOnlyWhenItsLevelPasses) {
  std::atomic<int> produced{0};
  auto provider = [&] {
    ++produced;
    return std::string("text");
  };
  DUZELogger::setCurrentLogLevel(DUZELogLevelWarning);
  DUZELogger::logMessage(provider, DUZELogLevelInfo, "T", "f", "fn", 1);
  DUZELogger::logMessage(provider, DUZELogLevelWarning, "T", "f", "fn", 2);
  DUZELogger::logMessage(provider, DUZELogLevelError, "T", "f", "fn", 3);
  EXPECT_EQ(lines().size(), 2u);
  EXPECT_EQ(produced.load(), 2);

  DUZELogger::setCurrentLogLevel(DUZELogLevelNone);
  DUZELogger::logMessage(provider, DUZELogLevelAssert, "T", "f", "fn", 4);
  EXPECT_EQ(lines().size(), 2u);
  EXPECT_EQ(produced.load(), 2);
}

TEST_F(Logger, DefaultLevelIsAssertAndNamesAreTheSystemsOwn) {
  DUZELogger::setCurrentLogLevel(DUZELogLevelAssert);
  DUZELogError(kDUZELogTag, "dropped");
  DUZELogAssert(kDUZELogTag, "kept %d", 7);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_NE(lines()[0].find("[ZozIduvur] ASSERT: "), std::string::npos);
  EXPECT_NE(lines()[0].find(" kept 7"), std::string::npos);
  for (auto [level, name] : {std::pair{DUZELogLevelVerbose, "VERBOSE"},
                             {DUZELogLevelDebug, "DEBUG"},
                             {DUZELogLevelInfo, "INFO"},
                             {DUZELogLevelWarning, "WARNING"},
                             {DUZELogLevelError, "ERROR"},
                             {DUZELogLevelAssert, "ASSERT"}}) {
    EXPECT_EQ(DUZELogLevelName(level), name);
  }
}

TEST_F(Logger, ArgumentsAreCapturedByValueAndTheHandlerRunsOffTheCaller) {
  std::thread::id handlerThread;
  DUZELogger::setLogHandler([&](const DUZELogMessageProvider& message, DUZELogLevel,
                                const std::string&, const char*, const char*, uint32_t) {
    handlerThread = std::this_thread::get_id();
    EXPECT_EQ(message(), "value: original");
  });
  {
    std::string text = "original";
    DUZELogInfo(kDUZELogTag, "value: %@", text);
    text = "changed";
  }
  DUZELogger::flush();
  EXPECT_NE(handlerThread, std::thread::id());
  EXPECT_NE(handlerThread, std::this_thread::get_id());
}

TEST_F(Logger, EmptyHandlerTurnsLoggingOff) {
  std::atomic<int> produced{0};
  DUZELogger::setLogHandler(nullptr);
  DUZELogger::logMessage(
      [&] {
        ++produced;
        return std::string();
      },
      DUZELogLevelAssert, "T", "f", "fn", 1);
  DUZELogger::flush();
  EXPECT_EQ(produced.load(), 0);
}
