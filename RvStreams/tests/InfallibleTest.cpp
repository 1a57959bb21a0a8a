#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "RvStreams/Infallible.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/Reports.h"

namespace rv {
namespace {

using test::elements;
using test::ErrorHookCapture;
using test::failingAfter;
using test::makeError;
using test::record;
using test::ReportCapture;
using test::TestSource;
using Log = std::vector<std::string>;

// --- the type, creation and subscription ---

TEST(Infallible, CreateCallsTheClosureOncePerSubscriptionAndStopsAtTheCompletion) {
  int calls = 0;
  auto sequence = Infallible<int>::create([&](InfallibleObserver<int> observer) {
    ++calls;
    observer(InfallibleEvent<int>::next(1));
    observer(InfallibleEvent<int>::next(2));
    observer(InfallibleEvent<int>::completed());
    observer(InfallibleEvent<int>::next(3));
    return Disposables::create();
  });
  EXPECT_EQ(record(sequence)->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
  Log log;
  sequence.subscribe([&](const InfallibleEvent<int>& e) { log.push_back(describe(e)); });
  EXPECT_EQ(log, (Log{"next(1)", "next(2)", "completed"}));
  EXPECT_EQ(calls, 2);
}

TEST(Infallible, EventConvertsToTheEventOfTheSameMeaning) {
  EXPECT_EQ(InfallibleEvent<int>::next(4).event(), Event<int>::next(4));
  EXPECT_EQ(InfallibleEvent<int>::completed().event(), Event<int>::completed());
  EXPECT_TRUE(InfallibleEvent<int>::completed().isCompleted());
  EXPECT_EQ(*InfallibleEvent<int>::next(4).element(), 4);
}

TEST(Infallible, ErrorReachingTheEventHandlerIsReportedAndNotDelivered) {
  ReportCapture report;
  Log log;
  Infallible<int>(failingAfter({1, 2}, "broken")).subscribe([&](const InfallibleEvent<int>& e) {
    log.push_back(describe(e));
  });
  EXPECT_EQ(log, (Log{"next(1)", "next(2)"}));
  const std::string text = report.text();
  const std::string message = ": Infallible must never emit a error event. error: broken\n";
  ASSERT_GE(text.size(), message.size());
  EXPECT_EQ(text.substr(text.size() - message.size()), message);
  EXPECT_NE(text.find("Infallible.h:"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST(Infallible, HandlerSubscriptionPassesAnErrorToTheHook) {
  ErrorHookCapture hook;
  Log log;
  auto d = Infallible<int>(failingAfter({5}, "broken"))
               .subscribe({.onNext = [&](const int& x) { log.push_back(std::to_string(x)); },
                           .onCompleted = [&] { log.push_back("completed"); },
                           .onDisposed = [&] { log.push_back("disposed"); }});
  EXPECT_EQ(log, (Log{"5", "disposed"}));
  EXPECT_EQ(hook.errors(), (Log{"broken"}));
  d->dispose();
}

TEST(Infallible, SubscribeWithObjectRunsNothingOnceTheObjectIsGone) {
  ErrorHookCapture hook;
  auto source = TestSource<int>::create();
  auto object = std::make_shared<int>(10);
  Log log;
  auto d = Infallible<int>(source).subscribe(
      object,
      {.onNext = [&](const Ref<int>& o, const int& x) { log.push_back(std::to_string(*o + x)); },
       .onCompleted = [&](const Ref<int>&) { log.push_back("completed"); },
       .onDisposed = [&](const Ref<int>&) { log.push_back("disposed"); }});
  source->onNext(1);
  object.reset();
  source->onNext(2);
  source->onError(makeError());
  d->dispose();
  EXPECT_EQ(log, (Log{"11"}));
  EXPECT_TRUE(hook.errors().empty());
}

// --- conversions ---

TEST(Infallible, OnErrorJustReturnEndsWithTheElement) {
  Infallible<int> safe = failingAfter({1}, "x") | asInfallibleOnErrorJustReturn(9);
  EXPECT_EQ(record(safe)->descriptions(), (Log{"next(1)", "next(9)", "completed"}));
}

TEST(Infallible, OnErrorFallbackToEmptyEndsWithACompletion) {
  auto subject = PublishSubject<int>::create();
  Infallible<int> safe = subject | asInfallible(Infallible<int>::empty());
  auto recorder = record(safe);
  subject->onNext(1);
  subject->onError(makeError());
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));
}

TEST(Infallible, OnErrorRecoverChoosesTheContinuationForEachError) {
  Log errors;
  auto recover = [&](const Error& e) {
    errors.push_back(describe(e));
    return Infallible<int>(elements({7, 8}));
  };
  Infallible<int> safe = failingAfter({1}, "first") | asInfallibleOnErrorRecover(recover);
  EXPECT_EQ(record(safe)->descriptions(), (Log{"next(1)", "next(7)", "next(8)", "completed"}));
  EXPECT_EQ(record(safe)->descriptions(), (Log{"next(1)", "next(7)", "next(8)", "completed"}));
  EXPECT_EQ(errors, (Log{"first", "first"}));
}

}  // namespace
}  // namespace rv
