#include <gtest/gtest.h>

#include <thread>

#include "RvCocoa/NotificationCenterReactive.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using foundation::NotificationCenter;
using rv::test::RecordingObserver;

struct NotificationCenterReactiveTest : ::testing::Test {
  std::shared_ptr<NotificationCenter> center = std::make_shared<NotificationCenter>();
  std::shared_ptr<void> sender = std::make_shared<int>(1);
  std::shared_ptr<void> otherSender = std::make_shared<int>(2);

  // The names of the notifications `recorder` received.
  static std::vector<std::string> names(const RecordingObserver<Notification>& recorder) {
    std::vector<std::string> out;
    for (const Notification& n : recorder.elements()) out.push_back(n.name);
    return out;
  }
};

TEST_F(NotificationCenterReactiveTest, DeliversMatchingPostsOncePerPost) {
  auto recorder = RecordingObserver<Notification>::create();
  auto subscription = notification(rv::rv(center), "Changed", sender)->subscribe(recorder);
  center->postNotificationName("Changed", sender);
  center->postNotificationName("Changed", sender);
  center->postNotificationName("Other", sender);
  center->postNotificationName("Changed", otherSender);
  center->postNotificationName("Changed");
  EXPECT_EQ(names(*recorder), (std::vector<std::string>{"Changed", "Changed"}));
  EXPECT_EQ(recorder->elements().front().object, sender);
  EXPECT_EQ(recorder->stopCount(), 0) << "it never ends by itself";
  subscription->dispose();
}

TEST_F(NotificationCenterReactiveTest, WithoutNameOrSenderEverythingArrives) {
  auto recorder = RecordingObserver<Notification>::create();
  auto subscription = notification(rv::rv(center), std::nullopt)->subscribe(recorder);
  center->postNotificationName("A", sender);
  center->postNotificationName("B");
  EXPECT_EQ(names(*recorder), (std::vector<std::string>{"A", "B"}));
  subscription->dispose();
}

TEST_F(NotificationCenterReactiveTest, EachSubscriptionRegistersUntilDisposed) {
  auto sequence = notification(rv::rv(center), "Changed");
  auto first = RecordingObserver<Notification>::create();
  auto second = RecordingObserver<Notification>::create();
  auto a = sequence->subscribe(first);
  auto b = sequence->subscribe(second);
  center->postNotificationName("Changed");
  EXPECT_EQ(first->elements().size(), 1u);
  EXPECT_EQ(second->elements().size(), 1u);

  a->dispose();
  center->postNotificationName("Changed");
  EXPECT_EQ(first->elements().size(), 1u) << "no post after dispose";
  EXPECT_EQ(second->elements().size(), 2u);
  b->dispose();
  b->dispose();
  center->postNotificationName("Changed");
  EXPECT_EQ(second->elements().size(), 2u);
}

TEST_F(NotificationCenterReactiveTest, TheSenderIsHeldWeakly) {
  std::weak_ptr<void> weak = sender;
  auto sequence = notification(rv::rv(center), "Changed", sender);
  sender = nullptr;
  EXPECT_TRUE(weak.expired()) << "the sequence does not keep the sender alive";
}

TEST_F(NotificationCenterReactiveTest, ASenderGoneBeforeSubscribingLetsNothingThrough) {
  auto sequence = notification(rv::rv(center), "Changed", sender);
  sender = nullptr;
  auto recorder = RecordingObserver<Notification>::create();
  auto subscription = sequence->subscribe(recorder);
  center->postNotificationName("Changed", otherSender);
  center->postNotificationName("Changed");
  EXPECT_TRUE(recorder->events().empty()) << "the filter is not dropped with its sender";
  subscription->dispose();
}

TEST_F(NotificationCenterReactiveTest, APostOnAnotherThreadIsDeliveredThereBeforeItReturns) {
  std::thread::id deliveredOn;
  int received = 0;
  auto subscription =
      notification(rv::rv(center), "Changed")
          ->subscribe(makeAnonymousObserver<Notification>([&](const Event<Notification>&) {
            deliveredOn = std::this_thread::get_id();
            ++received;
          }));
  std::thread::id poster;
  int receivedWhenPostReturned = 0;
  std::thread thread([&] {
    poster = std::this_thread::get_id();
    center->postNotificationName("Changed");
    receivedWhenPostReturned = received;
  });
  thread.join();
  EXPECT_EQ(receivedWhenPostReturned, 1);
  EXPECT_EQ(deliveredOn, poster);
  subscription->dispose();
}

}  // namespace
}  // namespace rv
