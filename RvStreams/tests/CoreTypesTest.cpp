#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RvStreams/AtomicInt.h"
#include "RvStreams/ErrorReport.h"
#include "RvStreams/Event.h"
#include "RvStreams/RvError.h"
#include "RvStreams/UniqueFunction.h"
#include "RvStreamsTest/TestKit.h"

namespace rv {
namespace {

using test::makeError;
using test::TestError;

TEST(Event, AccessorsTellTheCasesApart) {
  auto next = Event<int>::next(4);
  auto error = Event<int>::error(makeError());
  auto done = Event<int>::completed();

  EXPECT_FALSE(next.isStopEvent());
  ASSERT_NE(next.element(), nullptr);
  EXPECT_EQ(*next.element(), 4);
  EXPECT_EQ(next.error(), nullptr);

  EXPECT_TRUE(error.isStopEvent());
  EXPECT_FALSE(error.isCompleted());
  EXPECT_EQ(error.element(), nullptr);
  ASSERT_NE(error.error(), nullptr);

  EXPECT_TRUE(done.isStopEvent());
  EXPECT_TRUE(done.isCompleted());
  EXPECT_EQ(done.element(), nullptr);
  EXPECT_EQ(done.error(), nullptr);
}

TEST(Event, MapTransformsOnlyElementsAndCatchesFailures) {
  int calls = 0;
  auto twice = [&](const int& x) {
    ++calls;
    return std::to_string(x * 2);
  };
  EXPECT_EQ(*Event<int>::next(21).map(twice).element(), "42");

  const Error x = makeError();
  auto mappedError = Event<int>::error(x).map(twice);
  EXPECT_EQ(*mappedError.error(), x);
  EXPECT_TRUE(Event<int>::completed().map(twice).isCompleted());
  EXPECT_EQ(calls, 1);

  auto failed = Event<int>::next(1).map([](const int&) -> int { throw TestError("boom"); });
  ASSERT_NE(failed.error(), nullptr);
  EXPECT_EQ(describe(*failed.error()), "boom");
}

TEST(Event, DescriptionsOfTheThreeCases) {
  EXPECT_EQ(describe(Event<int>::next(3)), "next(3)");
  EXPECT_EQ(describe(Event<int>::error(makeError("bad"))), "error(bad)");
  EXPECT_EQ(describe(Event<int>::completed()), "completed");
  EXPECT_EQ(describe(Event<std::optional<int>>::next(std::nullopt)), "next(nil)");
  EXPECT_EQ(describe(*RvMutableBox<int>::create(5)), "MutatingBox(5)");
}

TEST(RvError, FixedTexts) {
  EXPECT_STREQ(RvError::unknown().what(), "Unknown error occurred.");
  EXPECT_STREQ(RvError::overflow().what(), "Arithmetic overflow occurred.");
  EXPECT_STREQ(RvError::argumentOutOfRange().what(), "Argument out of range.");
  EXPECT_STREQ(RvError::noElements().what(), "Sequence doesn't contain any elements.");
  EXPECT_STREQ(RvError::moreThanOneElement().what(), "Sequence contains more than one element.");
  EXPECT_STREQ(RvError::timeout().what(), "Sequence timeout.");
}

TEST(RvError, DisposedNamesAndKeepsTheObject) {
  auto object = std::make_shared<int>(7);
  RvError error = RvError::disposed(object, "X");
  EXPECT_STREQ(error.what(), "Object `X` was already disposed.");
  EXPECT_EQ(error.object(), object);
  EXPECT_EQ(describe(std::make_exception_ptr(error)), "Object `X` was already disposed.");
}

TEST(ErrorReport, WritesOneLineWithFileLinePrefixAndError) {
  std::ostringstream out;
  std::ostream* previous = setErrorReportStream(&out);
  printErrorReport("Prefix: ", makeError("broken"), "file.cpp", 12);
  reportBindingError(makeError("b"), "b.cpp", 3);
  reportInfallibleError(makeError("i"), "i.cpp", 4);
  setErrorReportStream(previous);
  EXPECT_EQ(out.str(),
            "file.cpp:12: Prefix: broken\n"
            "b.cpp:3: Binding error: b\n"
            "i.cpp:4: Infallible must never emit a error event. error: i\n");
}

TEST(Hooks, DefaultsDoNothingAndCanBeReplaced) {
  EXPECT_FALSE(Hooks::recordCallStackOnError());
  EXPECT_TRUE(Hooks::captureSubscriptionCallStack()().empty());

  std::ostringstream out;
  std::ostream* previous = setErrorReportStream(&out);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  Hooks::defaultErrorHandler()({}, makeError());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  setErrorReportStream(previous);
  EXPECT_EQ(out.str(), "");

  std::vector<std::string> seen;
  auto old = Hooks::defaultErrorHandler();
  Hooks::setDefaultErrorHandler([&](const Hooks::CallStack& stack, const Error& e) {
    seen.push_back(describe(e) + std::to_string(stack.size()));
  });
  Hooks::defaultErrorHandler()({"a", "b"}, makeError("x"));
  Hooks::setDefaultErrorHandler(old);
  EXPECT_EQ(seen, std::vector<std::string>{"x2"});
}

TEST(AtomicInt, FetchOrAndTestBits) {
  AtomicInt flag;
  EXPECT_EQ(flag.fetchOr(1), 0);
  EXPECT_EQ(flag.fetchOr(1), 1);
  EXPECT_TRUE(flag.testBits(1));

  AtomicInt state(1);
  EXPECT_EQ(state.fetchOr(2), 1);
  EXPECT_EQ(state.load(), 3);
  EXPECT_TRUE(state.testBits(1));
  EXPECT_TRUE(state.testBits(2));
}

TEST(AtomicInt, IncrementAndDecrementReturnThePreviousValue) {
  AtomicInt counter;
  EXPECT_EQ(counter.increment(), 0);
  EXPECT_EQ(counter.load(), 1);
  EXPECT_EQ(counter.decrement(), 1);
  EXPECT_EQ(counter.load(), 0);
  EXPECT_EQ(counter.add(5), 0);
  EXPECT_EQ(counter.sub(2), 5);
  EXPECT_EQ(counter.load(), 3);
}

using AtomicIntDeathTest = test::DeathTestBase;

TEST_F(AtomicIntDeathTest, OverflowStopsTheProcess) {
  EXPECT_DEATH(
      {
        AtomicInt big(INT32_MAX);
        big.increment();
      },
      "Arithmetic overflow");
  EXPECT_DEATH(
      {
        AtomicInt small(INT32_MIN);
        small.decrement();
      },
      "Arithmetic overflow");
}

TEST(UniqueFunction, HoldsMoveOnlyCallablesSmallAndLarge) {
  auto owned = std::make_unique<int>(5);
  UniqueFunction<int(int)> small = [p = std::move(owned)](int x) { return *p + x; };
  EXPECT_EQ(small(1), 6);

  std::array<int64_t, 16> big{};
  big[15] = 9;
  UniqueFunction<int64_t()> large = [big, tail = std::make_unique<int>(1)] {
    return big[15] + *tail;
  };
  UniqueFunction<int64_t()> moved = std::move(large);
  EXPECT_FALSE(static_cast<bool>(large));  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(moved(), 10);

  UniqueFunction<void()> empty;
  EXPECT_FALSE(static_cast<bool>(empty));
}

TEST(UniqueFunction, DestroysItsCallableExactlyOnce) {
  auto counter = std::make_shared<int>(0);
  {
    UniqueFunction<void()> a = [counter] {};
    UniqueFunction<void()> b = std::move(a);
    UniqueFunction<void()> c;
    c = std::move(b);
    EXPECT_EQ(counter.use_count(), 2);
  }
  EXPECT_EQ(counter.use_count(), 1);
}

}  // namespace
}  // namespace rv
