// Controls live on the main thread, but their properties may be written, and
// their sequences subscribed and disposed, from any thread: the work is moved
// to the main queue. These rounds race that against the main loop.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "RvCocoa/NSControlReactive.h"
#include "RvStreams/Observers.h"
#include "RvStreamsTest/MainQueue.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/MainLoop.h"

namespace rv {
namespace {

using appkit::NSButton;
using appkit::NSSlider;

TEST(ControlBindingsStress, WritesFromManyThreadsAreAllAppliedOnTheMainThread) {
  test::drainMainQueue();
  objc::Ref<NSSlider> slider = objc::make<NSSlider>();
  int applied = 0;  // main thread only
  bool allOnMain = true;
  ControlProperty<double> property = controlProperty(
      rv::rv(slider), [](NSSlider& s) { return s.doubleValue(); },
      [&](NSSlider& s, double value) {
        allOnMain = allOnMain && dispatch::isMainThread();
        ++applied;
        s.setDoubleValue(value);
      });
  constexpr int kThreads = 4;
  constexpr int kWrites = 200;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([property, t]() mutable {
      for (int i = 0; i < kWrites; ++i) property.onNext((t * kWrites + i) / 1000.0);
    });
  }
  EXPECT_TRUE(dispatch::MainLoop::runUntil([&] { return applied == kThreads * kWrites; },
                                           dispatch::DispatchTimeInterval::seconds(10)));
  for (auto& writer : writers) writer.join();
  test::drainMainQueue();
  EXPECT_EQ(applied, kThreads * kWrites);
  EXPECT_TRUE(allOnMain);
}

TEST(ControlBindingsStress, BackgroundSubscriptionsRaceActionsAndLeaveNoTargetBehind) {
  test::drainMainQueue();
  objc::Ref<NSButton> button = objc::make<NSButton>();
  ControlEvent<Unit> taps = tap(rv::rv(button));
  std::atomic<int> delivered{0};
  std::atomic<int> running{2};
  // The clicks keep pace with the subscribers' rounds, which a loaded machine
  // holds up (each yields): at most kClicksPerRound per round done and the
  // one under way, a few times what an idle one fits in.
  constexpr int kClicksPerRound = 200;
  std::atomic<int> rounds{0};
  std::vector<std::thread> subscribers;
  for (int t = 0; t < 2; ++t) {
    subscribers.emplace_back([&] {
      for (int round = 0; round < 200; ++round) {
        Ref<Disposable> subscription =
            taps.subscribe(makeAnonymousObserver<Unit>([&](const Event<Unit>& event) {
              if (event.isNext()) ++delivered;
            }));
        std::this_thread::yield();
        subscription->dispose();
        ++rounds;
      }
      --running;
    });
  }
  for (int clicks = 0; running.load() != 0;) {
    const int done = rounds.load();
    if (clicks >= kClicksPerRound * (done + 1)) {
      // Running the main queue meanwhile, as the subscriptions may need it.
      dispatch::MainLoop::runUntil([&] { return rounds.load() != done || running.load() == 0; },
                                   dispatch::DispatchTimeInterval::seconds(60));
      continue;
    }
    dispatch::MainLoop::drainPending();
    button->performClick(nullptr);
    ++clicks;
  }
  for (auto& subscriber : subscribers) subscriber.join();
  test::drainMainQueue();
  EXPECT_EQ(button->target(), nullptr) << "every connection ended with its last subscriber";
  const int before = delivered.load();
  button->performClick(nullptr);
  EXPECT_EQ(delivered.load(), before);
}

}  // namespace
}  // namespace rv
