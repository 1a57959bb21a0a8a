#include <dispatch/DispatchQueue.h>
#include <dispatch/DispatchSemaphore.h>
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "RvStreams/ConcurrentDispatchQueueScheduler.h"
#include "RvStreams/Create.h"
#include "RvStreams/ObserveOn.h"
#include "RvStreams/SerialDispatchQueueScheduler.h"
#include "RvStreams/SkipTakeTime.h"
#include "RvStreams/SubscribeOn.h"
#include "RvStreams/Timeout.h"
#include "RvStreams/Window.h"
#include "RvStreamsTest/Recording.h"
#include "dispatchTest/Waiting.h"

namespace rv {
namespace {

using dispatch::DispatchQueue;
using dispatch::DispatchSemaphore;
using dispatch::DispatchTime;
using dispatch::DispatchTimeoutResult;
using test::TestSource;
using DTI = DispatchTimeInterval;

using dispatch::testing::waitFor;

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

Ref<ConcurrentDispatchQueueScheduler> concurrentScheduler(const char* label) {
  return ConcurrentDispatchQueueScheduler::create(DispatchQueue::create(
      label, dispatch::DispatchQoS::unspecified(), DispatchQueue::Attributes::concurrent));
}

TEST(WindowStress, TimersRacingCountClosuresLoseNoElementAndKeepOrder) {
  auto scheduler = concurrentScheduler("window.stress");
  constexpr int kRuns = 20;
  constexpr int kEvents = 500;
  constexpr int64_t kCount = 7;
  for (int run = 0; run < kRuns; ++run) {
    struct State {
      std::mutex mutex;
      std::vector<std::vector<int>> windows;
      std::vector<Ref<Disposable>> subscriptions;
      bool oversized = false;
      DispatchSemaphore completed{0};
    };
    auto state = std::make_shared<State>();
    auto source = TestSource<int>::create();
    auto subscription =
        (source | window(DTI::microseconds(100), kCount, scheduler))
            ->subscribe(makeAnonymousObserver<Ref<Observable<int>>>(
                [state](const Event<Ref<Observable<int>>>& event) {
                  if (const auto* w = event.element()) {
                    std::lock_guard<std::mutex> guard(state->mutex);
                    const std::size_t index = state->windows.size();
                    state->windows.emplace_back();
                    state->subscriptions.push_back((*w)->subscribe(
                        makeAnonymousObserver<int>([state, index](const Event<int>& e) {
                          std::lock_guard<std::mutex> guard(state->mutex);
                          if (const int* x = e.element()) {
                            state->windows[index].push_back(*x);
                            if (static_cast<int64_t>(state->windows[index].size()) > kCount) {
                              state->oversized = true;
                            }
                          }
                        })));
                  } else {
                    state->completed.signal();
                  }
                }));
    std::thread producer([&] {
      for (int i = 1; i <= kEvents; ++i) source->onNext(i);
      source->onCompleted();
    });
    producer.join();
    ASSERT_TRUE(waitFor(state->completed));
    subscription->dispose();
    std::lock_guard<std::mutex> guard(state->mutex);
    std::vector<int> all;
    for (const auto& w : state->windows) all.insert(all.end(), w.begin(), w.end());
    std::vector<int> expected(kEvents);
    for (int i = 0; i < kEvents; ++i) expected[static_cast<std::size_t>(i)] = i + 1;
    EXPECT_EQ(all, expected);
    EXPECT_FALSE(state->oversized);
    for (auto& s : state->subscriptions) s->dispose();
  }
}

TEST(TimeoutStress, AnElementRacingTheTimerNeverLetsTheSourceFollowTheSwitch) {
  auto scheduler = concurrentScheduler("timeout.stress");
  constexpr int kRuns = 300;
  for (int run = 0; run < kRuns; ++run) {
    auto source = TestSource<int>::create();
    auto observer = std::make_shared<test::RecordingObserver<int>>();
    auto stopped = std::make_shared<DispatchSemaphore>(0);
    auto subscription =
        (source | timeout(DTI::microseconds(20 + run % 40), rv::just(-1), scheduler))
            ->subscribe(makeAnonymousObserver<int>([observer, stopped](const Event<int>& e) {
              observer->on(e);
              if (e.isStopEvent()) stopped->signal();
            }));
    std::thread producer([&] {
      source->onNext(1);
      source->onCompleted();
    });
    producer.join();
    ASSERT_TRUE(waitFor(*stopped));  // whichever side sends it
    std::vector<Event<int>> events = observer->events();
    ASSERT_EQ(observer->stopCount(), 1) << "run " << run;
    ASSERT_TRUE(events.back().isCompleted());
    bool switched = false;
    for (const auto& e : events) {
      if (const int* x = e.element()) {
        if (*x == -1) switched = true;
        EXPECT_FALSE(switched && *x == 1) << "a source element after the switch, run " << run;
      }
    }
    subscription->dispose();
  }
}

TEST(SkipTimeStress, TheGateOpenedOnTheTimersThreadPassesAnUnbrokenTail) {
  auto scheduler = concurrentScheduler("skip.time.stress");
  constexpr int kRuns = 100;
  constexpr int kEvents = 1000;
  for (int run = 0; run < kRuns; ++run) {
    auto source = TestSource<int>::create();
    auto observer = test::RecordingObserver<int>::create();
    auto subscription =
        (source | skip(DTI::microseconds(10 + run % 90), scheduler))->subscribe(observer);
    std::thread producer([&] {
      for (int i = 1; i <= kEvents; ++i) source->onNext(i);
      source->onCompleted();
    });
    producer.join();
    std::vector<int> elements = observer->elements();
    for (std::size_t i = 1; i < elements.size(); ++i) {
      ASSERT_EQ(elements[i], elements[i - 1] + 1) << "run " << run;
    }
    if (!elements.empty()) {
      EXPECT_EQ(elements.back(), kEvents);
    }
    EXPECT_EQ(observer->completedCount(), 1);
    subscription->dispose();
  }
}

TEST(TakeTimeStress, TheClosingTimerNeverOverlapsOrFollowsElements) {
  auto scheduler = concurrentScheduler("take.time.stress");
  constexpr int kRuns = 100;
  for (int run = 0; run < kRuns; ++run) {
    auto source = TestSource<int>::create();
    auto checker = std::make_shared<SerialChecker>();
    auto events = std::make_shared<test::RecordingObserver<int>>();
    auto subscription =
        (source | takeFor(DTI::microseconds(10 + run % 90), scheduler))
            ->subscribe(makeAnonymousObserver<int>([checker, events](const Event<int>& e) {
              events->on(e);
              checker->on(e);
            }));
    std::thread producer([&] {
      for (int i = 1; i <= 2000 && source->observerCount() > 0; ++i) source->onNext(i);
    });
    producer.join();
    ASSERT_TRUE(waitFor(checker->stopped()));
    EXPECT_FALSE(checker->overlapped());
    EXPECT_FALSE(checker->outOfOrder());
    EXPECT_EQ(events->stopCount(), 1);
    EXPECT_TRUE(events->events().back().isCompleted());
    subscription->dispose();
  }
}

}  // namespace
}  // namespace rv
