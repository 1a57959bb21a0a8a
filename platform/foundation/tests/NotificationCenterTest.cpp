#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "dispatch/OperationQueue.h"
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

TEST(NotificationCenter, BlockObserverWithoutNameSeesEveryNameAndStopsWhenRemoved) {
  NotificationCenter center;
  std::vector<std::string> seen;
  auto token = center.addObserverForName(std::nullopt, nullptr, nullptr,
                                         [&](const NSNotification& n) { seen.push_back(n.name); });
  center.postNotificationName("A");
  center.postNotificationName("B");
  center.removeObserver(token);
  center.postNotificationName("C");
  EXPECT_EQ(seen, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(center.observationCount(token.get()), 0u);
}

TEST(NotificationCenter, BlockObserversAreSeparateRegistrationsAndOutliveTheirTokens) {
  NotificationCenter center;
  int first = 0, second = 0;
  center.addObserverForName("N", nullptr, nullptr, [&](const NSNotification&) { ++first; });
  auto token =
      center.addObserverForName("N", nullptr, nullptr, [&](const NSNotification&) { ++second; });
  center.postNotificationName("N");
  center.postNotificationName("Other");
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
  // Removing one registration leaves the other (whose token was dropped) in place.
  center.removeObserver(token);
  center.removeObserver(NotificationCenter::ObserverToken());
  center.postNotificationName("N");
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 1);
}

TEST(NotificationCenter, NamedRemovalLeavesAnyNameRegistrations) {
  NotificationCenter center;
  int calls = 0;
  auto token = center.addObserverForName(std::nullopt, nullptr, nullptr,
                                         [&](const NSNotification&) { ++calls; });
  center.removeObserver(token.get(), "");
  center.removeObserver(token.get(), "N");
  center.postNotificationName("N");
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, BlockObserverFiltersBySenderAndForgetsAGoneSender) {
  NotificationCenter center;
  auto sender = std::make_shared<int>(1);
  std::vector<std::shared_ptr<void>> seen;
  center.addObserverForName("N", sender, nullptr,
                            [&](const NSNotification& n) { seen.push_back(n.object); });
  center.postNotificationName("N", std::make_shared<int>(2));
  center.postNotificationName("N");
  center.postNotificationName("N", sender);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], sender);
  seen.clear();
  sender.reset();
  center.postNotificationName("N", std::make_shared<int>(1));
  EXPECT_TRUE(seen.empty());
}

TEST(NotificationCenter, SenderSharingAnAddressButNotOwnershipDoesNotMatch) {
  // Two owners of one address (a handle that does not own its object, as a
  // bridge to another object model makes) stand for two different senders.
  NotificationCenter center;
  int object = 0;
  auto handle = std::shared_ptr<void>(&object, [](void*) {});
  int calls = 0;
  center.addObserverForName("N", handle, nullptr, [&](const NSNotification&) { ++calls; });
  std::shared_ptr<void> sameOwner = handle;
  center.postNotificationName("N", sameOwner);
  EXPECT_EQ(calls, 1);
  auto otherOwner = std::shared_ptr<void>(&object, [](void*) {});
  center.postNotificationName("N", otherOwner);
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, BlockWithQueueRunsThereAndThePostWaitsForIt) {
  NotificationCenter center;
  auto queue = dispatch::OperationQueue::create();
  std::thread::id ranOn;
  bool ran = false;
  center.addObserverForName("N", nullptr, queue, [&](const NSNotification&) {
    ranOn = std::this_thread::get_id();
    ran = true;
  });
  center.postNotificationName("N");
  EXPECT_TRUE(ran);  // the post returned only after the block ran
  EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST(NotificationCenterStress, BlockObserversRunOnThePostingThreadWhileOthersRegister) {
  NotificationCenter center;
  std::atomic<int> everything{0};
  auto all = center.addObserverForName(std::nullopt, nullptr, nullptr,
                                       [&](const NSNotification&) { ++everything; });
  constexpr int kThreads = 4, kPosts = 300;
  std::atomic<int> wrongThread{0};
  std::vector<int> own(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string name = "N" + std::to_string(t);
      const auto self = std::this_thread::get_id();
      auto token =
          center.addObserverForName(name, nullptr, nullptr, [&, t, self](const NSNotification&) {
            if (std::this_thread::get_id() != self) ++wrongThread;
            ++own[t];
          });
      for (int i = 0; i < kPosts; ++i) {
        // Churn: registrations come and go while the others post.
        auto transient =
            center.addObserverForName("Elsewhere", nullptr, nullptr, [](const NSNotification&) {});
        center.postNotificationName(name);
        center.removeObserver(transient);
      }
      center.removeObserver(token);
    });
  }
  for (auto& thread : threads) thread.join();
  center.removeObserver(all);
  EXPECT_EQ(wrongThread.load(), 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(own[t], kPosts);
  EXPECT_EQ(everything.load(), kThreads * kPosts);
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
