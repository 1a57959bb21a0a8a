#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/Just.h"
#include "RvStreams/Map.h"
#include "RvStreams/Merge.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::elements;
using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;
using Inner = Ref<TestSource<int>>;

TEST(MergeArray, EmptyArrayCompletesAtOnce) {
  auto recorder = RecordingObserver<int>::create();
  merge(std::vector<Ref<Observable<int>>>{})->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST(MergeArray, SynchronousSourcesInOrderThenOneCompletion) {
  auto recorder = RecordingObserver<int>::create();
  merge(elements({1, 2}), elements({3}), just(4))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(),
            (Log{"next(1)", "next(2)", "next(3)", "next(4)", "completed"}));
}

TEST(MergeArray, CompletesWhenTheLastLiveSourceCompletes) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = merge(std::vector<Ref<TestSource<int>>>{a, b})->subscribe(recorder);
  a->onNext(1);
  b->onNext(2);
  a->onCompleted();
  EXPECT_EQ(recorder->completedCount(), 0);
  b->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
  d->dispose();
}

struct OuterFixture : ::testing::Test {
  Ref<TestSource<Inner>> outer = TestSource<Inner>::create();
  std::vector<Inner> inners;
  Ref<RecordingObserver<int>> recorder = RecordingObserver<int>::create();
  Ref<Disposable> subscription;

  Inner emitInner() {
    inners.push_back(TestSource<int>::create());
    outer->onNext(inners.back());
    return inners.back();
  }
  void TearDown() override {
    if (subscription) subscription->dispose();
  }
};

TEST_F(OuterFixture, MergeCompletesAfterOuterAndLastInner) {
  subscription = (outer | merge())->subscribe(recorder);
  auto a = emitInner();
  auto b = emitInner();
  a->onNext(1);
  outer->onCompleted();
  b->onNext(2);
  a->onCompleted();
  EXPECT_EQ(recorder->completedCount(), 0);
  b->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
}

TEST_F(OuterFixture, InnerErrorEndsEverything) {
  subscription = (outer | merge())->subscribe(recorder);
  auto a = emitInner();
  auto b = emitInner();
  a->onError(makeError("inner"));
  b->onNext(5);
  EXPECT_EQ(recorder->descriptions(), (Log{"error(inner)"}));
  EXPECT_EQ(outer->observerCount(), 0);
  EXPECT_EQ(b->observerCount(), 0);
}

TEST_F(OuterFixture, DisposingEndsOuterAndInnersAndDropsLateEvents) {
  subscription = (outer | merge())->subscribe(recorder);
  auto a = emitInner();
  subscription->dispose();
  a->onNext(1);
  EXPECT_TRUE(recorder->events().empty());
  EXPECT_EQ(outer->observerCount(), 0);
  EXPECT_EQ(a->observerCount(), 0);
}

TEST(FlatMap, SelectorFailingOnTheThirdElement) {
  auto source = TestSource<int>::create();
  std::vector<Inner> inners;
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | flatMap([&](const int& x) -> Inner {
              if (x == 3) throw TestError("selector");
              inners.push_back(TestSource<int>::create());
              return inners.back();
            }))->subscribe(recorder);
  source->onNext(1);
  source->onNext(2);
  inners[0]->onNext(10);
  inners[1]->onNext(20);
  source->onNext(3);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(10)", "next(20)", "error(selector)"}));
  EXPECT_EQ(inners[0]->observerCount(), 0);
  EXPECT_EQ(inners[1]->observerCount(), 0);
  d->dispose();
}

TEST(FlatMapFirst, DropsElementsWhileAnInnerIsActive) {
  auto source = TestSource<int>::create();
  std::vector<Inner> inners;
  std::vector<int> selected;
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | flatMapFirst([&](const int& x) {
              selected.push_back(x);
              inners.push_back(TestSource<int>::create());
              return inners.back();
            }))->subscribe(recorder);
  source->onNext(1);
  source->onNext(2);
  inners[0]->onNext(10);
  inners[0]->onCompleted();
  source->onNext(3);
  EXPECT_EQ(selected, (std::vector<int>{1, 3}));
  EXPECT_EQ(recorder->descriptions(), (Log{"next(10)"}));
  d->dispose();
}

TEST(ConcatMap, SubscribesOneAfterAnotherInOrder) {
  auto source = TestSource<int>::create();
  std::vector<Inner> inners{TestSource<int>::create(), TestSource<int>::create()};
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | concatMap([&](const int& x) {
              return inners[static_cast<size_t>(x)];
            }))->subscribe(recorder);
  source->onNext(0);
  source->onNext(1);
  EXPECT_EQ(inners[0]->subscriptionCount(), 1);
  EXPECT_EQ(inners[1]->subscriptionCount(), 0);
  inners[1]->onNext(99);  // not subscribed yet: lost
  inners[0]->onNext(1);
  inners[0]->onCompleted();
  EXPECT_EQ(inners[1]->subscriptionCount(), 1);
  inners[1]->onNext(2);
  source->onCompleted();
  inners[1]->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
  d->dispose();
}

TEST_F(OuterFixture, ConcatOfSequencesIsMergeWithLimitOne) {
  subscription = (outer | concat())->subscribe(recorder);
  auto a = emitInner();
  auto b = emitInner();
  EXPECT_EQ(b->subscriptionCount(), 0);
  a->onCompleted();
  EXPECT_EQ(b->subscriptionCount(), 1);
}

TEST_F(OuterFixture, MergeWithLimitTwoQueuesTheRest) {
  subscription = (outer | merge(2))->subscribe(recorder);
  for (int i = 0; i < 5; ++i) emitInner();
  auto subscribed = [&] {
    std::vector<int> counts;
    for (auto& inner : inners) counts.push_back(inner->subscriptionCount());
    return counts;
  };
  EXPECT_EQ(subscribed(), (std::vector<int>{1, 1, 0, 0, 0}));
  inners[1]->onCompleted();
  EXPECT_EQ(subscribed(), (std::vector<int>{1, 1, 1, 0, 0}));
  inners[0]->onCompleted();
  EXPECT_EQ(subscribed(), (std::vector<int>{1, 1, 1, 1, 0}));
  outer->onCompleted();
  inners[2]->onCompleted();
  inners[3]->onCompleted();
  EXPECT_EQ(subscribed(), (std::vector<int>{1, 1, 1, 1, 1}));
  EXPECT_EQ(recorder->completedCount(), 0);
  inners[4]->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST_F(OuterFixture, MergeWithLimitZeroQueuesEverythingAndCompletesWithTheOuter) {
  subscription = (outer | merge(0))->subscribe(recorder);
  emitInner();
  emitInner();
  EXPECT_EQ(inners[0]->subscriptionCount(), 0);
  EXPECT_EQ(inners[1]->subscriptionCount(), 0);
  outer->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST_F(OuterFixture, QueuedInnerStartsUnderTheLockAndMayEmitSynchronously) {
  auto sync = just(7);
  auto outerSeq = TestSource<Ref<Observable<int>>>::create();
  subscription = (outerSeq | merge(1))->subscribe(recorder);
  auto first = TestSource<int>::create();
  outerSeq->onNext(first);
  outerSeq->onNext(sync);
  first->onCompleted();  // starts `sync` while holding the lock: re-entry must work
  outerSeq->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(7)", "completed"}));
}

// concatMap used as a serial work queue: a long backlog of sequences that
// complete while being subscribed runs in order without deepening the stack.
TEST(MergeLimited, LongBacklogOfSynchronousInnersCompletesInOrder) {
  constexpr int kInners = 100'000;
  using Sequence = Ref<Observable<int>>;
  using ToSequence = std::function<Sequence(const int&)>;
  const std::vector<std::function<Sequence(Sequence, ToSequence)>> operators{
      [](Sequence outer, ToSequence f) { return outer | concatMap(f); },
      [](Sequence outer, ToSequence f) { return outer | map(f) | concat(); }};
  for (const auto& apply : operators) {
    auto outer = TestSource<int>::create();
    auto gate = TestSource<int>::create();  // holds the backlog back until it completes
    int last = -1;
    bool inOrder = true;
    bool completed = false;
    auto subscription = apply(outer, [&gate](const int& x) {
                          return x < 0 ? Sequence(gate) : just(x);
                        })->subscribe(makeAnonymousObserver<int>([&](const Event<int>& e) {
      if (const int* x = e.element()) {
        inOrder = inOrder && *x == last + 1;
        last = *x;
      } else {
        completed = e.isCompleted();
      }
    }));
    outer->onNext(-1);
    for (int i = 0; i < kInners; ++i) outer->onNext(i);
    outer->onCompleted();
    gate->onCompleted();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(last, kInners - 1);
    EXPECT_TRUE(completed);
    subscription->dispose();
  }
}

}  // namespace
}  // namespace rv
