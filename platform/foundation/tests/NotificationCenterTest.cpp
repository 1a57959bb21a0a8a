#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "foundation/NotificationCenter.h"

namespace {

using foundation::NotificationCenter;
using foundation::NSNotification;

TEST(NotificationCenter, DeliversByNameInRegistrationOrder) {
  NotificationCenter center;
  std::vector<std::string> seen;
  int a = 0, b = 0;
  center.addObserver(&a, "Ping", [&](const NSNotification& n) { seen.push_back("a:" + n.name); });
  center.addObserver(&b, "Ping", [&](const NSNotification&) { seen.push_back("b"); });
  center.addObserver(&b, "Other", [&](const NSNotification&) { seen.push_back("other"); });
  center.postNotificationName("Ping");
  EXPECT_EQ(seen, (std::vector<std::string>{"a:Ping", "b"}));
}

TEST(NotificationCenter, SenderFilterMatchesByIdentityAndNullMatchesAny) {
  NotificationCenter center;
  auto mine = std::make_shared<int>(1);
  auto other = std::make_shared<int>(1);
  int observer = 0;
  int fromMine = 0, fromAny = 0;
  center.addObserver(
      &observer, "N", [&](const NSNotification&) { ++fromMine; }, mine);
  center.addObserver(&observer, "N", [&](const NSNotification&) { ++fromAny; });
  center.postNotificationName("N", other);
  center.postNotificationName("N");
  center.postNotificationName("N", mine);
  EXPECT_EQ(fromMine, 1);
  EXPECT_EQ(fromAny, 3);
}

TEST(NotificationCenter, RemoveObserverDropsAllOrOneName) {
  NotificationCenter center;
  int observer = 0, calls = 0;
  center.addObserver(&observer, "A", [&](const NSNotification&) { ++calls; });
  center.addObserver(&observer, "B", [&](const NSNotification&) { ++calls; });
  center.removeObserver(&observer, "A");
  center.postNotificationName("A");
  center.postNotificationName("B");
  EXPECT_EQ(calls, 1);
  center.removeObserver(&observer);
  center.postNotificationName("B");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(center.observationCount(&observer), 0u);
}

TEST(NotificationCenter, HandlerMayRemoveItselfAndPostAgain) {
  NotificationCenter center;
  int observer = 0, calls = 0;
  center.addObserver(&observer, "A", [&](const NSNotification&) {
    ++calls;
    center.removeObserver(&observer);
    center.postNotificationName("A");
  });
  center.postNotificationName("A");
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterStress, ConcurrentPostsAndRegistrations) {
  NotificationCenter center;
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      int observer = t;
      for (int i = 0; i < 500; ++i) {
        center.addObserver(&observer, "N", [&](const NSNotification&) { ++calls; });
        center.postNotificationName("N");
        center.removeObserver(&observer);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_GE(calls.load(), 4 * 500);
}

}  // namespace
