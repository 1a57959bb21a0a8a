#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "RvStreams/BehaviorSubject.h"
#include "RvStreams/Map.h"
#include "RvStreams/RetryWhen.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

// Fails with "attempt N" on its first `failures` subscriptions, then sends N
// and completes; all synchronously. Records how deeply subscriptions nest.
struct FlakySource {
  int failures;
  int subscriptions = 0;
  int depth = 0;
  int maxDepth = 0;
  Ref<Observable<int>> make() {
    return create<int>([this](AnyObserver<int> o) -> Ref<Disposable> {
      const int attempt = ++subscriptions;
      maxDepth = std::max(maxDepth, ++depth);
      if (attempt <= failures) {
        o.onError(makeError("attempt " + std::to_string(attempt)));
      } else {
        o.onNext(attempt);
        o.onCompleted();
      }
      --depth;
      return Disposables::create();
    });
  }
};

TEST(RetryWhen, TriggerFromTheErrorStreamResubscribesAfterEachError) {
  FlakySource flaky{3};
  Log seen;
  auto recorder = RecordingObserver<int>::create();
  (flaky.make() | retryWhen([&](Ref<Observable<Error>> errors) {
     return errors | map([&](const Error& e) {
              seen.push_back(describe(e));
              return Unit{};
            });
   }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(4)", "completed"}));
  EXPECT_EQ(seen, (Log{"attempt 1", "attempt 2", "attempt 3"}));
  EXPECT_EQ(flaky.subscriptions, 4);
  EXPECT_EQ(flaky.maxDepth, 1);  // attempts follow one another, never nested
}

struct WaitingFixture : ::testing::Test {
  Ref<TestSource<int>> source = TestSource<int>::create();
  Ref<PublishSubject<Unit>> trigger = PublishSubject<Unit>::create();
  Ref<RecordingObserver<int>> recorder = RecordingObserver<int>::create();
  Ref<Disposable> subscription =
      (source | retryWhen([this](Ref<Observable<Error>>) { return trigger; }))->subscribe(recorder);
};

TEST_F(WaitingFixture, TriggerElementStartsTheNextAttempt) {
  source->onNext(1);
  source->onError(makeError("first"));
  EXPECT_EQ(source->observerCount(), 0);
  EXPECT_EQ(source->subscriptionCount(), 1);
  trigger->onNext(Unit{});
  EXPECT_EQ(source->subscriptionCount(), 2);
  source->onNext(2);
  source->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
  EXPECT_FALSE(trigger->hasObservers());
}

TEST_F(WaitingFixture, TriggerCompletingWhileWaitingCompletesWithoutTheSourceError) {
  source->onError(makeError("first"));
  trigger->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST_F(WaitingFixture, TriggerFailingEndsWithTheTriggersError) {
  source->onError(makeError("source"));
  trigger->onError(makeError("trigger"));
  EXPECT_EQ(recorder->descriptions(), (Log{"error(trigger)"}));
}

TEST_F(WaitingFixture, DisposingWhileWaitingUnsubscribesTheTrigger) {
  source->onError(makeError());
  EXPECT_TRUE(trigger->hasObservers());
  subscription->dispose();
  EXPECT_FALSE(trigger->hasObservers());
  trigger->onNext(Unit{});
  EXPECT_EQ(source->subscriptionCount(), 1);
  EXPECT_TRUE(recorder->events().empty());
}

TEST_F(WaitingFixture, SourceCompletionEndsTheOutputAndTheTriggerSubscription) {
  source->onNext(1);
  source->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));
  EXPECT_FALSE(trigger->hasObservers());
}

TEST(RetryWhen, TriggerStoppedBeforeTheFirstErrorEndsTheOutputAtThatError) {
  FlakySource flaky{5};
  auto completed = RecordingObserver<int>::create();
  (flaky.make() | retryWhen([](Ref<Observable<Error>>) {
     return empty<Unit>();
   }))->subscribe(completed);
  EXPECT_EQ(completed->descriptions(), (Log{"completed"}));
  EXPECT_EQ(flaky.subscriptions, 1);

  FlakySource again{5};
  auto failed = RecordingObserver<int>::create();
  (again.make() | retryWhen([](Ref<Observable<Error>>) {
     return error<Unit>(makeError("trigger"));
   }))->subscribe(failed);
  EXPECT_EQ(failed->descriptions(), (Log{"error(trigger)"}));
}

TEST(RetryWhen, TriggerElementWhileNoAttemptWaitsIsLost) {
  auto source = TestSource<int>::create();
  // A behavior subject sends its value as soon as the notifier subscribes to
  // it, before any attempt has failed.
  auto trigger = BehaviorSubject<Unit>::create(Unit{});
  auto recorder = RecordingObserver<int>::create();
  auto d =
      (source | retryWhen([&](Ref<Observable<Error>>) { return trigger; }))->subscribe(recorder);
  source->onError(makeError());
  EXPECT_EQ(source->subscriptionCount(), 1);
  trigger->onNext(Unit{});
  EXPECT_EQ(source->subscriptionCount(), 2);
  d->dispose();
}

TEST(RetryWhen, TypedHandlerRetriesOnlyItsErrorType) {
  std::vector<std::string> seen;
  auto handler = [&](Ref<Observable<TestError>> errors) {
    return errors | map([&](const TestError& e) {
             seen.push_back(e.text);
             return 0;
           });
  };
  FlakySource flaky{2};
  auto retried = RecordingObserver<int>::create();
  (flaky.make() | retryWhen<TestError>(handler))->subscribe(retried);
  EXPECT_EQ(retried->descriptions(), (Log{"next(3)", "completed"}));
  EXPECT_EQ(seen, (std::vector<std::string>{"attempt 1", "attempt 2"}));

  int subscriptions = 0;
  auto other = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    ++subscriptions;
    o.onError(std::make_exception_ptr(std::runtime_error("other")));
    return Disposables::create();
  });
  auto delivered = RecordingObserver<int>::create();
  (other | retryWhen<TestError>(handler))->subscribe(delivered);
  EXPECT_EQ(delivered->descriptions(), (Log{"error(other)"}));
  EXPECT_EQ(subscriptions, 1);
}

TEST(RetryWhen, ThrowingHandlerDeliversItsErrorAndSubscribesNothing) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | retryWhen([](Ref<Observable<Error>>) -> Ref<Observable<Unit>> {
     throw TestError("handler");
   }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"error(handler)"}));
  EXPECT_EQ(source->subscriptionCount(), 0);
}

}  // namespace
}  // namespace rv
