#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/Just.h"
#include "RvStreams/StartWith.h"
#include "RvStreams/SwitchIfEmpty.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::completedAt;
using test::elements;
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

TEST(StartWith, ElementsInOrderThenTheSource) {
  auto recorder = RecordingObserver<int>::create();
  (elements({3}) | startWith(1, 2))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "next(3)", "completed"}));
}

TEST(StartWith, NoElementsBehavesAsTheSource) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | startWith())->subscribe(recorder);
  source->onNext(5);
  source->onError(makeError("source"));
  EXPECT_EQ(recorder->descriptions(), (Log{"next(5)", "error(source)"}));
  d->dispose();
}

TEST(StartWith, ElementsPrecedeTheSourceSubscriptionForEverySubscriber) {
  auto source = TestSource<std::string>::create();
  auto prefixed = source | startWith("a", std::string("b"));
  for (int round = 0; round < 2; ++round) {
    int subscriptionsSeen = -1;
    auto d = prefixed->subscribe(makeAnonymousObserver<std::string>([&](const auto& e) {
      if (subscriptionsSeen < 0 && e.isNext()) subscriptionsSeen = source->subscriptionCount();
    }));
    EXPECT_EQ(subscriptionsSeen, round);  // the source not yet subscribed by this subscriber
    d->dispose();
  }
  EXPECT_EQ(source->disposeCount(), 2);
}

TEST(SwitchIfEmpty, EmptySourceYieldsExactlyTheReplacement) {
  auto scheduler = TestScheduler::create();
  auto error = makeError("replacement");
  auto source = scheduler->createHotObservable<int>({nextAt(150, 0), completedAt<int>(230)});
  auto replacement =
      scheduler->createColdObservable<int>({nextAt(10, 1), nextAt(20, 2), errorAt<int>(30, error)});
  auto recorder = scheduler->start([&] { return source | ifEmptySwitchTo(replacement); });
  EXPECT_EQ(recorder->recorded(),
            (Records{nextAt(240, 1), nextAt(250, 2), errorAt<int>(260, error)}));
  EXPECT_EQ(source->subscriptions(), (Subscriptions{{200, 260}}));
  EXPECT_EQ(replacement->subscriptions(), (Subscriptions{{230, 260}}));
}

TEST(SwitchIfEmpty, EmptySourceThenReplacementCompletion) {
  auto recorder = RecordingObserver<int>::create();
  (empty<int>() | ifEmptySwitchTo(elements({1, 2})))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
}

TEST(SwitchIfEmpty, SourceWithAnElementNeverSubscribesTheReplacement) {
  auto replacement = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (just(1) | ifEmptySwitchTo(replacement))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));
  EXPECT_EQ(replacement->subscriptionCount(), 0);
}

TEST(SwitchIfEmpty, ErrorWithoutElementsDoesNotSwitch) {
  auto replacement = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (error<int>(makeError("source")) | ifEmptySwitchTo(replacement))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"error(source)"}));
  EXPECT_EQ(replacement->subscriptionCount(), 0);
}

TEST(SwitchIfEmpty, DisposingDuringTheReplacementEndsIt) {
  auto source = TestSource<int>::create();
  auto replacement = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | ifEmptySwitchTo(replacement))->subscribe(recorder);
  source->onCompleted();
  replacement->onNext(1);
  d->dispose();
  replacement->onNext(2);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)"}));
  EXPECT_EQ(replacement->disposeCount(), 1);
}

}  // namespace
}  // namespace rv
