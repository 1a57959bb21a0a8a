#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "TimerService.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/DispatchSource.h"
#include "dispatchTest/Waiting.h"

namespace dispatch {
namespace {

using testing::waitFor;

constexpr int64_t kMs = 1'000'000;

// Timers on a manual clock: `advance` delivers what is due on the test's
// thread, and a `sync` on the timer's serial queue waits until the handler
// runs it queued have run.
class ManualTimer : public ::testing::Test {
 protected:
  std::shared_ptr<DispatchSourceTimer> makeTimer(std::shared_ptr<DispatchQueue> onQueue = nullptr) {
    return std::make_shared<DispatchSourceTimer>(onQueue ? onQueue : queue, service);
  }
  DispatchTime at(int64_t millis) const {
    return DispatchTime(static_cast<uint64_t>(static_cast<int64_t>(start) + millis * kMs));
  }
  void advance(int64_t millis) {
    service->advance(millis * kMs);
    settle();
  }
  // Runs until no handler run is queued on `queue` any more.
  void settle() {
    for (int i = 0; i < 4; ++i) queue->sync([] {});
  }
  // Records each run's data on the queue.
  void recordRuns(const std::shared_ptr<DispatchSourceTimer>& timer) {
    std::weak_ptr<DispatchSourceTimer> weak = timer;
    timer->setEventHandler([this, weak] {
      std::lock_guard lock(mutex);
      runs.push_back(weak.lock()->data());
    });
  }
  std::vector<uint64_t> recorded() {
    std::lock_guard lock(mutex);
    return runs;
  }

  std::shared_ptr<detail::TimerService> service = detail::TimerService::makeManual();
  const uint64_t start = service->now();
  std::shared_ptr<DispatchQueue> queue = DispatchQueue::create("test.timer");
  std::mutex mutex;
  std::vector<uint64_t> runs;
};

TEST_F(ManualTimer, OneShotFiresOnceAtItsDeadline) {
  auto timer = makeTimer();
  recordRuns(timer);
  timer->schedule(at(100));
  timer->resume();
  advance(99);
  EXPECT_TRUE(recorded().empty());
  advance(1);
  EXPECT_EQ(recorded(), std::vector<uint64_t>{1});
  advance(10'000);
  EXPECT_EQ(recorded(), std::vector<uint64_t>{1});
  EXPECT_EQ(service->scheduledCount(), 0u);
}

TEST_F(ManualTimer, RepeatingFiresEachIntervalAndMergesMissedFirings) {
  auto timer = makeTimer();
  recordRuns(timer);
  timer->schedule(at(10), DispatchTimeInterval::milliseconds(10));
  timer->resume();
  advance(10);  // t = 10
  advance(10);  // t = 20
  EXPECT_EQ(recorded(), (std::vector<uint64_t>{1, 1}));
  // Late by more than two intervals: the firings at 30, 40 and 50 come as
  // one run standing for three, and the timer keeps its phase.
  advance(35);  // t = 55
  EXPECT_EQ(recorded(), (std::vector<uint64_t>{1, 1, 3}));
  advance(4);  // t = 59
  EXPECT_EQ(recorded().size(), 3u);
  advance(1);  // t = 60
  EXPECT_EQ(recorded(), (std::vector<uint64_t>{1, 1, 3, 1}));
}

TEST_F(ManualTimer, NeverAndPastDeadlines) {
  auto never = makeTimer();
  recordRuns(never);
  never->schedule(DispatchTime::distantFuture(), DispatchTimeInterval::milliseconds(1));
  never->resume();
  EXPECT_EQ(service->scheduledCount(), 0u);
  // A deadline far ahead but short of the distant future still never comes.
  auto far = makeTimer();
  far->schedule(at(0) + DispatchTimeInterval::seconds(INT64_MAX));
  far->resume();
  advance(1'000'000'000);
  EXPECT_TRUE(recorded().empty());

  // A negative delay fires at the first chance.
  auto late = makeTimer();
  recordRuns(late);
  late->schedule(at(0) + DispatchTimeInterval::milliseconds(-5));
  late->resume();
  advance(0);
  EXPECT_EQ(recorded(), std::vector<uint64_t>{1});
}

TEST_F(ManualTimer, NothingFiresBeforeResumeAndAPassedDeadlineFiresAtResume) {
  auto timer = makeTimer();
  recordRuns(timer);
  timer->schedule(at(5));
  advance(50);
  EXPECT_TRUE(recorded().empty());
  timer->resume();
  advance(0);
  EXPECT_EQ(recorded(), std::vector<uint64_t>{1});
}

TEST_F(ManualTimer, RescheduleReplacesTheEarlierDeadline) {
  auto timer = makeTimer();
  recordRuns(timer);
  timer->schedule(at(10));
  timer->resume();
  timer->schedule(at(30));
  advance(20);
  EXPECT_TRUE(recorded().empty());
  advance(10);
  EXPECT_EQ(recorded(), std::vector<uint64_t>{1});
  EXPECT_EQ(service->scheduledCount(), 0u);
}

TEST_F(ManualTimer, CancelStopsFurtherRunsAndReleasesTheHandler) {
  auto timer = makeTimer();
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> watch = captured;
  timer->setEventHandler([captured] { ++*captured; });
  captured.reset();
  timer->schedule(at(10), DispatchTimeInterval::milliseconds(10));
  timer->resume();
  advance(10);
  EXPECT_EQ(*watch.lock(), 1);
  timer->cancel();
  EXPECT_TRUE(timer->isCancelled());
  EXPECT_TRUE(watch.expired());
  advance(100);
  EXPECT_EQ(service->scheduledCount(), 0u);

  // A cancelled timer ignores a new schedule, handler and resume.
  int late = 0;
  timer->setEventHandler([&] { ++late; });
  timer->schedule(at(200));
  timer->resume();
  advance(200);
  EXPECT_EQ(late, 0);
  EXPECT_EQ(service->scheduledCount(), 0u);
}

TEST_F(ManualTimer, CancelSkipsARunAlreadyQueued) {
  auto timer = makeTimer();
  recordRuns(timer);
  timer->schedule(at(1));
  timer->resume();
  DispatchSemaphore gate(0);
  DispatchSemaphore holding(0);
  queue->async([&] {
    holding.signal();
    gate.wait();
  });
  ASSERT_TRUE(waitFor(holding));
  service->advance(1 * kMs);  // the run waits behind the blocked block
  timer->cancel();
  gate.signal();
  settle();
  EXPECT_TRUE(recorded().empty());
}

TEST_F(ManualTimer, HandlerNeverOverlapsItselfAndMergesFiringsWhileItRuns) {
  auto concurrent =
      DispatchQueue::create("test.timer.concurrent", {}, DispatchQueue::Attributes::concurrent);
  auto timer = makeTimer(concurrent);
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  DispatchSemaphore entered(0);
  DispatchSemaphore release(0);
  DispatchSemaphore ran(0);
  std::vector<uint64_t> data;  // written by the handler, which never overlaps
  timer->setEventHandler([&] {
    if (inside.fetch_add(1) != 0) ++overlaps;
    data.push_back(timer->data());
    if (data.size() == 1) {
      entered.signal();
      release.wait();
    }
    inside.fetch_sub(1);
    ran.signal();
  });
  timer->schedule(at(1), DispatchTimeInterval::milliseconds(1));
  timer->resume();
  service->advance(1 * kMs);
  ASSERT_TRUE(waitFor(entered));
  for (int i = 0; i < 5; ++i) service->advance(1 * kMs);  // five firings while it runs
  release.signal();
  ASSERT_TRUE(waitFor(ran));
  ASSERT_TRUE(waitFor(ran));
  timer->cancel();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(data, (std::vector<uint64_t>{1, 5}));
}

TEST_F(ManualTimer, ZeroIntervalRunsBackToBackUntilCancelled) {
  auto timer = makeTimer();
  int runsSeen = 0;
  DispatchSemaphore fifth(0);
  timer->setEventHandler([&] {
    if (++runsSeen == 5) {
      timer->cancel();
      fifth.signal();
    }
  });
  timer->schedule(at(1), DispatchTimeInterval::nanoseconds(0));
  timer->resume();
  advance(0);
  EXPECT_EQ(runsSeen, 0);
  service->advance(1 * kMs);
  ASSERT_TRUE(waitFor(fifth));
  settle();
  EXPECT_EQ(runsSeen, 5);
  EXPECT_EQ(service->scheduledCount(), 0u);
}

TEST_F(ManualTimer, DroppingTheLastReferenceStopsTheTimer) {
  auto timer = makeTimer();
  timer->setEventHandler([] {});
  timer->schedule(at(10), DispatchTimeInterval::milliseconds(10));
  timer->resume();
  EXPECT_EQ(service->scheduledCount(), 1u);
  timer.reset();
  EXPECT_EQ(service->scheduledCount(), 0u);
  advance(100);
}

TEST_F(ManualTimer, DelayedBlocksRunInDeadlineOrderAndTiesInSubmissionOrder) {
  std::vector<int> order;  // touched by the serial queue only
  service->submitAt(at(30), queue, [&] { order.push_back(3); });
  service->submitAt(at(10), queue, [&] { order.push_back(1); });
  service->submitAt(at(20), queue, [&] { order.push_back(2); });
  service->submitAt(at(20), queue, [&] { order.push_back(22); });
  service->submitAt(DispatchTime::distantFuture(), queue, [&] { order.push_back(99); });
  EXPECT_EQ(service->scheduledCount(), 4u);
  advance(15);
  EXPECT_EQ(order, std::vector<int>{1});
  advance(1000);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 22, 3}));
}

// The shared timer thread, on the real clock.

TEST(DispatchTimer, AsyncAfterRunsNoEarlierThanItsDeadline) {
  auto queue = DispatchQueue::create("test.after");
  DispatchSemaphore done(0);
  const DispatchTime deadline = DispatchTime::now() + DispatchTimeInterval::milliseconds(2);
  DispatchTime ranAt;
  queue->asyncAfter(deadline, [&] {
    ranAt = DispatchTime::now();
    done.signal();
  });
  ASSERT_TRUE(waitFor(done));
  EXPECT_GE(ranAt, deadline);

  queue->asyncAfter(DispatchTime::now() + DispatchTimeInterval::seconds(-3),
                    [&] { done.signal(); });
  ASSERT_TRUE(waitFor(done));
}

TEST(DispatchTimer, TimerSourceOnTheSharedClockRepeatsUntilCancelled) {
  auto queue = DispatchQueue::create("test.realtimer");
  auto timer = DispatchSource::makeTimerSource(queue);
  DispatchSemaphore tick(0);
  std::atomic<uint64_t> total{0};
  timer->setEventHandler([&] {
    total += timer->data();
    tick.signal();
  });
  timer->schedule(DispatchTime::now(), DispatchTimeInterval::microseconds(500));
  timer->resume();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(waitFor(tick));
  timer->cancel();
  queue->sync([] {});
  const uint64_t atCancel = total.load();
  EXPECT_GE(atCancel, 3u);
  // Handlers already finished; none starts after the queue has drained.
  queue->sync([] {});
  EXPECT_EQ(total.load(), atCancel);
}

TEST(DispatchTimer, SourcesDefaultToTheMainQueue) {
  auto timer = DispatchSource::makeTimerSource();
  EXPECT_EQ(timer->queue(), DispatchQueue::main());
}

}  // namespace
}  // namespace dispatch
