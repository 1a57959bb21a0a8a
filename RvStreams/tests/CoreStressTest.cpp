#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <barrier>
#include <optional>
#include <semaphore>
#include <thread>
#include <utility>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/Merge.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/WithLatestFrom.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::CountingDisposable;
using test::RecordingObserver;
using test::TestSource;

// The other thread stops the sink (which disposes the subscription's
// disposer) while run returns and the pair is being set: whichever comes
// second disposes sink and subscription, exactly once.
TEST(SinkDisposerStress, DisposeRacingRunDisposesSinkAndSubscriptionOnce) {
  for (int round = 0; round < 300; ++round) {
    auto resource = CountingDisposable::create();
    std::optional<AnyObserver<int>> observer;
    std::barrier start(2);
    auto source = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
      observer = o;
      start.arrive_and_wait();
      return resource;
    });
    std::thread stopper([&] {
      start.arrive_and_wait();
      observer->onCompleted();
    });
    auto recorder = RecordingObserver<int>::create();
    auto subscription = source->subscribe(recorder);
    stopper.join();
    EXPECT_EQ(resource->count(), 1);
    EXPECT_EQ(recorder->completedCount(), 1);
    subscription->dispose();
    EXPECT_EQ(resource->count(), 1);
  }
}

TEST(SinkDisposerStress, DisposeDuringRunFromAnotherThread) {
  for (int round = 0; round < 300; ++round) {
    auto resource = CountingDisposable::create();
    std::optional<AnyObserver<int>> observer;
    std::barrier ready(2);
    auto source = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
      observer = o;
      ready.arrive_and_wait();  // the other thread stops the sink now
      ready.arrive_and_wait();
      return resource;
    });
    std::thread stopper([&] {
      ready.arrive_and_wait();
      observer->onCompleted();  // disposes the disposer before the pair is set
      ready.arrive_and_wait();
    });
    auto recorder = RecordingObserver<int>::create();
    source->subscribe(recorder);
    stopper.join();
    EXPECT_EQ(resource->count(), 1);
    EXPECT_EQ(recorder->completedCount(), 1);
  }
}

// Each source hands its observer to a worker of its own, which completes it
// while the merge may still be subscribing the later sources and making its
// final test.
TEST(MergeStress, ArraySourcesCompletingOnOtherThreadsCompleteExactlyOnce) {
  constexpr int kSources = 3;
  constexpr int kRounds = 1000;
  std::array<std::optional<AnyObserver<int>>, kSources> handed;
  std::array<std::binary_semaphore, kSources> go{std::binary_semaphore(0), std::binary_semaphore(0),
                                                 std::binary_semaphore(0)};
  std::counting_semaphore<kSources> finished(0);
  std::vector<std::thread> workers;
  for (int i = 0; i < kSources; ++i) {
    workers.emplace_back([&, i] {
      for (int round = 0; round < kRounds; ++round) {
        go[static_cast<size_t>(i)].acquire();
        AnyObserver<int> observer = *std::exchange(handed[static_cast<size_t>(i)], std::nullopt);
        observer.onNext(i);
        observer.onCompleted();
        finished.release();
      }
    });
  }
  std::vector<Ref<Observable<int>>> sources;
  for (int i = 0; i < kSources; ++i) {
    sources.push_back(create<int>([&, i](AnyObserver<int> o) -> Ref<Disposable> {
      handed[static_cast<size_t>(i)] = o;
      go[static_cast<size_t>(i)].release();
      return Disposables::create();
    }));
  }
  for (int round = 0; round < kRounds; ++round) {
    auto recorder = RecordingObserver<int>::create();
    auto d = merge(sources)->subscribe(recorder);
    for (int i = 0; i < kSources; ++i) finished.acquire();
    EXPECT_EQ(recorder->completedCount(), 1) << "round " << round;
    EXPECT_EQ(recorder->elements().size(), 3u) << "round " << round;
    d->dispose();
  }
  for (auto& worker : workers) worker.join();
}

TEST(MergeStress, InnerSequencesFromManyThreadsAreSerialised) {
  auto outer = TestSource<Ref<TestSource<int>>>::create();
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  int count = 0;
  auto d = subscribe(outer | merge(), {.onNext = [&](const int&) {
                       if (inside.fetch_add(1) != 0) overlapped = true;
                       ++count;
                       inside.fetch_sub(1);
                     }});
  std::vector<Ref<TestSource<int>>> inners;
  for (int i = 0; i < 4; ++i) {
    inners.push_back(TestSource<int>::create());
    outer->onNext(inners.back());
  }
  std::vector<std::thread> threads;
  for (auto& inner : inners) {
    threads.emplace_back([inner] {
      for (int i = 0; i < 2000; ++i) inner->onNext(i);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(overlapped.load());
  EXPECT_EQ(count, 8000);
  d->dispose();
}

TEST(WithLatestFromStress, BothInputsAreSerialisedOnOneLock) {
  auto first = TestSource<int>::create();
  auto second = TestSource<int>::create();
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  int outputs = 0;
  auto d = subscribe(first | withLatestFrom(second,
                                            [&](const int& f, const int& s) {
                                              if (inside.fetch_add(1) != 0) overlapped = true;
                                              inside.fetch_sub(1);
                                              return f + s;
                                            }),
                     {.onNext = [&](const int&) { ++outputs; }});
  second->onNext(0);
  std::thread a([&] {
    for (int i = 0; i < 5000; ++i) first->onNext(i);
  });
  std::thread b([&] {
    for (int i = 0; i < 5000; ++i) second->onNext(i);
  });
  a.join();
  b.join();
  EXPECT_FALSE(overlapped.load());
  EXPECT_EQ(outputs, 5000);
  d->dispose();
}

}  // namespace
}  // namespace rv
