// Transmission targets: their persisted, inherited enabled state, tracking
// with inherited properties, pausing and ticket keys.

#include "AnalyticsSupport.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsTransmissionTarget.h"
#include "ZozIduvurAnalytics/DUZEEventLog.h"

namespace {

using duzetest::FakeGroup;

// Records token requests and answers none of them.
class SilentSource : public DUZEAnalyticsAuthenticationProviderDelegate {
 public:
  void authenticationProviderAcquireTokenWithCompletionHandler(
      const std::shared_ptr<DUZEAnalyticsAuthenticationProvider>&,
      DUZEAnalyticsAuthenticationProviderCompletionBlock completion) override {
    completions.push_back(std::move(completion));
  }
  std::vector<DUZEAnalyticsAuthenticationProviderCompletionBlock> completions;
};

class TransmissionTarget : public analyticstest::AnalyticsTest {
 protected:
  void start() { group_ = startOnFakeGroup(); }
  std::vector<std::shared_ptr<DUZEEventLog>> events() {
    return group_->unit("Analytics")->logsOf<DUZEEventLog>();
  }
  static std::optional<foundation::Value> stored(const std::string& key) {
    return DUZEZozIduvurUserDefaults::shared()->objectForKey(key);
  }
  static std::optional<std::vector<std::string>> ticketKeys(const DUZECommonSchemaLog& log) {
    return log.ext()->protocolExt()->ticketKeys();
  }

  std::shared_ptr<FakeGroup> group_;
};

TEST_F(TransmissionTarget, TheEnabledKeyIsPerTargetKey) {
  start();
  auto a = DUZEAnalytics::transmissionTargetForToken("shared-one");
  auto b = DUZEAnalytics::transmissionTargetForToken("shared-two");
  EXPECT_EQ(a->isEnabledKey(), "AnalyticsIsEnabled/shared");
  EXPECT_TRUE(a->isEnabled());
  a->setEnabled(false);
  EXPECT_EQ(stored("AnalyticsIsEnabled/shared"), foundation::Value(false));
  EXPECT_FALSE(b->isEnabled());  // same key, same flag
  b->setEnabled(true);
  EXPECT_TRUE(a->isEnabled());
  // A token without a target key shares the "(null)" flag.
  EXPECT_EQ(DUZEAnalytics::transmissionTargetForToken("-odd")->isEnabledKey(),
            "AnalyticsIsEnabled/(null)");
}

TEST_F(TransmissionTarget, ATargetMadeBeforeTheStartIsStoredAsDisabled) {
  auto early = DUZEAnalytics::transmissionTargetForToken("early-1");
  EXPECT_EQ(stored("AnalyticsIsEnabled/early"), foundation::Value(false));
  EXPECT_TRUE(hasLine("Analytics service hasn't been started."));
  start();
  EXPECT_FALSE(early->isEnabled());
  early->setEnabled(true);
  EXPECT_TRUE(early->isEnabled());
}

TEST_F(TransmissionTarget, AChildOfADisabledParentStartsDisabledAndCannotBeEnabledAlone) {
  start();
  auto parent = DUZEAnalytics::transmissionTargetForToken("parent-1");
  parent->setEnabled(false);
  auto child = parent->transmissionTargetForToken("child-1");
  EXPECT_EQ(parent->transmissionTargetForToken("child-1"), child);
  EXPECT_EQ(child->parentTarget(), parent);
  EXPECT_FALSE(child->isEnabled());
  child->setEnabled(true);
  EXPECT_FALSE(child->isEnabled());
  EXPECT_TRUE(
      hasLine("Can't enable; parent transmission target and/or Analytics service is "
              "disabled."));
  parent->setEnabled(true);
  EXPECT_TRUE(child->isEnabled());
}

TEST_F(TransmissionTarget, DisablingCascadesAndEnablingComesBackTopDown) {
  start();
  auto top = DUZEAnalytics::transmissionTargetForToken("top-1");
  auto middle = top->transmissionTargetForToken("middle-1");
  auto bottom = middle->transmissionTargetForToken("bottom-1");
  top->setEnabled(false);
  for (const char* key : {"top", "middle", "bottom"}) {
    EXPECT_EQ(stored(std::string("AnalyticsIsEnabled/") + key), foundation::Value(false)) << key;
  }
  top->setEnabled(true);
  EXPECT_TRUE(middle->isEnabled());
  EXPECT_TRUE(bottom->isEnabled());
  // Enabling a target resumes its sending.
  EXPECT_EQ(group_->unit("Analytics/one")->calls().back(), "resumeToken:bottom-1");
}

TEST_F(TransmissionTarget, PauseAndResumeNeedAnEnabledTarget) {
  start();
  auto target = DUZEAnalytics::transmissionTargetForToken("t-1");
  target->pause();
  target->resume();
  EXPECT_EQ(group_->unit("Analytics/one")->calls(),
            (std::vector<std::string>{"pauseToken:t-1", "resumeToken:t-1"}));
  EXPECT_EQ(group_->unit("Analytics_critical/one")->calls(),
            (std::vector<std::string>{"pauseToken:t-1", "resumeToken:t-1"}));
  target->setEnabled(false);
  target->pause();
  EXPECT_TRUE(hasLine("This transmission target is disabled."));
  EXPECT_EQ(group_->unit("Analytics/one")->calls().size(), 2u);
}

TEST_F(TransmissionTarget, EventsInheritPropertiesNearestFirstAndTheCallersWin) {
  start();
  auto parent = DUZEAnalytics::transmissionTargetForToken("parent-1");
  auto child = parent->transmissionTargetForToken("child-1");
  parent->propertyConfigurator()->setEventPropertyString("parent", "shared");
  parent->propertyConfigurator()->setEventPropertyString("parent", "fromParent");
  child->propertyConfigurator()->setEventPropertyString("child", "shared");
  child->propertyConfigurator()->setEventPropertyString("child", "both");
  child->trackEventWithProperties("e", DUZEProperties{{"both", "caller"}});
  auto logged = events();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0]->transmissionTargetTokens(), std::set<std::string>{"child-1"});
  EXPECT_EQ(logged[0]->tag(), std::static_pointer_cast<void>(child));
  EXPECT_EQ(logged[0]->typedProperties()->serializeToArray(), nlohmann::ordered_json::parse(R"([
      {"type":"string","name":"both","value":"caller"},
      {"type":"string","name":"fromParent","value":"parent"},
      {"type":"string","name":"shared","value":"child"}])"));
  // A property removed from the parent is no longer inherited.
  parent->propertyConfigurator()->removeEventPropertyForKey("fromParent");
  parent->propertyConfigurator()->removeEventPropertyForKey(std::nullopt);
  EXPECT_TRUE(hasLine("Event property key to remove cannot be nil."));
  child->trackEvent("again");
  auto again = events().back();
  EXPECT_FALSE(again->typedProperties()->propertyForKey("fromParent"));
  EXPECT_TRUE(again->typedProperties()->propertyForKey("shared"));
  // With nothing to inherit and nothing given, the event has no properties.
  DUZEAnalytics::transmissionTargetForToken("plain-1")->trackEvent("bare");
  EXPECT_FALSE(events().back()->typedProperties());
}

TEST_F(TransmissionTarget, OnlyTheTargetsOwnCommonSchemaLogsGetTheTicketKey) {
  start();
  auto source = std::make_shared<SilentSource>();
  auto mine = DUZEAnalytics::transmissionTargetForToken("mine-1");
  auto other = DUZEAnalytics::transmissionTargetForToken("other-1");
  auto before = commonSchemaLogOf(mine);
  mine->channelPrepareLog(nullptr, before);
  EXPECT_FALSE(ticketKeys(*before));  // no provider yet
  DUZEAnalyticsTransmissionTarget::addAuthenticationProvider(
      DUZEAnalyticsAuthenticationProvider::create(0, "key", source));
  EXPECT_EQ(source->completions.size(), 1u);  // asked on installation
  auto log = commonSchemaLogOf(mine);
  mine->channelPrepareLog(nullptr, log);
  other->channelPrepareLog(nullptr, log);
  EXPECT_EQ(ticketKeys(*log), std::vector<std::string>{DUZEUtility::sha256("key")});
  auto otherLog = commonSchemaLogOf(other);
  mine->channelPrepareLog(nullptr, otherLog);
  EXPECT_FALSE(ticketKeys(*otherLog));
  mine->setEnabled(false);
  auto whileDisabled = commonSchemaLogOf(mine);
  mine->channelPrepareLog(nullptr, whileDisabled);
  EXPECT_FALSE(ticketKeys(*whileDisabled));
}

TEST_F(TransmissionTarget, AProviderWithoutATicketKeyPutsNoTicketKeyIntoLogs) {
  start();
  auto source = std::make_shared<SilentSource>();
  auto target = DUZEAnalytics::transmissionTargetForToken("mine-1");
  DUZEAnalyticsTransmissionTarget::setAuthenticationProvider(
      DUZEAnalyticsAuthenticationProvider::create(0, std::nullopt, source));
  auto log = commonSchemaLogOf(target);
  target->channelPrepareLog(nullptr, log);
  EXPECT_FALSE(ticketKeys(*log));
}

TEST_F(TransmissionTarget, AMissingProviderIsRefused) {
  DUZEAnalyticsTransmissionTarget::addAuthenticationProvider(nullptr);
  EXPECT_TRUE(hasLine("Authentication provider may not be null."));
  EXPECT_FALSE(DUZEAnalyticsTransmissionTarget::authenticationProvider());
}

TEST_F(TransmissionTarget, TargetsAndTheirConfiguratorsListenToTheGroup) {
  start();
  auto target = DUZEAnalytics::transmissionTargetForToken("t-1");
  EXPECT_TRUE(group_->hasDelegate(target.get()));
  EXPECT_TRUE(group_->hasDelegate(target->propertyConfigurator().get()));
}

}  // namespace
