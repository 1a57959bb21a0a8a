#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <latch>
#include <mutex>
#include <ranges>
#include <string>
#include <thread>
#include <vector>

#include "RvStreams/Concat.h"
#include "RvStreams/Create.h"
#include "RvStreams/Just.h"
#include "RvStreamsTest/DeepChain.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::CountingDisposable;
using test::elements;
using test::makeError;
using test::RecordingObserver;
using test::Subscription;
using test::TestScheduler;
using test::TestSource;
using Log = std::vector<std::string>;
using Sources = std::vector<Ref<Observable<int>>>;

// A range over `sources` that claims `claimed` elements when sized, or has no
// size at all: its iterator yields every source either way.
template <bool Sized>
struct FiveSources {
  // Without a size, the end is a sentinel the iterators cannot be subtracted
  // from, so the size stays unknown.
  struct End {
    Sources::const_iterator end;
    friend bool operator==(Sources::const_iterator it, const End& e) { return it == e.end; }
  };
  Sources sources;
  int64_t claimed = 0;
  auto begin() const { return sources.begin(); }
  auto end() const {
    if constexpr (Sized) {
      return sources.end();
    } else {
      return End{sources.end()};
    }
  }
  std::size_t size() const requires Sized { return static_cast<std::size_t>(claimed); }
};

Sources oneElementEach(int n) {
  Sources out;
  for (int i = 0; i < n; ++i) out.push_back(just(i));
  return out;
}

TEST(Concat, EmptyCollectionCompletesAtOnce) {
  auto recorder = RecordingObserver<int>::create();
  concat(Sources{})->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST(Concat, CollectionTakesExactlyItsCountSequenceTakesUntilExhausted) {
  static_assert(std::ranges::sized_range<const FiveSources<true>>);
  static_assert(!std::ranges::sized_range<const FiveSources<false>>);

  auto sized = RecordingObserver<int>::create();
  concat(FiveSources<true>{oneElementEach(5), 3})->subscribe(sized);
  EXPECT_EQ(sized->descriptions(), (Log{"next(0)", "next(1)", "next(2)", "completed"}));

  auto unsized = RecordingObserver<int>::create();
  concat(FiveSources<false>{oneElementEach(5)})->subscribe(unsized);
  EXPECT_EQ(unsized->elements(), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(unsized->completedCount(), 1);
}

// A lazy range of `count` sources, each made when the iterator reaches it.
struct MadeOnDemand {
  struct Iterator {
    using iterator_concept = std::forward_iterator_tag;
    using value_type = Ref<Observable<int>>;
    using difference_type = std::ptrdiff_t;
    int index = 0;
    int* made = nullptr;
    value_type operator*() const {
      ++*made;
      return just(index * 10);
    }
    Iterator& operator++() {
      ++index;
      return *this;
    }
    Iterator operator++(int) {
      Iterator old = *this;
      ++index;
      return old;
    }
    bool operator==(const Iterator& other) const { return index == other.index; }
  };
  int count = 0;
  int* made = nullptr;
  Iterator begin() const { return {0, made}; }
  Iterator end() const { return {count, made}; }
};

TEST(Concat, LazyRangeIsConvertedAsItIsWalkedAndAfreshPerSubscription) {
  static_assert(!std::ranges::sized_range<const MadeOnDemand>);
  int made = 0;
  auto concatenated = concat(MadeOnDemand{3, &made});
  EXPECT_EQ(made, 0);
  for (int round = 0; round < 2; ++round) {
    auto recorder = RecordingObserver<int>::create();
    concatenated->subscribe(recorder);
    EXPECT_EQ(recorder->descriptions(), (Log{"next(0)", "next(10)", "next(20)", "completed"}));
  }
  EXPECT_EQ(made, 6);
}

TEST(Concat, SourcesAreSubscribedOneAfterAnother) {
  auto scheduler = TestScheduler::create();
  auto a = scheduler->createColdObservable<int>(
      {test::nextAt(10, 1), test::nextAt(20, 2), test::completedAt<int>(30)});
  auto b = scheduler->createColdObservable<int>({test::nextAt(5, 3), test::completedAt<int>(10)});
  auto recorder = scheduler->start([&] { return concat(a, b, a); });
  EXPECT_EQ(recorder->recorded(),
            (std::vector<test::Recorded<int>>{test::nextAt(210, 1), test::nextAt(220, 2),
                                              test::nextAt(235, 3), test::nextAt(250, 1),
                                              test::nextAt(260, 2), test::completedAt<int>(270)}));
  EXPECT_EQ(a->subscriptions(), (std::vector<Subscription>{{200, 230}, {240, 270}}));
  EXPECT_EQ(b->subscriptions(), (std::vector<Subscription>{{230, 240}}));
}

TEST(Concat, OperatorFormIsTheSourceThenTheSecond) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2}) | concat(elements({3})))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "next(3)", "completed"}));
}

TEST(Concat, NestedConcatenationEmitsItsSourcesInPlace) {
  auto recorder = RecordingObserver<int>::create();
  auto inner = concat(elements({2}), elements({3}));
  concat(elements({1}), inner, elements({4}))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(),
            (Log{"next(1)", "next(2)", "next(3)", "next(4)", "completed"}));
}

// Left-nested concatenations are flattened onto one stack: subscribing the
// innermost source happens no deeper than subscribing a plain concatenation,
// where a nested operator per level would take a thousand frames.
TEST(Concat, DeeplyNestedConcatenationsDoNotDeepenTheStack) {
  std::intptr_t deepest = 0;
  auto probe = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    deepest = reinterpret_cast<std::intptr_t>(__builtin_frame_address(0));
    o.onNext(0);
    o.onCompleted();
    return Disposables::create();
  });
  auto measure = [&](const Ref<Observable<int>>& sequence) {
    const auto top = reinterpret_cast<std::intptr_t>(__builtin_frame_address(0));
    auto recorder = RecordingObserver<int>::create();
    sequence->subscribe(recorder);
    EXPECT_EQ(recorder->completedCount(), 1);
    return top - deepest;
  };
  const std::intptr_t flat = measure(concat(probe, just(1)));

  Ref<Observable<int>> nested = probe;
  for (int i = 0; i < 1000; ++i) nested = concat(nested, just(i));
  const std::intptr_t deep = measure(nested);
  EXPECT_LE(deep, flat + 512);
}

TEST(Concat, DeeplyNestedConcatenationsAreLetGoWithoutDeepeningTheStack) {
  test::expectDeepChainLetGoFlat(test::Nesting::concat);
}

TEST(Concat, ThousandSynchronousSourcesKeepTheStackFlat) {
  int depth = 0;
  int maxDepth = 0;
  auto source = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    maxDepth = std::max(maxDepth, ++depth);
    o.onNext(depth);
    o.onCompleted();
    --depth;
    return Disposables::create();
  });
  auto recorder = RecordingObserver<int>::create();
  concat(Sources(1000, source))->subscribe(recorder);
  EXPECT_EQ(maxDepth, 1);
  EXPECT_EQ(recorder->elements().size(), 1000u);
  EXPECT_EQ(recorder->completedCount(), 1);
}

TEST(Concat, ErrorOfTheSecondEndsTheOutputAndTheThirdIsNeverSubscribed) {
  auto first = TestSource<int>::create();
  auto second = TestSource<int>::create();
  auto third = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = concat(first, second, third)->subscribe(recorder);
  first->onNext(1);
  first->onCompleted();
  second->onNext(2);
  second->onError(makeError("second"));
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "error(second)"}));
  EXPECT_EQ(second->observerCount(), 0);
  EXPECT_EQ(third->subscriptionCount(), 0);
  d->dispose();
}

TEST(Concat, DisposingDuringTheSecondEndsItAndNeverStartsTheThird) {
  auto first = TestSource<int>::create();
  auto second = TestSource<int>::create();
  auto third = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = concat(first, second, third)->subscribe(recorder);
  first->onCompleted();
  second->onNext(2);
  d->dispose();
  EXPECT_EQ(second->disposeCount(), 1);
  second->onNext(3);
  second->onCompleted();
  EXPECT_EQ(third->subscriptionCount(), 0);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(2)"}));
}

TEST(Concat, PreviousSubscriptionIsDisposedWhenTheNextStarts) {
  auto resource = CountingDisposable::create();
  auto first = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    o.onCompleted();
    return resource;
  });
  auto second = TestSource<int>::create();
  auto d = concat(first, second)->subscribe(RecordingObserver<int>::create());
  EXPECT_EQ(resource->count(), 1);
  EXPECT_EQ(second->observerCount(), 1);
  d->dispose();
}

// Each source completes on a thread of its own; the moves to the next source
// are serialised by the sink's gate.
TEST(ConcatStress, SourcesCompletingOnOtherThreadsPlayInOrder) {
  for (int round = 0; round < 50; ++round) {
    std::mutex threadsLock;
    std::vector<std::thread> threads;
    Sources sources;
    for (int i = 0; i < 4; ++i) {
      sources.push_back(create<int>([&, i](AnyObserver<int> o) -> Ref<Disposable> {
        std::lock_guard<std::mutex> guard(threadsLock);
        threads.emplace_back([o, i]() mutable {
          o.onNext(i);
          o.onCompleted();
        });
        return Disposables::create();
      }));
    }
    std::latch finished(1);
    auto recorder = RecordingObserver<int>::create();
    auto d = concat(sources)->subscribe(makeAnonymousObserver<int>([&](const Event<int>& e) {
      recorder->on(e);
      if (e.isStopEvent()) finished.count_down();
    }));
    finished.wait();
    {
      std::lock_guard<std::mutex> guard(threadsLock);
      for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(recorder->descriptions(),
              (Log{"next(0)", "next(1)", "next(2)", "next(3)", "completed"}));
    d->dispose();
  }
}

}  // namespace
}  // namespace rv
