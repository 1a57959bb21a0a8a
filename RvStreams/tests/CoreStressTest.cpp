#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <optional>
#include <thread>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/Merge.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/WithLatestFrom.h"
#include "support/Recording.h"

namespace rv {
namespace {

using test::CountingDisposable;
using test::RecordingObserver;
using test::TestSource;

TEST(SinkDisposerStress, DisposeRacingRunDisposesSinkAndSubscriptionOnce) {
  for (int round = 0; round < 300; ++round) {
    auto resource = CountingDisposable::create();
    std::atomic<Ref<Disposable>*> published{nullptr};
    Ref<Disposable> subscription;
    std::barrier start(2);
    auto source = create<int>([&](AnyObserver<int>) -> Ref<Disposable> {
      start.arrive_and_wait();  // the other thread disposes while run is running
      return resource;
    });
    std::thread disposer([&] {
      start.arrive_and_wait();
      while (published.load() == nullptr) std::this_thread::yield();
      (*published.load())->dispose();
    });
    subscription = source->subscribe(RecordingObserver<int>::create());
    published.store(&subscription);
    disposer.join();
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

TEST(MergeStress, ArraySourcesCompletingOnOtherThreadsCompleteExactlyOnce) {
  for (int round = 0; round < 1000; ++round) {
    std::vector<std::thread> threads;
    std::vector<Ref<Observable<int>>> sources;
    for (int i = 0; i < 3; ++i) {
      sources.push_back(create<int>([&threads, i](AnyObserver<int> o) -> Ref<Disposable> {
        threads.emplace_back([o, i]() mutable {
          o.onNext(i);
          o.onCompleted();
        });
        return Disposables::create();
      }));
    }
    auto recorder = RecordingObserver<int>::create();
    auto d = merge(sources)->subscribe(recorder);
    for (auto& t : threads) t.join();
    EXPECT_EQ(recorder->completedCount(), 1);
    EXPECT_EQ(recorder->elements().size(), 3u);
    d->dispose();
  }
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
