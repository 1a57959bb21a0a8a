#include <dispatch/DispatchQueue.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "RvCocoa/ObservableBind.h"
#include "RvCocoa/SharedSequenceConversions.h"
#include "RvRelay/PublishRelay.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/SerialDispatchQueueScheduler.h"
#include "RvStreamsTest/TestKit.h"
#include "async/Async.h"

namespace rv {
namespace {

// A Signal fed from several threads delivers every element once, serially,
// in each producer's order, while subscribers come and go.
TEST(SharedSequenceStress, RelaySignalFedFromManyThreads) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 300;
  auto queue = dispatch::DispatchQueue::create("shared.stress");
  auto scheduler = SerialDispatchQueueScheduler::create(queue);
  auto relay = PublishRelay<std::pair<int, int>>::create();
  std::optional<Signal<std::pair<int, int>>> signal;
  SharingScheduler::mock(scheduler, [&] { signal = relay | rv::asSignal(); });

  std::mutex mutex;
  std::map<int, int> lastSeen;
  bool inOrder = true;
  std::atomic<int> delivered{0};
  std::atomic<int> inside{0};
  bool overlapped = false;
  auto keep = rv::subscribe(
      signal->asObservable(),
      SubscribeHandlers<std::pair<int, int>>{.onNext = [&](const std::pair<int, int>& e) {
        if (inside.fetch_add(1) != 0) overlapped = true;
        {
          std::lock_guard<std::mutex> guard(mutex);
          auto it = lastSeen.find(e.first);
          if (it != lastSeen.end() && it->second >= e.second) inOrder = false;
          lastSeen[e.first] = e.second;
        }
        inside.fetch_sub(1);
        delivered.fetch_add(1);
      }});

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) relay->accept({t, i});
    });
  }
  // Transient subscribers joining and leaving while elements flow.
  threads.emplace_back([&] {
    for (int i = 0; i < 100; ++i) {
      auto d = signal->asObservable()->subscribe(
          makeAnonymousObserver<std::pair<int, int>>([](const auto&) {}));
      d->dispose();
    }
  });
  for (auto& thread : threads) thread.join();
  queue->sync([] {});  // everything scheduled before has been delivered
  keep->dispose();

  EXPECT_EQ(delivered.load(), kThreads * kPerThread);
  EXPECT_TRUE(inOrder);
  EXPECT_FALSE(overlapped) << "delivery is serial on the scheduler";
}

// emit and bindTo subscribe and dispose on several threads while elements
// flow in from others: a subscriber present throughout sees every element
// once, and the transient ones neither block nor break delivery.
TEST(SharedSequenceStress, EmitAndBindWhileElementsFlowFromManyThreads) {
  constexpr int kProducers = 3;
  constexpr int kPerProducer = 300;
  auto queue = dispatch::DispatchQueue::create("shared.stress.emit");
  auto scheduler = SerialDispatchQueueScheduler::create(queue);
  auto relay = PublishRelay<int>::create();
  std::optional<Signal<int>> signal;
  SharingScheduler::mock(scheduler, [&] { signal = relay | rv::asSignal(); });
  auto out = PublishRelay<int>::create();

  std::atomic<int> delivered{0};
  auto keep = signal->emit({.onNext = [&](const int&) { delivered.fetch_add(1); }});
  std::vector<std::thread> threads;
  for (int t = 0; t < kProducers; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerProducer; ++i) relay->accept(i);
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        auto emitted = signal->emit(out);
        auto bound = signal->asInfallible() | rv::bindTo(out);
        emitted->dispose();
        bound->dispose();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  queue->sync([] {});
  keep->dispose();
  EXPECT_EQ(delivered.load(), kProducers * kPerProducer);
}

// Readers of the scheduler factory on many threads at once.
TEST(SharedSequenceStress, ConcurrentConversionsReadTheFactorySafely) {
  auto queue = dispatch::DispatchQueue::create("shared.stress.readers");
  auto scheduler = SerialDispatchQueueScheduler::create(queue);
  SharingScheduler::mock(scheduler, [&] {
    std::atomic<int> same{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
          auto subject = PublishSubject<int>::create();
          auto driver = subject | rv::asDriverOnErrorJustReturn(0);
          if (SharingScheduler::make() == scheduler) same.fetch_add(1);
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(same.load(), 800);
  });
}

// Cancelling the consumer while the sequence completes: one of the two ends
// the stream, the subscription is released either way, nothing is lost
// twice.
TEST(SharedSequenceStress, ValuesCancelRacingCompletion) {
  async::ManualExecutor executor;
  for (int round = 0; round < 200; ++round) {
    auto subject = PublishSubject<int>::create();
    Signal<int> signal(subject);
    auto stream = signal.values();
    auto consume = [](async::AsyncStream<int> s) -> async::Task<int> {
      int n = 0;
      auto it = s.makeAsyncIterator();
      while (co_await it.next()) ++n;
      co_return n;
    };
    auto handle = async::spawn(consume(std::move(stream)), executor);
    executor.runUntilIdle();
    subject->onNext(1);
    std::thread canceller([&] { handle.cancel(); });
    std::thread completer([&] { subject->onCompleted(); });
    canceller.join();
    completer.join();
    executor.runUntilIdle();
    EXPECT_LE(async::syncWait(handle), 1);
  }
}

}  // namespace
}  // namespace rv
