#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RvStreams/Catch.h"
#include "RvStreams/Create.h"
#include "RvStreams/Just.h"
#include "RvStreams/Map.h"
#include "RvStreams/TailRecursiveSink.h"
#include "RvStreamsTest/DeepChain.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::elements;
using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

// A source that fails with `text` after sending `values`, counting its
// subscriptions and how deeply they nest on the stack.
struct FailingSource {
  int subscriptions = 0;
  int depth = 0;
  int maxDepth = 0;
  Ref<Observable<int>> make(std::vector<int> values, std::string text) {
    return create<int>([this, values, text](AnyObserver<int> o) -> Ref<Disposable> {
      ++subscriptions;
      ++depth;
      if (depth > maxDepth) maxDepth = depth;
      for (int v : values) o.onNext(v);
      o.onError(makeError(text));
      --depth;
      return Disposables::create();
    });
  }
};

// The smallest operator on the engine: plays sources one after another and
// passes errors through. Its iterator counts the requests made of it.
struct CountingIterator {
  std::vector<Ref<Observable<int>>> sources;
  std::size_t index = 0;
  int* requests;
  std::optional<Ref<Observable<int>>> next() {
    ++*requests;
    if (index >= sources.size()) return std::nullopt;
    return sources[index++];
  }
};

class PlayInOrderSink final : public TailRecursiveSink<int, CountingIterator>,
                              public ObserverType<int> {
 public:
  using TailRecursiveSink::TailRecursiveSink;
  void on(const Event<int>& event) noexcept override {
    if (event.isNext()) {
      forwardOn(event);
    } else if (event.isCompleted()) {
      schedule(TailRecursiveSinkCommand::moveNext);
    } else {
      forwardStop(event);
    }
  }

 protected:
  std::optional<SequenceGenerator> extract(const Ref<Observable<int>>&) override {
    return std::nullopt;
  }
  Ref<Disposable> subscribeToNext(const Ref<Observable<int>>& source) override {
    return source->subscribe(std::static_pointer_cast<PlayInOrderSink>(shared_from_this()));
  }
};

class PlayInOrder final : public Producer<int> {
 public:
  PlayInOrder(std::vector<Ref<Observable<int>>> sources, std::optional<int64_t> remaining,
              int* requests)
      : sources_(std::move(sources)), remaining_(remaining), requests_(requests) {}

 protected:
  SinkAndSubscription run(Ref<ObserverType<int>> observer, Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<PlayInOrderSink>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = sink->run({{sources_, 0, requests_}, remaining_});
    return {std::move(sink), std::move(subscription)};
  }

 private:
  std::vector<Ref<Observable<int>>> sources_;
  std::optional<int64_t> remaining_;
  int* requests_;
};

TEST(TailRecursiveSink, EmptySequenceEndsAtOnceWithoutSubscribing) {
  int requests = 0;
  auto recorder = RecordingObserver<int>::create();
  std::make_shared<PlayInOrder>(std::vector<Ref<Observable<int>>>{}, std::nullopt, &requests)
      ->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
  EXPECT_EQ(requests, 1);
}

TEST(TailRecursiveSink, KnownLengthGeneratorIsDroppedAfterItsLastSource) {
  int requests = 0;
  auto recorder = RecordingObserver<int>::create();
  std::make_shared<PlayInOrder>(std::vector<Ref<Observable<int>>>{elements({1})}, 1, &requests)
      ->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));
  EXPECT_EQ(requests, 1);  // not asked again once its last source was taken

  int unknown = 0;
  auto second = RecordingObserver<int>::create();
  std::make_shared<PlayInOrder>(std::vector<Ref<Observable<int>>>{elements({1})}, std::nullopt,
                                &unknown)
      ->subscribe(second);
  EXPECT_EQ(second->descriptions(), (Log{"next(1)", "completed"}));
  EXPECT_EQ(unknown, 2);  // kept on the stack until it yields nothing
}

TEST(TailRecursiveSink, SynchronousFinishDoesNotNestTheNextSubscription) {
  int depth = 0;
  int maxDepth = 0;
  auto source = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    maxDepth = std::max(maxDepth, ++depth);
    o.onNext(depth);
    o.onCompleted();
    --depth;
    return Disposables::create();
  });
  int requests = 0;
  std::vector<Ref<Observable<int>>> sources(1000, source);
  auto recorder = RecordingObserver<int>::create();
  std::make_shared<PlayInOrder>(sources, std::nullopt, &requests)->subscribe(recorder);
  EXPECT_EQ(maxDepth, 1);
  EXPECT_EQ(recorder->elements().size(), 1000u);
  EXPECT_EQ(recorder->completedCount(), 1);
}

TEST(TailRecursiveSink, DisposeEndsTheCurrentSourceAndStopsMoving) {
  auto first = TestSource<int>::create();
  auto second = TestSource<int>::create();
  int requests = 0;
  auto recorder = RecordingObserver<int>::create();
  auto d = std::make_shared<PlayInOrder>(std::vector<Ref<Observable<int>>>{first, second},
                                         std::nullopt, &requests)
               ->subscribe(recorder);
  first->onNext(1);
  d->dispose();
  EXPECT_EQ(first->disposeCount(), 1);
  first->onNext(2);
  first->onCompleted();
  EXPECT_EQ(second->subscriptionCount(), 0);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)"}));
}

TEST(CatchAndReturn, ElementsThenTheReplacementThenCompleted) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | catchAndReturn(9))->subscribe(recorder);
  source->onNext(1);
  source->onError(makeError());
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(9)", "completed"}));
  d->dispose();
}

TEST(CatchSequence, EmptySequenceCompletesAtOnce) {
  auto recorder = RecordingObserver<int>::create();
  catchError(std::vector<Ref<Observable<int>>>{})->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST(CatchSequence, AllFailingDeliversEveryElementThenOnlyTheLastError) {
  FailingSource failing;
  auto recorder = RecordingObserver<int>::create();
  catchError(std::vector<Ref<Observable<int>>>{failing.make({1}, "a"), failing.make({2}, "b"),
                                               failing.make({3}, "c")})
      ->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "next(3)", "error(c)"}));
  EXPECT_EQ(failing.maxDepth, 1);
}

TEST(CatchSequence, FirstSourceToCompleteEndsTheOutput) {
  FailingSource failing;
  auto never = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  catchError(std::vector<Ref<Observable<int>>>{failing.make({1}, "a"), elements({2}), never})
      ->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
  EXPECT_EQ(never->subscriptionCount(), 0);
}

TEST(CatchSequence, NestedSequencesAreDrainedInPlace) {
  FailingSource failing;
  auto inner =
      catchError(std::vector<Ref<Observable<int>>>{failing.make({1}, "a"), failing.make({2}, "b")});
  auto recorder = RecordingObserver<int>::create();
  catchError(std::vector<Ref<Observable<int>>>{inner, failing.make({3}, "c")})->subscribe(recorder);
  // Flattened: the inner sequence's last error does not end the outer one.
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "next(3)", "error(c)"}));
}

// Every form drains nested ones of its own form in place.
TEST(CatchSequence, DeeplyNestedSequencesAreLetGoWithoutDeepeningTheStack) {
  test::expectDeepChainLetGoFlat(test::Nesting::catchSources);
  test::expectDeepChainLetGoFlat(test::Nesting::retry);
  test::expectDeepChainLetGoFlat(test::Nesting::retryCount);
}

TEST(CatchSequence, AsynchronousFailureMovesToTheNextSource) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = catchError(std::vector<Ref<TestSource<int>>>{a, b})->subscribe(recorder);
  a->onNext(1);
  EXPECT_EQ(b->subscriptionCount(), 0);
  a->onError(makeError("a"));
  EXPECT_EQ(a->observerCount(), 0);
  b->onNext(2);
  b->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
}

TEST(Retry, CountZeroCompletesWithoutSubscribing) {
  FailingSource failing;
  auto recorder = RecordingObserver<int>::create();
  (failing.make({}, "x") | retry(0))->subscribe(recorder);
  EXPECT_EQ(failing.subscriptions, 0);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST(Retry, CountOneDeliversTheOnlyError) {
  FailingSource failing;
  auto recorder = RecordingObserver<int>::create();
  (failing.make({1}, "x") | retry(1))->subscribe(recorder);
  EXPECT_EQ(failing.subscriptions, 1);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "error(x)"}));
}

TEST(Retry, CountThreeSubscribesThreeTimesThenFails) {
  FailingSource failing;
  auto recorder = RecordingObserver<int>::create();
  (failing.make({7}, "x") | retry(3))->subscribe(recorder);
  EXPECT_EQ(failing.subscriptions, 3);
  EXPECT_EQ(failing.maxDepth, 1);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(7)", "next(7)", "next(7)", "error(x)"}));
}

TEST(Retry, CompletionStopsRetrying) {
  int subscriptions = 0;
  auto source = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    if (++subscriptions < 3) {
      o.onError(makeError());
    } else {
      o.onNext(subscriptions);
      o.onCompleted();
    }
    return Disposables::create();
  });
  auto recorder = RecordingObserver<int>::create();
  (source | retry())->subscribe(recorder);
  EXPECT_EQ(subscriptions, 3);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(3)", "completed"}));
}

TEST(Retry, EndlessRetryOfASynchronousFailureKeepsTheStackFlat) {
  FailingSource failing;
  auto source = failing.make({}, "x");
  auto recorder = RecordingObserver<int>::create();
  Ref<Disposable> subscription;
  // Gives up after many attempts by completing from inside the source.
  int attempts = 0;
  auto limited = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    if (++attempts == 20000) {
      o.onCompleted();
      return Disposables::create();
    }
    return source->subscribe(Ref<ObserverType<int>>(std::make_shared<AnyObserver<int>>(o)));
  });
  (limited | retry())->subscribe(recorder);
  EXPECT_EQ(attempts, 20000);
  EXPECT_EQ(failing.maxDepth, 1);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST(Retry, DisposingStopsFurtherAttempts) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | retry())->subscribe(recorder);
  source->onError(makeError());
  EXPECT_EQ(source->subscriptionCount(), 2);
  d->dispose();
  EXPECT_EQ(source->observerCount(), 0);
  source->onError(makeError());
  EXPECT_EQ(source->subscriptionCount(), 2);
  EXPECT_TRUE(recorder->events().empty());
}

class RetryDeathTest : public test::DeathTestBase {};

TEST_F(RetryDeathTest, NegativeCountStops) { EXPECT_DEATH(retry(-1), "count can't be negative"); }

}  // namespace
}  // namespace rv
