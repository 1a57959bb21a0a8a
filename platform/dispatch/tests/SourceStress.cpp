#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "TimerService.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/DispatchSource.h"
#include "dispatch/TestSeams.h"
#include "dispatchTest/Waiting.h"

namespace dispatch {
namespace {

using testing::waitFor;

// Many firings from several threads into one source on a concurrent queue:
// the handler never overlaps and the counts it sees add up to every firing.
TEST(DispatchSourceStress, FiringsFromManyThreadsMergeWithoutOverlapOrLoss) {
  auto service = detail::TimerService::makeManual();
  auto queue = DispatchQueue::create("stress.source", {}, DispatchQueue::Attributes::concurrent);
  auto timer = std::make_shared<DispatchSourceTimer>(queue, service);
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<uint64_t> total{0};
  constexpr int kThreads = 4;
  constexpr int kEach = 2000;
  // Every nanosecond from the start to the end fires exactly once.
  constexpr uint64_t kExpected = kThreads * kEach + 1;
  DispatchSemaphore allSeen(0);
  // The signal is the run's last touch of this frame: the test may return
  // as soon as it is given.
  timer->setEventHandler([&] {
    if (inside.fetch_add(1) != 0) ++overlaps;
    const bool all = (total += timer->data()) == kExpected;
    inside.fetch_sub(1);
    if (all) allSeen.signal();
  });
  // A 1 ns period: every advance of the clock is one or more firings.
  timer->schedule(DispatchTime(service->now()), DispatchTimeInterval::nanoseconds(1));
  timer->resume();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) service->advance(1);
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(waitFor(allSeen));
  timer->cancel();
  EXPECT_EQ(total.load(), kExpected);
  EXPECT_EQ(overlaps.load(), 0);
}

// Timers made, armed, fired and cancelled from many threads on the shared
// timer thread; the dispatch layer must stay consistent (ThreadSanitizer
// checks the rest).
TEST(DispatchSourceStress, TimersCreatedAndCancelledConcurrently) {
  auto queue = DispatchQueue::create("stress.timers", {}, DispatchQueue::Attributes::concurrent);
  std::atomic<int> oneShotsFired{0};
  DispatchSemaphore fired(0);
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        // One that fires at once and one that is cancelled while it repeats.
        auto once = DispatchSource::makeTimerSource(queue);
        once->setEventHandler([&, once] {
          ++oneShotsFired;
          fired.signal();
          once->cancel();  // breaks the cycle through the handler
        });
        once->schedule(DispatchTime::now());
        once->resume();

        auto repeating = DispatchSource::makeTimerSource(queue);
        repeating->setEventHandler([] {});
        repeating->schedule(DispatchTime::now(), DispatchTimeInterval::microseconds(50));
        repeating->resume();
        std::this_thread::yield();
        repeating->cancel();

        queue->asyncAfter(DispatchTime::now() + DispatchTimeInterval::microseconds(i), [] {});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kThreads * kEach; ++i) ASSERT_TRUE(waitFor(fired));
  EXPECT_EQ(oneShotsFired.load(), kThreads * kEach);
}

TEST(DispatchSourceStress, MemoryPressureFromManyThreadsReachesEverySource) {
  constexpr int kSources = 8;
  constexpr int kEvents = 3;
  // Each source's own count, held by its handler: a run may still be going
  // (or start) after the test has seen every first run and returned.
  struct Runs {
    std::atomic<int> count{0};
    DispatchSemaphore first{0};
  };
  std::vector<std::shared_ptr<DispatchSourceMemoryPressure>> sources;
  std::vector<std::shared_ptr<Runs>> runs;
  for (int i = 0; i < kSources; ++i) {
    auto source = DispatchSource::makeMemoryPressureSource(MemoryPressureEvent::critical,
                                                           DispatchQueue::global());
    auto counted = runs.emplace_back(std::make_shared<Runs>());
    source->setEventHandler([counted] {
      if (counted->count.fetch_add(1) == 0) counted->first.signal();
    });
    source->resume();
    sources.push_back(source);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kEvents; ++t) {
    threads.emplace_back([] { simulateMemoryPressure(MemoryPressureEvent::critical); });
  }
  for (auto& thread : threads) thread.join();
  // Each source runs at least once and at most once per event.
  for (const auto& counted : runs) ASSERT_TRUE(waitFor(counted->first));
  for (auto& source : sources) source->cancel();
  for (const auto& counted : runs) EXPECT_LE(counted->count.load(), kEvents);
}

}  // namespace
}  // namespace dispatch
