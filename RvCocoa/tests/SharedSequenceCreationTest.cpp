#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "RvCocoa/SharedSequence.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestScheduler;
using test::TestSource;
using DTI = DispatchTimeInterval;

// Runs on the main thread with an empty main queue before and after. The
// suite's tests are in three files: sharing and the scheduler, creation, and
// the asynchronous stream.
using SharedSequenceTest = ::rv::test::MainQueueTest;

TEST_F(SharedSequenceTest, JustAndEmptySubscribeOnTheStrategysScheduler) {
  auto scheduler = TestScheduler::create();
  SharingScheduler::mock(scheduler, [&] {
    auto justObserver = scheduler->createObserver<int>();
    auto emptyObserver = scheduler->createObserver<int>();
    auto just = Driver<int>::just(7);
    auto empty = Signal<int>::empty();
    scheduler->scheduleAt(10, [&] {
      just.asObservable()->subscribe(justObserver);
      empty.asObservable()->subscribe(emptyObserver);
      EXPECT_TRUE(justObserver->recorded().empty()) << "the subscription waits for the scheduler";
      EXPECT_TRUE(emptyObserver->recorded().empty());
    });
    scheduler->start();
    EXPECT_EQ(justObserver->recorded(),
              (std::vector<test::Recorded<int>>{test::nextAt(10, 7), test::completedAt<int>(10)}));
    EXPECT_EQ(emptyObserver->recorded(),
              (std::vector<test::Recorded<int>>{test::completedAt<int>(10)}));
  });
}

TEST_F(SharedSequenceTest, NeverNeitherEmitsNorCompletes) {
  auto scheduler = TestScheduler::create();
  SharingScheduler::mock(scheduler, [&] {
    auto res = scheduler->start([] { return Driver<int>::never(); });
    EXPECT_TRUE(res->recorded().empty());
  });
}

TEST_F(SharedSequenceTest, FromOptionalWithoutAValueOnlyCompletes) {
  auto scheduler = TestScheduler::create();
  SharingScheduler::mock(scheduler, [&] {
    auto none = scheduler->start([] { return Driver<int>::fromOptional(std::nullopt); });
    EXPECT_EQ(none->recorded(), (std::vector<test::Recorded<int>>{test::completedAt<int>(200)}));
  });
  auto other = TestScheduler::create();
  SharingScheduler::mock(other, [&] {
    auto some = other->start([] { return Signal<int>::fromOptional(4); });
    EXPECT_EQ(some->elements(), std::vector<int>{4});
    EXPECT_EQ(some->completedCount(), 1);
  });
}

TEST_F(SharedSequenceTest, OfFromAndJustAreNotShared) {
  auto of = Driver<int>::of(1, 2, 3);
  auto fromVector = Signal<int>::from(std::vector<int>{1, 2, 3});
  auto fromList = Driver<int>::from(std::list<int>{1, 2, 3});
  auto just = Signal<std::string>::just("x");
  for (const auto& sequence : {of, fromList}) {
    auto first = RecordingObserver<int>::create();
    auto second = RecordingObserver<int>::create();
    sequence.asObservable()->subscribe(first);
    sequence.asObservable()->subscribe(second);
    drain();
    EXPECT_EQ(first->elements(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(second->elements(), (std::vector<int>{1, 2, 3})) << "the whole sequence again";
    EXPECT_EQ(second->completedCount(), 1);
  }
  auto a = RecordingObserver<int>::create();
  auto b = RecordingObserver<int>::create();
  fromVector.asObservable()->subscribe(a);
  fromVector.asObservable()->subscribe(b);
  drain();
  EXPECT_EQ(b->elements(), (std::vector<int>{1, 2, 3}));

  auto x = RecordingObserver<std::string>::create();
  auto y = RecordingObserver<std::string>::create();
  just.asObservable()->subscribe(x);
  just.asObservable()->subscribe(y);
  drain();
  EXPECT_EQ(x->elements(), std::vector<std::string>{"x"});
  EXPECT_EQ(y->elements(), std::vector<std::string>{"x"});
}

TEST_F(SharedSequenceTest, DeferredCallsItsFactoryOncePerConnection) {
  int calls = 0;
  auto source = TestSource<int>::create();
  auto deferred = Driver<int>::deferred([&] {
    ++calls;
    return Driver<int>(source);
  });
  EXPECT_EQ(calls, 0);
  auto first = RecordingObserver<int>::create();
  auto second = RecordingObserver<int>::create();
  auto a = deferred.asObservable()->subscribe(first);
  auto b = deferred.asObservable()->subscribe(second);
  source->onNext(1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(second->elements(), std::vector<int>{1});
  a->dispose();
  b->dispose();
  auto c = deferred.asObservable()->subscribe(first);
  EXPECT_EQ(calls, 2) << "a new connection calls it again";
  c->dispose();
}

TEST_F(SharedSequenceTest, IntervalAndTimerRunOneTimerForSubscribersPresentTogether) {
  auto scheduler = TestScheduler::create();
  SharingScheduler::mock(scheduler, [&] {
    auto interval = Driver<int64_t>::interval(DTI::seconds(10));
    auto timer = Signal<int32_t>::timer(DTI::seconds(5), DTI::seconds(10));
    auto i1 = scheduler->createObserver<int64_t>();
    auto i2 = scheduler->createObserver<int64_t>();
    auto t1 = scheduler->createObserver<int32_t>();
    auto t2 = scheduler->createObserver<int32_t>();
    std::vector<Ref<Disposable>> subscriptions;
    scheduler->scheduleAt(100, [&] {
      subscriptions.push_back(interval.asObservable()->subscribe(i1));
      subscriptions.push_back(timer.asObservable()->subscribe(t1));
    });
    scheduler->scheduleAt(117, [&] {
      subscriptions.push_back(interval.asObservable()->subscribe(i2));
      subscriptions.push_back(timer.asObservable()->subscribe(t2));
    });
    scheduler->scheduleAt(131, [&] {
      for (auto& s : subscriptions) s->dispose();
    });
    scheduler->start();
    EXPECT_EQ(i1->recorded(), (std::vector<test::Recorded<int64_t>>{
                                  test::nextAt<int64_t>(110, 0), test::nextAt<int64_t>(120, 1),
                                  test::nextAt<int64_t>(130, 2)}));
    // The late subscriber joins the running timer: the replayed 0, then 1, 2.
    EXPECT_EQ(i2->recorded(), (std::vector<test::Recorded<int64_t>>{
                                  test::nextAt<int64_t>(117, 0), test::nextAt<int64_t>(120, 1),
                                  test::nextAt<int64_t>(130, 2)}));
    EXPECT_EQ(t1->elements(), (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(t2->recorded(), (std::vector<test::Recorded<int32_t>>{test::nextAt<int32_t>(125, 2)}))
        << "one timer: the Signal's late subscriber sees its next tick, not a tick of its own";
  });
}

}  // namespace
}  // namespace rv
