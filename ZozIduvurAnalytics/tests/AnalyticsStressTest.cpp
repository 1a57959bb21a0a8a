// Tracking from several threads while the service is switched, sessions
// turn over and the logs queue stamps, filters and sends.

#include <atomic>
#include <thread>

#include "AnalyticsSupport.h"
#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsTransmissionTarget.h"
#include "foundation/NotificationCenter.h"

namespace {

class AnalyticsStress : public analyticstest::AnalyticsTest {};

TEST_F(AnalyticsStress, TrackingTogglingAndSessionsRunTogether) {
  analyticstest::ManualClock clock;
  startClient();
  auto target = DUZEAnalytics::transmissionTargetForToken("stress-key");
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 150; ++i) {
        auto properties = DUZEEventProperties::create();
        properties->setInt64(i, "i").setString("thread", "t");
        if (t == 0) DUZEAnalytics::trackEventWithTypedProperties("e", properties);
        if (t == 1) DUZEAnalytics::trackPageWithProperties("p", DUZEProperties{{"k", "v"}});
        if (t == 2) DUZEAnalytics::trackEventWithProperties("c", std::nullopt, DUZEFlagsCritical);
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 150; ++i) {
      target->trackEvent("targeted");
      target->propertyConfigurator()->setAppVersion(std::to_string(i));
      target->propertyConfigurator()->setEventPropertyInt64(i, "n");
      target->transmissionTargetForToken("child-" + std::to_string(i % 3))->trackEvent("child");
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 10; ++i) {
      DUZEAnalytics::setServiceEnabled(i % 2 == 1);
      DUZEAnalytics::pause();
      DUZEAnalytics::resume();
    }
    DUZEAnalytics::setServiceEnabled(true);
  });
  std::thread sessions([&] {
    auto center = foundation::NotificationCenter::defaultCenter();
    while (!done) {
      center->postNotificationName(kDUZEApplicationDidResignActiveNotification);
      clock.advance(30);
      center->postNotificationName(kDUZEApplicationWillBecomeActiveNotification);
    }
  });
  for (auto& thread : threads) thread.join();
  done = true;
  sessions.join();
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  EXPECT_TRUE(DUZEAnalytics::isServiceEnabled());
  EXPECT_TRUE(target->isEnabled());
}

}  // namespace
