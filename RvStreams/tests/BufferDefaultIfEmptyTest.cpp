#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RvStreams/Buffer.h"
#include "RvStreams/DefaultIfEmpty.h"
#include "RvStreams/Just.h"
#include "RvStreamsTest/QueuedScheduler.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::completedAt;
using test::errorAt;
using test::makeError;
using test::nextAt;
using test::QueuedScheduler;
using test::Recorded;
using test::RecordingObserver;
using test::Subscription;
using test::TestScheduler;
using test::TestSource;
using DTI = DispatchTimeInterval;
using Log = std::vector<std::string>;

// "time: [a, b]", "time: completed", "time: error".
Log arrays(const std::vector<Recorded<std::vector<int>>>& recorded) {
  Log out;
  for (const auto& r : recorded) {
    std::string line = std::to_string(r.time) + ": ";
    if (const auto* array = r.event.element()) {
      line += "[";
      for (std::size_t i = 0; i < array->size(); ++i) {
        line += (i ? ", " : "") + std::to_string((*array)[i]);
      }
      line += "]";
    } else {
      line += r.event.isCompleted() ? "completed" : "error";
    }
    out.push_back(line);
  }
  return out;
}

// --- buffer ---

TEST(Buffer, FullArraysCloseByCountAndEachStartsAFreshTimeSpan) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(211, 2), nextAt(212, 3),
                                                 nextAt(213, 4), nextAt(214, 5), nextAt(215, 6),
                                                 nextAt(216, 7), completedAt<int>(250)});
  auto res = scheduler->start([&] { return xs | buffer(DTI::seconds(20), 3, scheduler); });
  EXPECT_EQ(arrays(res->recorded()),
            (Log{"212: [1, 2, 3]", "215: [4, 5, 6]", "235: [7]", "250: []", "250: completed"}));
}

TEST(Buffer, QuietTimeSpansEmitEmptyArrays) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({});
  auto res =
      scheduler->start(100, 200, 265, [&] { return xs | buffer(DTI::seconds(20), 5, scheduler); });
  EXPECT_EQ(arrays(res->recorded()), (Log{"220: []", "240: []", "260: []"}));
}

TEST(Buffer, CompletionEmitsThePartialArrayFirst) {
  auto scheduler = TestScheduler::create();
  auto xs =
      scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(215, 2), completedAt<int>(218)});
  auto res = scheduler->start([&] { return xs | buffer(DTI::seconds(20), 5, scheduler); });
  EXPECT_EQ(arrays(res->recorded()), (Log{"218: [1, 2]", "218: completed"}));
}

TEST(Buffer, CompletionRightAfterAnEmissionEmitsAnEmptyArray) {
  auto scheduler = TestScheduler::create();
  auto xs =
      scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(211, 2), completedAt<int>(211)});
  auto res = scheduler->start([&] { return xs | buffer(DTI::seconds(20), 2, scheduler); });
  EXPECT_EQ(arrays(res->recorded()), (Log{"211: [1, 2]", "211: []", "211: completed"}));
}

TEST(Buffer, AnErrorDropsTheBufferedElements) {
  auto scheduler = TestScheduler::create();
  Error error = makeError();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), errorAt<int>(215, error)});
  auto res = scheduler->start([&] { return xs | buffer(DTI::seconds(20), 5, scheduler); });
  ASSERT_EQ(arrays(res->recorded()), (Log{"215: error"}));
  EXPECT_EQ(*res->recorded()[0].event.error(), error);
  EXPECT_EQ(xs->subscriptions(), (std::vector<Subscription>{{200, 215}}));
}

TEST(Buffer, ACountOfZeroOrLessClosesByTimeOnly) {
  for (int64_t count : {0, -1}) {
    auto scheduler = TestScheduler::create();
    auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(211, 2)});
    auto res = scheduler->start(100, 200, 230,
                                [&] { return xs | buffer(DTI::seconds(20), count, scheduler); });
    EXPECT_EQ(arrays(res->recorded()), (Log{"220: [1, 2]"})) << "count " << count;
  }
}

TEST(Buffer, AWindowClosedByCountAsItsTimerFiresEmitsOnce) {
  auto scheduler = TestScheduler::create();
  // The element at 220 was scheduled before the window's timer due at 220.
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(220, 2)});
  auto res =
      scheduler->start(100, 200, 245, [&] { return xs | buffer(DTI::seconds(20), 2, scheduler); });
  EXPECT_EQ(arrays(res->recorded()), (Log{"220: [1, 2]", "240: []"}));
}

TEST(Buffer, AStaleTimerOfAWindowClosedByCountDoesNothing) {
  auto scheduler = QueuedScheduler::create();  // cancelled timers still fire
  auto source = TestSource<int>::create();
  auto observer = RecordingObserver<std::vector<int>>::create();
  auto subscription = (source | buffer(DTI::seconds(20), 2, scheduler))->subscribe(observer);
  source->onNext(1);
  source->onNext(2);  // closes window 0; window 1's timer starts
  ASSERT_EQ(scheduler->waiting(), 2u);
  scheduler->run(0);  // window 0's timer
  EXPECT_EQ(observer->elements(), (std::vector<std::vector<int>>{{1, 2}}));
  scheduler->run(0);  // window 1's timer
  EXPECT_EQ(observer->elements(), (std::vector<std::vector<int>>{{1, 2}, {}}));
  subscription->dispose();
  scheduler->clear();
}

// --- ifEmptyDefault ---

TEST(DefaultIfEmpty, AnEmptySourceYieldsTheDefaultThenCompletion) {
  auto observer = RecordingObserver<int>::create();
  (empty<int>() | ifEmptyDefault(7))->subscribe(observer);
  EXPECT_EQ(observer->descriptions(), (Log{"next(7)", "completed"}));
}

TEST(DefaultIfEmpty, ASourceWithElementsPassesUnchanged) {
  auto observer = RecordingObserver<int>::create();
  (test::elements({1}) | ifEmptyDefault(7))->subscribe(observer);
  EXPECT_EQ(observer->descriptions(), (Log{"next(1)", "completed"}));
}

TEST(DefaultIfEmpty, AFailingOrEndlessSourceNeverYieldsTheDefault) {
  Error error = makeError();
  auto failed = RecordingObserver<int>::create();
  (rv::error<int>(error) | ifEmptyDefault(7))->subscribe(failed);
  EXPECT_EQ(failed->events(), (std::vector<Event<int>>{Event<int>::error(error)}));

  auto source = TestSource<int>::create();
  auto endless = RecordingObserver<int>::create();
  auto subscription = (source | ifEmptyDefault(7))->subscribe(endless);
  EXPECT_TRUE(endless->events().empty());
  subscription->dispose();
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(DefaultIfEmpty, EachSubscriptionStartsEmpty) {
  auto source = TestSource<int>::create();
  auto withDefault = source | ifEmptyDefault(7);
  auto first = RecordingObserver<int>::create();
  withDefault->subscribe(first);
  source->onNext(1);
  auto second = RecordingObserver<int>::create();
  withDefault->subscribe(second);
  source->onCompleted();
  EXPECT_EQ(first->descriptions(), (Log{"next(1)", "completed"}));
  EXPECT_EQ(second->descriptions(), (Log{"next(7)", "completed"}));
}

}  // namespace
}  // namespace rv
