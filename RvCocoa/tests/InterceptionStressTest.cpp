#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "InterceptionSupport.h"

namespace rv::itest {
namespace {

constexpr int kThreads = 6;

// A class with a fast-shape method, a forwarded one and dealloc, counting
// the real calls.
Class countingClass(std::atomic<int>& calls) {
  Class cls = makeTargetClass();
  addMethod<void(int)>(cls, "take:", [&calls](Target*, int) { calls.fetch_add(1); });
  addMethod<void(BOOL)>(cls, "setFlag:", [&calls](Target*, BOOL) { calls.fetch_add(1); });
  return cls;
}

TEST(InterceptionStress, ConcurrentPreparationsOfOneClassAgreeAndReportEveryCall) {
  std::atomic<int> calls{0};
  Class cls = countingClass(calls);
  constexpr int kCalls = 200;
  std::vector<IMP> fast(kThreads), forwarded(kThreads), dealloc(kThreads);
  std::vector<Class> switchedTo(kThreads);
  std::atomic<int> reports{0};
  std::atomic<int> deallocations{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Ref<Target> target = makeTarget(cls);
      Ref<Observer> take = observe(target.get(), sel("take:"));
      Ref<Observer> flag = observe(target.get(), sel("setFlag:"));
      Ref<Observer> gone = observe(target.get(), sel("dealloc"));
      fast[t] = take->targetImplementation;
      forwarded[t] = flag->targetImplementation;
      dealloc[t] = gone->targetImplementation;
      switchedTo[t] = objc::object_getClass(target.get());
      for (int i = 0; i < kCalls; ++i) {
        objc::send<void(int)>(target, sel("take:"), i);
        objc::send<void(BOOL)>(target, sel("setFlag:"), objc::YES);
      }
      reports.fetch_add(static_cast<int>(take->sent.size() + take->invoked.size() +
                                         flag->sent.size() + flag->invoked.size()));
      target = nullptr;
      deallocations.fetch_add(gone->deallocatingCount);
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(calls.load(), kThreads * kCalls * 2);
  EXPECT_EQ(reports.load(), kThreads * kCalls * 4);
  EXPECT_EQ(deallocations.load(), kThreads);
  for (int t = 1; t < kThreads; ++t) {
    EXPECT_EQ(fast[t], fast[0]);
    EXPECT_EQ(forwarded[t], forwarded[0]);
    EXPECT_EQ(dealloc[t], dealloc[0]);
    EXPECT_EQ(switchedTo[t], switchedTo[0]);
  }
  EXPECT_NE(fast[0], nullptr);
  EXPECT_EQ(forwarded[0], objc::_objc_msgForward);
}

TEST(InterceptionStress, OneObjectObservedFromManyThreadsGetsOneInterceptor) {
  std::atomic<int> calls{0};
  Class cls = countingClass(calls);
  Ref<Target> target = makeTarget(cls);
  std::vector<IMP> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      results[t] =
          RV_ensure_observing(target.get(), t % 2 ? sel("take:") : sel("setFlag:"), nullptr);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 2; t < kThreads; ++t) EXPECT_EQ(results[t], results[t % 2]);
  EXPECT_NE(results[1], nullptr);
  EXPECT_EQ(results[0], objc::_objc_msgForward);
}

TEST(InterceptionStress, CallsRunWhileOtherObjectsAndSelectorsArePrepared) {
  std::atomic<int> calls{0};
  Class cls = countingClass(calls);
  for (int i = 0; i < 8; ++i) {
    addMethod<void(BOOL)>(cls, ("extra" + std::to_string(i) + ":").c_str(), [](Target*, BOOL) {});
  }
  Ref<Target> observed = makeTarget(cls);
  Ref<Observer> observer = observe(observed.get(), sel("take:"));
  std::atomic<bool> done{false};

  std::thread caller([&] {
    int n = 0;
    while (!done.load()) objc::send<void(int)>(observed, sel("take:"), n++);
  });
  std::thread preparer([&] {
    for (int i = 0; i < 8; ++i) {
      Ref<Target> other = makeTarget(cls);
      observe(other.get(), sel(("extra" + std::to_string(i) + ":").c_str()));
      observe(observed.get(), sel(("extra" + std::to_string(i) + ":").c_str()));
      objc::send<void(BOOL)>(other, sel(("extra" + std::to_string(i) + ":").c_str()), objc::NO);
    }
    done.store(true);
  });
  preparer.join();
  caller.join();
  EXPECT_EQ(static_cast<int>(observer->sent.size()), calls.load());
  EXPECT_EQ(observer->invoked.size(), observer->sent.size());
}

}  // namespace
}  // namespace rv::itest
