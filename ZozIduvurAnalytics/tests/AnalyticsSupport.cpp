#include "AnalyticsSupport.h"

#include <sqlite3.h>

#include <cstdlib>

#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/TestSeams.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsCategory.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsClock.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsTransmissionTarget.h"
#include "ZozIduvurAnalytics/DUZEEventLog.h"
#include "ZozIduvurAnalytics/DUZEPropertyConfigurator.h"
#include "ZozIduvurAnalytics/TestSeams.h"
#include "dispatch/MainLoop.h"
#include "foundation/Bundle.h"

namespace analyticstest {

// ManualClock ---------------------------------------------------------------------------

ManualClock::ManualClock() : now_(dispatch::Date::now()) {
  DUZEAnalyticsClockSeams::setClockForTesting([this] { return now(); });
}

ManualClock::~ManualClock() { DUZEAnalyticsClockSeams::setClockForTesting({}); }

dispatch::Date ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void ManualClock::advance(double seconds) {
  std::lock_guard lock(mutex_);
  now_ = now_ + seconds;
}

// AnalyticsTest ---------------------------------------------------------------------------

void AnalyticsTest::SetUp() {
  CoreTest::SetUp();
  DUZEAnalytics::resetSharedInstance();
  server_ = std::make_unique<foundationtest::HTTPServer>();
  setenv(std::string(kDUZELogUrlEnvironmentVariable).c_str(), server_->baseUrl().c_str(), 1);
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(
      dispatch::DispatchTimeInterval::milliseconds(20));
}

void AnalyticsTest::TearDown() {
  for (const auto& group : fakeGroups_) group->clear();
  fakeGroups_.clear();
  DUZEZozIduvur::resetSharedInstance();
  DUZEAnalytics::resetSharedInstance();
  DUZEAnalyticsTransmissionTarget::setAuthenticationProvider(nullptr);
  DUZEAnalyticsCategory::setMissedPageViewName({});
  DUZEAnalyticsClockSeams::setClockForTesting({});
  DUZEPropertyConfiguratorSeams::setMachineIdPathForTesting(std::nullopt);
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(std::nullopt);
  foundation::NSBundle::mainBundle()->setExecutablePath(std::nullopt);
  dispatch::MainLoop::drainPending();
  unsetenv(std::string(kDUZELogUrlEnvironmentVariable).c_str());
  server_.reset();
  CoreTest::TearDown();
}

void AnalyticsTest::configureClient() { DUZEZozIduvur::start("secret", {}); }

std::shared_ptr<duzetest::FakeGroup> AnalyticsTest::startOnFakeGroup(
    std::optional<std::string> token, bool fromApplication) {
  configureClient();
  auto group = std::make_shared<duzetest::FakeGroup>();
  fakeGroups_.push_back(group);
  analytics()->startWithChannelGroup(group, "secret", std::move(token), fromApplication);
  return group;
}

void AnalyticsTest::startClient(const std::string& secret) {
  DUZEZozIduvur::start(secret, {DUZEServiceClass::of<DUZEAnalytics>()});
}

std::shared_ptr<DUZECommonSchemaLog> AnalyticsTest::commonSchemaLogOf(
    const std::shared_ptr<DUZEAnalyticsTransmissionTarget>& target) {
  auto event = DUZEEventLog::create();
  event->setName("e");
  event->setTimestamp(dispatch::Date::now());
  event->setDevice(DUZEDeviceTracker::sharedInstance()->device());
  event->setTag(target);
  return event->toCommonSchemaLogForTargetToken(target->transmissionTargetToken(), 1);
}

}  // namespace analyticstest
