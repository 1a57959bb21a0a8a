#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/CurrentThreadScheduler.h"
#include "RvStreams/Just.h"
#include "RvStreams/Subscribe.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::CountingDisposable;
using test::makeError;
using test::RecordingObserver;
using Log = std::vector<std::string>;

TEST(Create, OnlyTheFirstStopEventAndNothingAfterIt) {
  auto source = create<int>([](AnyObserver<int> o) -> Ref<Disposable> {
    o.onNext(1);
    o.onCompleted();
    o.onNext(2);
    o.onError(makeError());
    return Disposables::create();
  });
  auto recorder = RecordingObserver<int>::create();
  source->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));
}

TEST(Create, SynchronousCompletionDisposesTheReturnedDisposableBeforeSubscribeReturns) {
  auto resource = CountingDisposable::create();
  auto source = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    o.onCompleted();
    return resource;
  });
  source->subscribe(RecordingObserver<int>::create());
  EXPECT_EQ(resource->count(), 1);
}

TEST(Create, NothingIsDeliveredAfterDispose) {
  std::optional<AnyObserver<int>> kept;
  auto source = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    kept = o;
    return Disposables::create();
  });
  auto recorder = RecordingObserver<int>::create();
  auto d = source->subscribe(recorder);
  kept->onNext(1);
  d->dispose();
  kept->onNext(2);
  kept->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)"}));
}

TEST(Create, TheHandedObserverKeepsTheSinkAlive) {
  std::optional<AnyObserver<int>> kept;
  auto recorder = RecordingObserver<int>::create();
  {
    auto source = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
      kept = o;
      return Disposables::create();
    });
    source->subscribe(recorder);
  }
  kept->onNext(7);  // producer and subscription handle are gone; the sink is not
  kept->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(7)", "completed"}));
}

TEST(Create, EachSubscriptionCallsTheHandler) {
  int calls = 0;
  auto source = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    ++calls;
    o.onCompleted();
    return Disposables::create();
  });
  source->subscribe(RecordingObserver<int>::create());
  source->subscribe(RecordingObserver<int>::create());
  EXPECT_EQ(calls, 2);
}

TEST(Just, EverySubscriberGetsTheElementThenCompleted) {
  auto source = just(std::string("x"));
  for (int i = 0; i < 2; ++i) {
    auto recorder = RecordingObserver<std::string>::create();
    auto d = source->subscribe(recorder);
    EXPECT_EQ(recorder->descriptions(), (Log{"next(x)", "completed"}));
    EXPECT_EQ(d, Disposables::create());
    d->dispose();
  }
}

TEST(ConstantSources, EmptyNeverAndError) {
  auto recorder = RecordingObserver<int>::create();
  empty<int>()->subscribe(recorder);
  never<int>()->subscribe(recorder)->dispose();
  const Error x = makeError("e");
  error<int>(x)->subscribe(recorder);
  ASSERT_EQ(recorder->events().size(), 2u);
  EXPECT_TRUE(recorder->events()[0].isCompleted());
  EXPECT_EQ(*recorder->events()[1].error(), x);  // exactly the given error
}

TEST(ConstantSources, NeverKeepsNoReferenceToTheObserver) {
  auto recorder = RecordingObserver<int>::create();
  auto source = never<int>();
  source->subscribe(recorder);
  EXPECT_EQ(recorder.use_count(), 1);
}

TEST(JustScheduled, OnTheTrampolineDeliversBeforeSubscribeReturns) {
  auto recorder = RecordingObserver<int>::create();
  just(4, CurrentThreadScheduler::instance())->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(4)", "completed"}));
}

TEST(JustScheduled, InsideARunningTrampolineBothActionsWaitBehindCurrentWork) {
  Log log;
  auto recorder = RecordingObserver<int>::create();
  CurrentThreadScheduler::instance()->schedule(0, [&](int) {
    just(4, CurrentThreadScheduler::instance())->subscribe(recorder);
    log.push_back("after subscribe: " + std::to_string(recorder->events().size()));
    return Disposables::create();
  });
  EXPECT_EQ(log, (Log{"after subscribe: 0"}));
  EXPECT_EQ(recorder->descriptions(), (Log{"next(4)", "completed"}));
}

TEST(JustScheduled, DisposingBetweenTheTwoActionsCancelsTheCompletion) {
  Ref<Disposable> subscription;
  Log log;
  CurrentThreadScheduler::instance()->schedule(0, [&](int) {
    subscription = subscribe(just(4, CurrentThreadScheduler::instance()), [&](const Event<int>& e) {
      log.push_back(describe(e));
      if (e.element()) subscription->dispose();
    });
    return Disposables::create();
  });
  EXPECT_EQ(log, (Log{"next(4)"}));
}

}  // namespace
}  // namespace rv
