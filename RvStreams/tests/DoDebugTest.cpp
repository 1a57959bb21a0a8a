#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "RvStreams/Debug.h"
#include "RvStreams/Do.h"
#include "RvStreams/Just.h"
#include "RvStreams/Subscribe.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::elements;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

// Every handler, logging into `log`.
DoHandlers<int> loggingHandlers(Log& log) {
  return {.onNext = [&](const int& x) { log.push_back("onNext " + std::to_string(x)); },
          .afterNext = [&](const int& x) { log.push_back("afterNext " + std::to_string(x)); },
          .onError = [&](const Error& e) { log.push_back("onError " + describe(e)); },
          .afterError = [&](const Error& e) { log.push_back("afterError " + describe(e)); },
          .onCompleted = [&] { log.push_back("onCompleted"); },
          .afterCompleted = [&] { log.push_back("afterCompleted"); },
          .onSubscribe = [&] { log.push_back("onSubscribe"); },
          .onSubscribed = [&] { log.push_back("onSubscribed"); },
          .onDispose = [&] { log.push_back("onDispose"); }};
}

SubscribeHandlers<int> deliveryLog(Log& log) {
  return {.onNext = [&](const int& x) { log.push_back("deliver " + std::to_string(x)); },
          .onError = [&](const Error& e) { log.push_back("deliver error " + describe(e)); },
          .onCompleted = [&] { log.push_back("deliver completed"); }};
}

TEST(Do, HandlersRunAroundEveryEventInOrder) {
  Log log;
  auto source = TestSource<int>::create();
  subscribe(source | doOn(loggingHandlers(log)), deliveryLog(log));
  source->onNext(1);
  source->onCompleted();
  EXPECT_EQ(log, (Log{"onSubscribe", "onSubscribed", "onNext 1", "deliver 1", "afterNext 1",
                      "onCompleted", "deliver completed", "afterCompleted", "onDispose"}));
}

TEST(Do, ErrorHandlersAndDisposalBySubscriber) {
  Log log;
  auto source = TestSource<int>::create();
  subscribe(source | doOn(loggingHandlers(log)), deliveryLog(log));
  source->onError(test::makeError("x"));
  EXPECT_EQ(log, (Log{"onSubscribe", "onSubscribed", "onError x", "deliver error x", "afterError x",
                      "onDispose"}));

  Log second;
  auto d = subscribe(source | doOn(loggingHandlers(second)), deliveryLog(second));
  d->dispose();
  d->dispose();
  EXPECT_EQ(second, (Log{"onSubscribe", "onSubscribed", "onDispose"}));
}

TEST(Do, SynchronousSourceRunsBetweenSubscribeAndSubscribed) {
  Log log;
  subscribe(elements({1}) | doOn(loggingHandlers(log)), deliveryLog(log));
  EXPECT_EQ(log, (Log{"onSubscribe", "onNext 1", "deliver 1", "afterNext 1", "onCompleted",
                      "deliver completed", "afterCompleted", "onSubscribed", "onDispose"}));
}

TEST(Do, FailingOnNextReplacesTheElementWithItsError) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | doOn<int>({.onNext =
                           [](const int& x) {
                             if (x == 2) throw TestError("before");
                           }}))
      ->subscribe(recorder);
  source->onNext(1);
  source->onNext(2);
  source->onNext(3);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "error(before)"}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(Do, FailingAfterNextFollowsTheDeliveredElement) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | doOn<int>({.afterNext = [](const int&) { throw TestError("after"); }}))
      ->subscribe(recorder);
  source->onNext(1);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "error(after)"}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(Do, FailingAfterCompletedFollowsTheCompletion) {
  auto failing = [] {
    return elements({}) | doOn<int>({.afterCompleted = [] { throw TestError("after"); }});
  };
  auto raw = RecordingObserver<int>::create();
  failing()->subscribe(raw);
  EXPECT_EQ(raw->descriptions(), (Log{"completed", "error(after)"}));

  // An observer that guards its stop state ignores the error.
  Log log;
  subscribe(failing(), deliveryLog(log));
  EXPECT_EQ(log, (Log{"deliver completed"}));
}

// Lines printed while `body` runs.
template <class Body>
std::vector<std::string> printedLines(Body body) {
  testing::internal::CaptureStdout();
  body();
  std::istringstream out(testing::internal::GetCapturedStdout());
  std::vector<std::string> lines;
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  return lines;
}

// The part of a line after its timestamp, which must be well formed:
// "yyyy-MM-dd HH:mm:ss.SSS: ".
std::string afterTimestamp(const std::string& line) {
  const std::string shape = "dddd-dd-dd dd:dd:dd.ddd: ";
  bool matches = line.size() >= shape.size();
  for (std::size_t i = 0; matches && i < shape.size(); ++i) {
    matches = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                              : line[i] == shape[i];
  }
  if (!matches) return "no timestamp: " + line;
  return line.substr(shape.size());
}

TEST(Debug, OneElementPrintsFourLinesInOrder) {
  auto lines =
      printedLines([] { (just(1) | debug("one"))->subscribe(RecordingObserver<int>::create()); });
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(afterTimestamp(lines[0]), "one -> subscribed");
  EXPECT_EQ(afterTimestamp(lines[1]), "one -> Event next(1)");
  EXPECT_EQ(afterTimestamp(lines[2]), "one -> Event completed");
  EXPECT_EQ(afterTimestamp(lines[3]), "one -> isDisposed");
}

TEST(Debug, EventsPassUnchangedAndDisposingTwicePrintsOnce) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  Ref<Disposable> d;
  auto lines = printedLines([&] {
    d = (source | debug("twice"))->subscribe(recorder);
    source->onNext(4);
    d->dispose();
    d->dispose();
  });
  EXPECT_EQ(recorder->descriptions(), (Log{"next(4)"}));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(afterTimestamp(lines[2]), "twice -> isDisposed");
}

TEST(Debug, TrimsOnlyTextsLongerThanFortyCharacters) {
  const std::string forty(40, 'a');
  EXPECT_EQ(detail::debugEventText(forty, true), forty);
  const std::string fortyOne = std::string(20, 'a') + "b" + std::string(20, 'c');
  EXPECT_EQ(detail::debugEventText(fortyOne, true),
            std::string(20, 'a') + "..." + std::string(20, 'c'));
  EXPECT_EQ(detail::debugEventText(fortyOne, false), fortyOne);
  // Characters, not bytes: forty two-byte characters are not trimmed.
  std::string wide;
  for (int i = 0; i < 40; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(detail::debugEventText(wide, true), wide);

  // "next(" + 35 characters + ")" is 41 characters.
  auto lines = printedLines([] {
    (just(std::string(35, 'x')) | debug("trim", true))
        ->subscribe(RecordingObserver<std::string>::create());
  });
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(afterTimestamp(lines[1]),
            "trim -> Event next(" + std::string(15, 'x') + "..." + std::string(19, 'x') + ")");
}

TEST(Debug, DefaultIdentifierNamesTheCallersFileLineAndFunction) {
  EXPECT_EQ(detail::debugIdentifier("a/b/Main", 12, "f()"), "Main:12 (f())");
  EXPECT_EQ(detail::debugIdentifier("Main", 3, "g"), "Main:3 (g)");
  auto traced = just(1) | debug();
  const int line = __LINE__ - 1;
  auto lines = printedLines([&] { traced->subscribe(RecordingObserver<int>::create()); });
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(afterTimestamp(lines[0]).rfind("DoDebugTest.cpp:" + std::to_string(line) + " (", 0), 0u)
      << lines[0];
}

}  // namespace
}  // namespace rv
