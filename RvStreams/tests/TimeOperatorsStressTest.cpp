#include <dispatch/DispatchQueue.h>
#include <dispatch/DispatchSemaphore.h>
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <memory>
#include <thread>
#include <vector>

#include "RvStreams/ConcurrentDispatchQueueScheduler.h"
#include "RvStreams/Create.h"
#include "RvStreams/ObserveOn.h"
#include "RvStreams/SerialDispatchQueueScheduler.h"
#include "RvStreams/SubscribeOn.h"
#include "support/Recording.h"

namespace rv {
namespace {

using dispatch::DispatchQueue;
using dispatch::DispatchSemaphore;
using dispatch::DispatchTime;
using dispatch::DispatchTimeoutResult;
using test::TestSource;
using DTI = DispatchTimeInterval;

bool waitFor(DispatchSemaphore& semaphore) {
  return semaphore.wait(DispatchTime::now() + DTI::seconds(20)) == DispatchTimeoutResult::success;
}

// Checks that it is called one event at a time, with increasing elements.
class SerialChecker final : public ObserverType<int> {
 public:
  void on(const Event<int>& event) noexcept override {
    if (inside_.exchange(true)) overlapped_.store(true);
    if (const int* x = event.element()) {
      if (*x != last_ + 1) outOfOrder_.store(true);
      last_ = *x;
    } else {
      stopped_.signal();
    }
    inside_.store(false);
  }
  DispatchSemaphore& stopped() { return stopped_; }
  bool overlapped() const { return overlapped_.load(); }
  bool outOfOrder() const { return outOfOrder_.load(); }
  int last() const { return last_; }

 private:
  std::atomic<bool> inside_{false};
  std::atomic<bool> overlapped_{false};
  std::atomic<bool> outOfOrder_{false};
  int last_ = 0;  // touched only inside on(), which never overlaps when correct
  DispatchSemaphore stopped_{0};
};

TEST(ObserveOnStress, AConcurrentSchedulerDeliversSeriallyAndInOrder) {
  auto scheduler = ConcurrentDispatchQueueScheduler::create(
      DispatchQueue::create("observe.on.stress", dispatch::DispatchQoS::unspecified(),
                            DispatchQueue::Attributes::concurrent));
  constexpr int kRuns = 40;
  constexpr int kEvents = 400;
  for (int run = 0; run < kRuns; ++run) {
    auto source = TestSource<int>::create();
    auto checker = std::make_shared<SerialChecker>();
    auto subscription = (source | observeOn(scheduler))->subscribe(checker);
    std::thread producer([&] {
      for (int i = 1; i <= kEvents; ++i) source->onNext(i);
      source->onCompleted();
    });
    producer.join();
    ASSERT_TRUE(waitFor(checker->stopped()));
    EXPECT_FALSE(checker->overlapped());
    EXPECT_FALSE(checker->outOfOrder());
    EXPECT_EQ(checker->last(), kEvents);
    subscription->dispose();
  }
}

TEST(ObserveOnStress, DisposalRacingDeliveryKeepsDeliverySerial) {
  auto scheduler = ConcurrentDispatchQueueScheduler::create(
      DispatchQueue::create("observe.on.dispose", dispatch::DispatchQoS::unspecified(),
                            DispatchQueue::Attributes::concurrent));
  constexpr int kRuns = 100;
  for (int run = 0; run < kRuns; ++run) {
    auto source = TestSource<int>::create();
    auto checker = std::make_shared<SerialChecker>();
    auto subscription = (source | observeOn(scheduler))->subscribe(checker);
    std::barrier start(2);
    std::thread producer([&] {
      start.arrive_and_wait();
      for (int i = 1; i <= 200; ++i) source->onNext(i);
    });
    start.arrive_and_wait();
    subscription->dispose();
    producer.join();
    EXPECT_FALSE(checker->overlapped());
    EXPECT_FALSE(checker->outOfOrder());
    EXPECT_EQ(source->observerCount(), 0);
  }
}

TEST(SubscribeOnStress, EverySubscriptionMadeOnTheQueueIsDisposedThere) {
  auto queue = DispatchQueue::create("subscribe.on.stress");
  auto scheduler = SerialDispatchQueueScheduler::create(queue);
  auto subscribed = std::make_shared<std::atomic<int>>(0);
  auto disposed = std::make_shared<std::atomic<int>>(0);
  auto source = rv::create<int>([subscribed, disposed](AnyObserver<int> o) -> Ref<Disposable> {
    subscribed->fetch_add(1);
    o.onNext(1);
    return Disposables::create([disposed] { disposed->fetch_add(1); });
  });
  auto observable = source | subscribeOn(scheduler);
  constexpr int kThreads = 8;
  constexpr int kPerThread = 200;
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) {
        auto subscription = observable->subscribe(test::RecordingObserver<int>::create());
        if ((i + t) % 3 == 0) std::this_thread::yield();
        subscription->dispose();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // Every scheduled subscription has run; one that ran after its disposal
  // queued a disposal of its own, which the second pass waits for.
  queue->sync([] {});
  queue->sync([] {});
  EXPECT_EQ(subscribed->load(), disposed->load());
  EXPECT_LE(subscribed->load(), kThreads * kPerThread);
}

}  // namespace
}  // namespace rv
