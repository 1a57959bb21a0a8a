// Overrides written into a target's Common Schema logs.

#include <fstream>

#include "AnalyticsSupport.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsTransmissionTarget.h"
#include "ZozIduvurAnalytics/DUZEEventLog.h"
#include "ZozIduvurAnalytics/DUZEPageLog.h"
#include "ZozIduvurAnalytics/TestSeams.h"

namespace {

class PropertyConfigurator : public analyticstest::AnalyticsTest {
 protected:
  void SetUp() override {
    AnalyticsTest::SetUp();
    startOnFakeGroup();
    parent_ = DUZEAnalytics::transmissionTargetForToken("parent-1");
    child_ = parent_->transmissionTargetForToken("child-1");
  }

  // The Common Schema log of an event tracked through `target`, after every
  // configurator of the chain prepared it.
  std::shared_ptr<DUZECommonSchemaLog> prepared(
      const std::shared_ptr<DUZEAnalyticsTransmissionTarget>& target) {
    auto log = commonSchemaLogOf(target);
    for (const auto& t : {parent_, child_})
      t->propertyConfigurator()->channelPrepareLog(nullptr, log);
    return log;
  }

  std::shared_ptr<DUZEAnalyticsTransmissionTarget> parent_;
  std::shared_ptr<DUZEAnalyticsTransmissionTarget> child_;
};

TEST_F(PropertyConfigurator, ChildrenInheritOverridesAndTheirOwnValuesWin) {
  parent_->propertyConfigurator()->setAppVersion("1.0");
  parent_->propertyConfigurator()->setAppName("Parent");
  parent_->propertyConfigurator()->setAppLocale("fr_FR");
  child_->propertyConfigurator()->setAppName("Child");
  auto log = prepared(child_);
  auto app = log->ext()->appExt();
  EXPECT_EQ(app->ver(), "1.0");
  EXPECT_EQ(app->name(), "Child");
  EXPECT_EQ(app->locale(), "fr_FR");
  auto parentLog = prepared(parent_);
  EXPECT_EQ(parentLog->ext()->appExt()->name(), "Parent");
  // Clearing the child's override brings the parent's back.
  child_->propertyConfigurator()->setAppName(std::nullopt);
  EXPECT_EQ(prepared(child_)->ext()->appExt()->name(), "Parent");
}

TEST_F(PropertyConfigurator, ValuesNotSetAnywhereLeaveTheConversionsOwn) {
  auto device = DUZEDeviceTracker::sharedInstance()->device();
  auto log = prepared(child_);
  EXPECT_EQ(log->ext()->appExt()->ver(), device->appVersion());
  EXPECT_EQ(log->ext()->appExt()->locale(), device->locale());
}

TEST_F(PropertyConfigurator, UserIdsAreCheckedAndPrefixed) {
  auto configurator = child_->propertyConfigurator();
  configurator->setUserId("alice");
  EXPECT_EQ(configurator->userId(), "c:alice");
  configurator->setUserId("x:bob");
  EXPECT_EQ(configurator->userId(), "c:alice");
  EXPECT_TRUE(hasLine("userId prefix must be 'c', 'x' is not supported."));
  configurator->setUserId("");
  configurator->setUserId("c:");
  EXPECT_EQ(countLines("userId must not be empty."), 2u);
  EXPECT_EQ(configurator->userId(), "c:alice");
  configurator->setUserId("c:carol");
  EXPECT_EQ(prepared(child_)->ext()->userExt()->localId(), "c:carol");
  configurator->setUserId(std::nullopt);
  EXPECT_FALSE(configurator->userId());
}

TEST_F(PropertyConfigurator, DeviceIdsAreSentOnlyForTheTargetThatCollectedThem) {
  const std::string path = (dataDir() / "machine-id").string();
  std::ofstream(path) << "00112233445566778899aabbccddeeff\n";
  DUZEPropertyConfiguratorSeams::setMachineIdPathForTesting(path);
  EXPECT_EQ(DUZEPropertyConfigurator::getDeviceIdentifier(),
            "u:00112233-4455-6677-8899-AABBCCDDEEFF");
  parent_->propertyConfigurator()->collectDeviceId();
  EXPECT_EQ(prepared(parent_)->ext()->deviceExt()->localId(),
            "u:00112233-4455-6677-8899-AABBCCDDEEFF");
  EXPECT_FALSE(prepared(child_)->ext()->deviceExt()->localId());
}

TEST_F(PropertyConfigurator, AMachineWithoutAnIdSendsNull) {
  DUZEPropertyConfiguratorSeams::setMachineIdPathForTesting((dataDir() / "absent").string());
  EXPECT_EQ(DUZEPropertyConfigurator::getDeviceIdentifier(), "u:(null)");
  const std::string bad = (dataDir() / "bad").string();
  std::ofstream(bad) << "not-a-machine-id\n";
  DUZEPropertyConfiguratorSeams::setMachineIdPathForTesting(bad);
  EXPECT_FALSE(DUZEPropertyConfigurator::platformUUID());
}

TEST_F(PropertyConfigurator, OtherLogsAreLeftAlone) {
  parent_->propertyConfigurator()->setAppVersion("7");
  auto otherTarget = DUZEAnalytics::transmissionTargetForToken("other-1");
  auto foreign = prepared(otherTarget);
  EXPECT_NE(foreign->ext()->appExt()->ver(), "7");
  auto page = DUZEPageLog::create();
  page->setTag(parent_);
  parent_->propertyConfigurator()->channelPrepareLog(nullptr, page);  // not Common Schema
  EXPECT_FALSE(page->properties());
  parent_->setEnabled(false);
  EXPECT_NE(prepared(parent_)->ext()->appExt()->ver(), "7");
}

TEST_F(PropertyConfigurator, AConfiguratorWhoseTargetIsGoneDoesNothing) {
  auto target = DUZEAnalyticsTransmissionTarget::create("gone-1", nullptr, nullptr);
  auto configurator = target->propertyConfigurator();
  configurator->setAppVersion("9");
  const void* address = target.get();
  target.reset();
  auto event = DUZEEventLog::create();
  event->setName("e");
  event->setTimestamp(dispatch::Date::now());
  auto log = event->toCommonSchemaLogForTargetToken("gone-1", 1);
  // A tag that merely has the old address is not the owner.
  log->setTag(std::shared_ptr<void>(const_cast<void*>(address), [](void*) {}));
  configurator->channelPrepareLog(nullptr, log);
  EXPECT_NE(log->ext()->appExt()->ver(), "9");
}

TEST_F(PropertyConfigurator, AChildWhoseParentIsGoneCountsAsTopLevel) {
  auto top = DUZEAnalyticsTransmissionTarget::create("top-9", nullptr, nullptr);
  top->propertyConfigurator()->setAppVersion("from-top");
  auto child = top->transmissionTargetForToken("orphan-9");
  EXPECT_EQ(child->parentTarget(), top);
  top.reset();
  EXPECT_FALSE(child->parentTarget());
  EXPECT_TRUE(child->isImmediateParent());  // the service is enabled
  auto event = DUZEEventLog::create();
  event->setName("e");
  event->setTimestamp(dispatch::Date::now());
  event->setTag(child);
  auto log = event->toCommonSchemaLogForTargetToken("orphan-9", 1);
  child->propertyConfigurator()->channelPrepareLog(nullptr, log);
  EXPECT_NE(log->ext()->appExt()->ver(), "from-top");
  child->propertyConfigurator()->setAppVersion("own");
  child->propertyConfigurator()->channelPrepareLog(nullptr, log);
  EXPECT_EQ(log->ext()->appExt()->ver(), "own");
}

}  // namespace
