#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "RvStreams/Sample.h"
#include "RvStreams/Timer.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::completedAt;
using test::errorAt;
using test::makeError;
using test::nextAt;
using test::Recorded;
using test::Subscription;
using test::TestScheduler;
using DTI = DispatchTimeInterval;
using Events = std::vector<Recorded<int>>;
using Ticks = std::vector<Recorded<int64_t>>;
using Subscriptions = std::vector<Subscription>;

// --- timer and interval ---

TEST(Timer, AOneShotTimerEmitsZeroAtItsDueTimeAndCompletes) {
  auto scheduler = TestScheduler::create();
  auto res =
      scheduler->start([&] { return timer<int64_t>(DTI::seconds(2), std::nullopt, scheduler); });
  EXPECT_EQ(res->recorded(), (Ticks{nextAt<int64_t>(202, 0), completedAt<int64_t>(202)}));
}

TEST(Timer, APeriodicTimerCountsEveryPeriodAfterItsDueTimeUntilDisposed) {
  auto scheduler = TestScheduler::create();
  auto res = scheduler->start(
      100, 200, 206, [&] { return timer<int64_t>(DTI::seconds(2), DTI::seconds(1), scheduler); });
  EXPECT_EQ(res->recorded(), (Ticks{nextAt<int64_t>(202, 0), nextAt<int64_t>(203, 1),
                                    nextAt<int64_t>(204, 2), nextAt<int64_t>(205, 3)}));
  EXPECT_EQ(res->completedCount(), 0);
}

TEST(Timer, AnIntervalStartsOnePeriodAfterSubscription) {
  auto scheduler = TestScheduler::create();
  auto res = scheduler->start(100, 200, 204,
                              [&] { return interval<int64_t>(DTI::seconds(1), scheduler); });
  EXPECT_EQ(res->recorded(),
            (Ticks{nextAt<int64_t>(201, 0), nextAt<int64_t>(202, 1), nextAt<int64_t>(203, 2)}));
}

TEST(Timer, DisposalBeforeTheDueTimeEmitsNothing) {
  auto scheduler = TestScheduler::create();
  auto oneShot = scheduler->start(
      100, 200, 201, [&] { return timer<int64_t>(DTI::seconds(2), std::nullopt, scheduler); });
  EXPECT_TRUE(oneShot->recorded().empty());
  auto periodic = scheduler->start(
      300, 400, 401, [&] { return timer<int64_t>(DTI::seconds(2), DTI::seconds(1), scheduler); });
  EXPECT_TRUE(periodic->recorded().empty());
  EXPECT_EQ(scheduler->clock(), 401);  // nothing was left to run
}

TEST(Timer, TheCounterWrapsAroundAtTheTypesMaximum) {
  auto scheduler = TestScheduler::create();
  auto res =
      scheduler->start(100, 200, 331, [&] { return interval<int8_t>(DTI::seconds(1), scheduler); });
  std::vector<int8_t> elements = res->elements();
  ASSERT_EQ(elements.size(), 130u);
  EXPECT_EQ(elements[127], 127);
  EXPECT_EQ(elements[128], -128);
  EXPECT_EQ(elements[129], -127);
}

// --- sample ---

struct SampleFixture : ::testing::Test {
  Ref<TestScheduler> scheduler = TestScheduler::create();
  // The sampler's values are ignored; only its events count.
  Ref<test::TestableObservable<std::string>> ticks(std::vector<Recorded<std::string>> events) {
    return scheduler->createHotObservable<std::string>(std::move(events));
  }
  Recorded<std::string> tickAt(int64_t time) { return nextAt<std::string>(time, "tick"); }
};

TEST_F(SampleFixture, ATickEmitsTheLatestElementOnceAndThenNothing) {
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(220, 2)});
  auto ys = ticks({tickAt(230), tickAt(240)});
  auto res = scheduler->start([&] { return xs | sample(ys); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(230, 2)}));
}

TEST_F(SampleFixture, ADefaultValueFillsTicksWithoutANewElement) {
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(220, 2), nextAt(245, 3)});
  auto ys = ticks({tickAt(230), tickAt(240), tickAt(250), tickAt(260)});
  auto res = scheduler->start([&] { return xs | sample(ys, 0); });
  EXPECT_EQ(res->recorded(),
            (Events{nextAt(230, 2), nextAt(240, 0), nextAt(250, 3), nextAt(260, 0)}));
}

TEST_F(SampleFixture, TheSourcesCompletionWaitsForTheNextTick) {
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), completedAt<int>(220)});
  auto ys = ticks({tickAt(230), tickAt(240)});
  auto res = scheduler->start([&] { return xs | sample(ys); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(230, 1), completedAt<int>(230)}));
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{200, 220}}));
  EXPECT_EQ(ys->subscriptions(), (Subscriptions{{200, 230}}));
}

TEST_F(SampleFixture, TheTickAfterCompletionEmitsTheDefaultWhenNothingIsNew) {
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), completedAt<int>(220)});
  auto ys = ticks({tickAt(215), tickAt(230)});
  auto res = scheduler->start([&] { return xs | sample(ys, 9); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(215, 1), nextAt(230, 9), completedAt<int>(230)}));
}

TEST_F(SampleFixture, WithoutAFurtherTickTheCompletionIsNeverForwarded) {
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), completedAt<int>(220)});
  auto ys = ticks({tickAt(215)});
  auto res = scheduler->start([&] { return xs | sample(ys); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(215, 1)}));
}

TEST_F(SampleFixture, ASamplerCompletingFirstCountsAsALastTick) {
  auto xs =
      scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(240, 2), completedAt<int>(250)});
  auto ys = ticks({completedAt<std::string>(230)});
  auto res = scheduler->start([&] { return xs | sample(ys); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(230, 1)}));

  // A later error of the source still passes.
  Error error = makeError();
  auto scheduler2 = TestScheduler::create();
  auto xs2 = scheduler2->createHotObservable<int>({nextAt(210, 1), errorAt<int>(250, error)});
  auto ys2 = scheduler2->createHotObservable<std::string>({completedAt<std::string>(230)});
  auto res2 = scheduler2->start([&] { return xs2 | sample(ys2); });
  EXPECT_EQ(res2->recorded(), (Events{nextAt(230, 1), errorAt<int>(250, error)}));
}

TEST_F(SampleFixture, ASamplerErrorEndsEverything) {
  Error error = makeError();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(240, 2)});
  auto ys = ticks({errorAt<std::string>(230, error)});
  auto res = scheduler->start([&] { return xs | sample(ys); });
  EXPECT_EQ(res->recorded(), (Events{errorAt<int>(230, error)}));
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{200, 230}}));
}

}  // namespace
}  // namespace rv
