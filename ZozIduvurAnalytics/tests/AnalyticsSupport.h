#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvurAnalytics/DUZEAnalytics.h"
#include "ZozIduvurTest/CoreTest.h"
#include "ZozIduvurTest/FakeChannel.h"
#include "dispatch/Time.h"
#include "foundationTest/HTTPServer.h"

namespace analyticstest {

// A clock the test moves by hand.
class ManualClock {
 public:
  ManualClock();
  ~ManualClock();
  dispatch::Date now() const;
  void advance(double seconds);

 private:
  mutable std::mutex mutex_;
  dispatch::Date now_;
};

// The analytics tests' fixture: a fresh data folder and fresh shared
// instances, the client configured against a loopback server, and helpers
// to start the analytics service on a fake group or on the real one.
class AnalyticsTest : public duzetest::CoreTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Configures the client (no services) so that services can be used.
  void configureClient();
  // Starts the analytics service on a fake group.
  std::shared_ptr<duzetest::FakeGroup> startOnFakeGroup(
      std::optional<std::string> token = std::nullopt, bool fromApplication = true);
  // Starts the client with the analytics service on the real group.
  void startClient(const std::string& secret = "secret");
  std::shared_ptr<DUZEAnalytics> analytics() { return DUZEAnalytics::sharedInstance(); }
  // The Common Schema log of an event tracked through `target`.
  static std::shared_ptr<DUZECommonSchemaLog> commonSchemaLogOf(
      const std::shared_ptr<DUZEAnalyticsTransmissionTarget>& target);

  std::unique_ptr<foundationtest::HTTPServer> server_;
  std::vector<std::shared_ptr<duzetest::FakeGroup>> fakeGroups_;
};

}  // namespace analyticstest
