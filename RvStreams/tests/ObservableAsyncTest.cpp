#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "RvStreams/ObservableAsync.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/Recording.h"
#include "async/Async.h"
#include "asyncTest/Drain.h"

namespace rv {
namespace {

using async::ManualExecutor;
using async::Task;
using async::test::drain;
using test::RecordingObserver;
using test::TestSource;

using Seen = std::vector<std::string>;

TEST(ObservableValues, ElementsThenTheEnd) {
  ManualExecutor executor;
  EXPECT_EQ(async::syncWait(drain(values(test::elements({1, 2, 3}))), executor),
            (Seen{"1", "2", "3", "end"}))
      << "elements that arrived before the first iteration step are buffered";
}

TEST(ObservableValues, SummedInALoop) {
  auto sum = [](async::AsyncThrowingStream<int> stream) -> Task<int> {
    int total = 0;
    auto it = stream.makeAsyncIterator();
    while (auto element = co_await it.next()) total += *element;
    co_return total;
  };
  ManualExecutor executor;
  EXPECT_EQ(async::syncWait(sum(values(test::elements({1, 2, 3, 4}))), executor), 10);
}

TEST(ObservableValues, ErrorIsThrownAfterTheElementsBeforeIt) {
  ManualExecutor executor;
  auto source = TestSource<int>::create();
  auto handle = async::spawn(drain(values(source)), executor);
  executor.runUntilIdle();
  source->onNext(1);
  source->onError(test::makeError("broken"));
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), (Seen{"1", "error broken"}));
}

TEST(ObservableValues, SubscribesWhenReadAndAnewForEachRead) {
  auto source = TestSource<int>::create();
  auto first = values(source);
  EXPECT_EQ(source->subscriptionCount(), 1);
  auto second = values(source);
  EXPECT_EQ(source->subscriptionCount(), 2);
  source->onNext(5);
  source->onCompleted();
  ManualExecutor executor;
  EXPECT_EQ(async::syncWait(drain(first), executor), (Seen{"5", "end"}));
  EXPECT_EQ(async::syncWait(drain(second), executor), (Seen{"5", "end"}));
}

TEST(ObservableValues, CancellingTheIteratingTaskDisposesTheSubscription) {
  ManualExecutor executor;
  auto source = TestSource<int>::create();
  auto handle = async::spawn(drain(values(source)), executor);
  executor.runUntilIdle();
  source->onNext(1);
  executor.runUntilIdle();
  EXPECT_EQ(source->disposeCount(), 0);
  std::thread([&] { handle.cancel(); }).join();
  EXPECT_EQ(source->disposeCount(), 1);
  EXPECT_EQ(source->observerCount(), 0);
  executor.runUntilIdle();
  // The stream was cancelled first: the disposal's cancellation error is not
  // seen by anyone, the iteration just ends.
  EXPECT_EQ(async::syncWait(handle), (Seen{"1", "end"}));
}

TEST(ObservableValues, DroppingTheStreamUnsubscribesButAFinishedOneLeavesItAlone) {
  auto source = TestSource<int>::create();
  { auto stream = values(source); }
  EXPECT_EQ(source->disposeCount(), 1);

  int disposals = 0;
  auto counted = rv::create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    o.onNext(1);
    o.onCompleted();
    return Disposables::create([&] { ++disposals; });
  });
  { auto stream = values(counted); }
  EXPECT_EQ(disposals, 1) << "the completed source tore its subscription down once, by itself";
}

// An async sequence of the given elements, optionally failing at the end.
struct ListSequence {
  std::vector<int> elements;
  std::optional<std::string> failure;
  std::optional<async::AsyncThrowingStream<int>::Continuation>* parked = nullptr;

  struct Iterator {
    async::AsyncThrowingStream<int> stream;
    async::AsyncThrowingStream<int>::Iterator inner;
    auto next() { return inner.next(); }
  };
  Iterator makeAsyncIterator() const {
    async::AsyncThrowingStream<int> stream([this](auto c) {
      for (int e : elements) c.yield(e);
      if (parked != nullptr) {
        parked->emplace(c);
      } else if (failure) {
        c.finish(std::make_exception_ptr(std::runtime_error(*failure)));
      } else {
        c.finish();
      }
    });
    auto inner = stream.makeAsyncIterator();
    return Iterator{stream, inner};
  }
};
static_assert(async::AsyncSequence<ListSequence>);

TEST(AsyncSequenceAsObservable, ElementsAndCompletionFromATask) {
  ManualExecutor executor;
  auto observable = asObservable(ListSequence{{1, 2, 3}, std::nullopt}, executor);
  auto observer = RecordingObserver<int>::create();
  auto subscription = observable->subscribe(observer);
  EXPECT_TRUE(observer->events().empty()) << "the task runs on the executor, not in subscribe";
  executor.runUntilIdle();
  EXPECT_EQ(observer->events(), (std::vector<Event<int>>{test::next(1), test::next(2),
                                                         test::next(3), test::completed<int>()}));

  // Each subscription iterates anew.
  auto again = RecordingObserver<int>::create();
  auto second = observable->subscribe(again);
  executor.runUntilIdle();
  EXPECT_EQ(again->elements(), (std::vector<int>{1, 2, 3}));
}

TEST(AsyncSequenceAsObservable, FailuresBecomeErrorEventsCancellationErrorsToo) {
  ManualExecutor executor;
  auto observer = RecordingObserver<int>::create();
  auto s1 = asObservable(ListSequence{{1}, "bad"}, executor)->subscribe(observer);
  executor.runUntilIdle();
  EXPECT_EQ(observer->descriptions().size(), 2u);
  EXPECT_EQ(observer->elements(), std::vector<int>{1});
  EXPECT_EQ(observer->stopCount(), 1);
  EXPECT_EQ(observer->completedCount(), 0);

  // A sequence whose next step throws the runtime's cancellation error.
  struct Cancelling {
    struct Iterator {
      Task<std::optional<int>> next() {
        throw async::CancellationError();
        co_return std::nullopt;
      }
    };
    Iterator makeAsyncIterator() const { return {}; }
  };
  auto cancelled = RecordingObserver<int>::create();
  auto s2 = asObservable(Cancelling{}, executor)->subscribe(cancelled);
  executor.runUntilIdle();
  const std::vector<Event<int>> events = cancelled->events();
  ASSERT_EQ(events.size(), 1u);
  const Error* error = events[0].error();
  ASSERT_NE(error, nullptr) << "a cancellation error is an error, not a completion";
  EXPECT_THROW(std::rethrow_exception(*error), async::CancellationError);
}

TEST(AsyncSequenceAsObservable, DisposingCancelsTheTaskAndDropsWhatFollows) {
  ManualExecutor executor;
  std::optional<async::AsyncThrowingStream<int>::Continuation> parked;
  ListSequence sequence{{1}, std::nullopt};
  sequence.parked = &parked;
  auto observer = RecordingObserver<int>::create();
  auto subscription = asObservable(sequence, executor)->subscribe(observer);
  executor.runUntilIdle();
  EXPECT_EQ(observer->elements(), std::vector<int>{1});
  ASSERT_TRUE(parked.has_value());
  subscription->dispose();
  // The cancelled task ended the sequence's iteration; the stream refuses more.
  EXPECT_EQ(parked->yield(2), async::YieldResult::terminated);
  executor.runUntilIdle();
  EXPECT_EQ(observer->events(), std::vector<Event<int>>{test::next(1)})
      << "the completion the task sends after disposal is dropped";
}

}  // namespace
}  // namespace rv
