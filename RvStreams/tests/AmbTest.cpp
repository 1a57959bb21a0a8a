#include <gtest/gtest.h>

#include <barrier>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "RvStreams/Amb.h"
#include "RvStreams/Create.h"
#include "RvStreams/Just.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::completedAt;
using test::CountingDisposable;
using test::errorAt;
using test::makeError;
using test::nextAt;
using test::Recorded;
using test::RecordingObserver;
using test::Subscription;
using test::TestScheduler;
using test::TestSource;
using Log = std::vector<std::string>;
using Records = std::vector<Recorded<int>>;
using Subscriptions = std::vector<Subscription>;

// A source that keeps its observer after being disposed, as a careless source
// would (no sink in between drops its late events), and counts the disposals
// of its subscription.
class KeptObserver final : public Observable<int> {
 public:
  Ref<Disposable> subscribe(Ref<ObserverType<int>> o) override {
    observer = std::move(o);
    return subscription;
  }
  Ref<ObserverType<int>> observer;
  Ref<CountingDisposable> subscription = CountingDisposable::create();
};

TEST(Amb, FirstSideToSendWinsAndTheOtherIsUnsubscribedAtOnce) {
  auto scheduler = TestScheduler::create();
  auto left =
      scheduler->createHotObservable<int>({nextAt(230, 1), nextAt(250, 2), completedAt<int>(300)});
  auto right = scheduler->createHotObservable<int>({nextAt(220, 10), nextAt(240, 20)});
  auto recorder = scheduler->start([&] { return left | amb(right); });
  EXPECT_EQ(recorder->recorded(), (Records{nextAt(220, 10), nextAt(240, 20)}));
  EXPECT_EQ(left->subscriptions(), (Subscriptions{{200, 220}}));
  EXPECT_EQ(right->subscriptions(), (Subscriptions{{200, 1000}}));
}

TEST(Amb, RightFailingFirstFailsTheOutputAndUnsubscribesTheLeft) {
  auto scheduler = TestScheduler::create();
  auto error = makeError("right");
  auto left = scheduler->createHotObservable<int>({nextAt(260, 1)});
  auto right = scheduler->createHotObservable<int>({errorAt<int>(250, error)});
  auto recorder = scheduler->start([&] { return left | amb(right); });
  EXPECT_EQ(recorder->recorded(), (Records{errorAt<int>(250, error)}));
  EXPECT_EQ(left->subscriptions(), (Subscriptions{{200, 250}}));
  EXPECT_EQ(right->subscriptions(), (Subscriptions{{200, 250}}));
}

TEST(Amb, LeftSendingDuringSubscriptionWinsBeforeTheRightIsSubscribed) {
  auto left = create<int>([](AnyObserver<int> o) -> Ref<Disposable> {
    o.onNext(1);
    return Disposables::create();
  });
  auto rightResource = CountingDisposable::create();
  int rightSubscriptions = 0;
  auto right = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    ++rightSubscriptions;
    o.onNext(2);
    o.onCompleted();  // ignored: it does not end the output
    return rightResource;
  });
  auto recorder = RecordingObserver<int>::create();
  auto d = (left | amb(right))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)"}));
  EXPECT_EQ(rightSubscriptions, 1);
  EXPECT_EQ(rightResource->count(), 1);
  d->dispose();
}

TEST(Amb, BothCompletingOnSubscriptionTheLeftWins) {
  auto recorder = RecordingObserver<int>::create();
  (empty<int>() | amb(error<int>(makeError("right"))))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST(Amb, LosingSideStopEventDisposesOnlyItsOwnSubscription) {
  auto left = std::make_shared<KeptObserver>();
  auto right = std::make_shared<KeptObserver>();
  auto recorder = RecordingObserver<int>::create();
  auto d = (left | amb(right))->subscribe(recorder);
  left->observer->onNext(1);
  EXPECT_EQ(right->subscription->count(), 1);
  right->observer->onNext(99);
  right->observer->onCompleted();
  EXPECT_EQ(right->subscription->count(), 1);
  EXPECT_EQ(left->subscription->count(), 0);
  left->observer->onNext(2);
  left->observer->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
  EXPECT_EQ(left->subscription->count(), 1);
  d->dispose();
}

TEST(Amb, DisposingBeforeTheRaceEndsBothSides) {
  auto left = TestSource<int>::create();
  auto right = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = (left | amb(right))->subscribe(recorder);
  d->dispose();
  EXPECT_EQ(left->disposeCount(), 1);
  EXPECT_EQ(right->disposeCount(), 1);
  EXPECT_TRUE(recorder->events().empty());
}

TEST(AmbOverSources, EmptyNeverEmitsOneBehavesAsItself) {
  auto none = RecordingObserver<int>::create();
  auto d = amb(std::vector<Ref<Observable<int>>>{})->subscribe(none);
  EXPECT_TRUE(none->events().empty());
  d->dispose();

  auto one = RecordingObserver<int>::create();
  amb(std::vector<Ref<Observable<int>>>{just(7)})->subscribe(one);
  EXPECT_EQ(one->descriptions(), (Log{"next(7)", "completed"}));
}

TEST(AmbOverSources, ThirdSendingFirstIsMirrored) {
  auto scheduler = TestScheduler::create();
  auto a = scheduler->createHotObservable<int>({nextAt(240, 1)});
  auto b = scheduler->createHotObservable<int>({nextAt(230, 2)});
  auto c =
      scheduler->createHotObservable<int>({nextAt(210, 3), nextAt(250, 4), completedAt<int>(260)});
  auto recorder = scheduler->start([&] { return amb(std::vector{a, b, c}); });
  EXPECT_EQ(recorder->recorded(), (Records{nextAt(210, 3), nextAt(250, 4), completedAt<int>(260)}));
  EXPECT_EQ(a->subscriptions(), (Subscriptions{{200, 210}}));
  EXPECT_EQ(b->subscriptions(), (Subscriptions{{200, 210}}));
  EXPECT_EQ(c->subscriptions(), (Subscriptions{{200, 260}}));
}

// Both sides send at the same moment from two threads: exactly one side's
// elements reach the output, whole and in order.
TEST(AmbStress, SidesSendingConcurrentlyHaveExactlyOneWinner) {
  for (int round = 0; round < 120; ++round) {
    std::optional<AnyObserver<int>> left;
    std::optional<AnyObserver<int>> right;
    auto handOut = [](std::optional<AnyObserver<int>>& slot) {
      return create<int>([&slot](AnyObserver<int> o) -> Ref<Disposable> {
        slot = o;
        return Disposables::create();
      });
    };
    auto recorder = RecordingObserver<int>::create();
    auto d = (handOut(left) | amb(handOut(right)))->subscribe(recorder);
    std::barrier start(2);
    auto send = [&start](AnyObserver<int> o, int base) {
      start.arrive_and_wait();
      for (int i = 0; i < 3; ++i) o.onNext(base + i);
      o.onCompleted();
    };
    std::thread a(send, *left, 0);
    std::thread b(send, *right, 100);
    a.join();
    b.join();
    const std::vector<int> got = recorder->elements();
    ASSERT_EQ(got.size(), 3u);
    const int base = got[0];
    EXPECT_TRUE(base == 0 || base == 100);
    EXPECT_EQ(got, (std::vector<int>{base, base + 1, base + 2}));
    EXPECT_EQ(recorder->completedCount(), 1);
    d->dispose();
  }
}

}  // namespace
}  // namespace rv
