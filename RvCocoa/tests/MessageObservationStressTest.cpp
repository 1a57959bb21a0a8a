#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "InterceptionSupport.h"
#include "RvCocoa/MessageObservation.h"
#include "RvStreams/Observers.h"

namespace rv::itest {
namespace {

constexpr int kThreads = 6;

TEST(MessageObservationStress, SubscribersOnManyThreadsShareOneInterceptorAndSeeTheirCalls) {
  Class cls = makeTargetClass();
  addMethod<void(int)>(cls, "take:", [](Target*, int) {});
  Ref<Target> target = makeTarget(cls);
  constexpr int kCalls = 200;
  std::atomic<int> seen{0};
  std::vector<std::shared_ptr<Disposable>> subscriptions(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread counts only the calls it makes itself.
      const int mine = 1000 * (t + 1);
      subscriptions[t] =
          methodInvoked(target.get(), sel("take:"))
              ->subscribe(makeAnonymousObserver<ArgumentArray>(
                  [&seen, mine](const Event<ArgumentArray>& event) {
                    if (const auto* arguments = event.element()) {
                      const int n = objc::dynamicCast<objc::NSNumber>(arguments->at(0))->intValue();
                      if (n >= mine && n < mine + kCalls) seen.fetch_add(1);
                    }
                  }));
      for (int i = 0; i < kCalls; ++i) objc::send<void(int)>(target, sel("take:"), mine + i);
    });
  }
  for (auto& thread : threads) thread.join();
  // A thread's calls made before another subscribed are seen by fewer
  // subscribers, never by more; every call is seen by its own thread.
  EXPECT_GE(seen.load(), kThreads * kCalls);
  for (auto& subscription : subscriptions) subscription->dispose();
}

TEST(MessageObservationStress, ObjectsDestroyedOnManyThreadsReportTheirEndOnce) {
  Class cls = makeTargetClass();
  addMethod<void()>(cls, "ping", [](Target*) {});
  std::atomic<int> ends{0};
  std::atomic<int> completions{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        Ref<Target> target = makeTarget(cls);
        auto observer = [&] {
          return makeAnonymousObserver<Unit>([&](const Event<Unit>& event) {
            if (event.element()) ends.fetch_add(1);
            if (event.isCompleted()) completions.fetch_add(1);
          });
        };
        deallocated(target.get())->subscribe(observer());
        deallocating(target.get())->subscribe(observer());
        sentMessage(target.get(), sel("ping"))
            ->subscribe(makeAnonymousObserver<ArgumentArray>([](const Event<ArgumentArray>&) {}));
        objc::send<void()>(target, sel("ping"));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ends.load(), kThreads * 50 * 2);
  EXPECT_EQ(completions.load(), kThreads * 50 * 2);
}

}  // namespace
}  // namespace rv::itest
