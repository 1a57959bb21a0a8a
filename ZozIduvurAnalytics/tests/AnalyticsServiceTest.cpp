// The analytics service on a channel group of fake units: what it enqueues
// where, its enabled state, pausing, targets and its interval.

#include "AnalyticsSupport.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsTransmissionTarget.h"
#include "ZozIduvurAnalytics/DUZEEventLog.h"
#include "ZozIduvurAnalytics/DUZEPageLog.h"
#include "ZozIduvurAnalytics/DUZEStartSessionLog.h"
#include "foundation/UUID.h"
#include "foundation/UserDefaults.h"

namespace {

using duzetest::FakeGroup;
using duzetest::FakeUnit;

constexpr const char* kNotStarted =
    "Analytics service hasn't been started. You need to call [DUZEZozIduvur "
    "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first.";

class AnalyticsService : public analyticstest::AnalyticsTest {
 protected:
  std::shared_ptr<FakeUnit> main() { return group_->unit("Analytics"); }
  std::shared_ptr<FakeUnit> critical() { return group_->unit("Analytics_critical"); }
  void start(std::optional<std::string> token = std::nullopt, bool fromApplication = true) {
    group_ = startOnFakeGroup(std::move(token), fromApplication);
  }
  std::vector<std::shared_ptr<DUZEEventLog>> events() { return main()->logsOf<DUZEEventLog>(); }

  std::shared_ptr<FakeGroup> group_;
};

// Records what the service reports about sending.
class SendListener : public DUZEAnalyticsDelegate {
 public:
  void analyticsWillSendEventLog(const std::shared_ptr<DUZEAnalytics>&,
                                 const std::shared_ptr<DUZEEventLog>& log) override {
    calls.push_back("willSendEvent " + log->name().value_or(""));
  }
  void analyticsDidSucceedSendingEventLog(const std::shared_ptr<DUZEAnalytics>&,
                                          const std::shared_ptr<DUZEEventLog>& log) override {
    calls.push_back("sentEvent " + log->name().value_or(""));
  }
  void analyticsDidFailSendingEventLog(const std::shared_ptr<DUZEAnalytics>&,
                                       const std::shared_ptr<DUZEEventLog>& log,
                                       const std::shared_ptr<foundation::NSError>& error) override {
    calls.push_back("failedEvent " + log->name().value_or("") + " " +
                    std::to_string(error ? error->code() : -1));
  }
  void analyticsWillSendPageLog(const std::shared_ptr<DUZEAnalytics>&,
                                const std::shared_ptr<DUZEPageLog>& log) override {
    calls.push_back("willSendPage " + log->name().value_or(""));
  }
  void analyticsDidSucceedSendingPageLog(const std::shared_ptr<DUZEAnalytics>&,
                                         const std::shared_ptr<DUZEPageLog>& log) override {
    calls.push_back("sentPage " + log->name().value_or(""));
  }
  std::vector<std::string> calls;
};

TEST_F(AnalyticsService, TrackingBeforeTheStartIsRefusedAndForgotten) {
  DUZEAnalytics::trackEvent("early");
  DUZEAnalytics::trackPage("early");
  DUZEAnalytics::pause();
  EXPECT_EQ(countLines(kNotStarted), 3u);
  start();
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(main()->logsOf<DUZEPageLog>().empty());
  EXPECT_EQ(main()->calls(), (std::vector<std::string>{"enabled:1:1", "resume"}));
}

TEST_F(AnalyticsService, StartAddsBothUnitsAndStartsTheFirstSession) {
  DUZEAnalytics::setTransmissionInterval(60);
  start();
  EXPECT_EQ(group_->unitIds(),
            (std::vector<std::string>{"Analytics", "Analytics/one", "Analytics_critical",
                                      "Analytics_critical/one"}));
  EXPECT_EQ(main()->configuration().flushInterval(), 60u);
  EXPECT_EQ(critical()->configuration().flushInterval(), 6u);
  auto items = main()->items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_TRUE(std::dynamic_pointer_cast<DUZEStartSessionLog>(items[0].log));
  EXPECT_EQ(items[0].flags, DUZEFlagsNormal);
  auto delegates = group_->delegates();
  ASSERT_EQ(delegates.size(), 2u);
  EXPECT_EQ(delegates[0].get(), analytics()->sessionTracker().get());
  EXPECT_EQ(delegates[1].get(), static_cast<DUZEChannelDelegate*>(analytics().get()));
  EXPECT_TRUE(hasLine("Started Analytics service."));
  EXPECT_TRUE(hasLine("Analytics service has been enabled."));
  EXPECT_TRUE(DUZEAnalytics::isServiceEnabled());
}

TEST_F(AnalyticsService, TheLowByteOfTheFlagsChoosesTheUnit) {
  start();
  DUZEAnalytics::trackEventWithProperties("critical", std::nullopt, 0x102);
  DUZEAnalytics::trackEventWithProperties("three", std::nullopt, 3);
  DUZEAnalytics::trackEventWithProperties("zero", DUZEProperties{}, 0);
  auto criticalItems = critical()->items();
  ASSERT_EQ(criticalItems.size(), 1u);
  EXPECT_EQ(criticalItems[0].flags, DUZEFlagsCritical);
  auto normal = main()->items();
  ASSERT_EQ(normal.size(), 3u);  // start session, "three", "zero"
  EXPECT_EQ(normal[1].flags, DUZEFlagsNormal);
  EXPECT_EQ(normal[2].flags, DUZEFlagsNormal);
  EXPECT_EQ(countLines("Invalid flags (3) received, using normal as a default."), 1u);
  EXPECT_EQ(countLines("Invalid flags (0) received, using normal as a default."), 1u);
  // Page logs always travel as normal logs.
  DUZEAnalytics::trackPage("page");
  EXPECT_EQ(critical()->items().size(), 1u);
}

TEST_F(AnalyticsService, EventsGetAnIdNameAndNoEmptyProperties) {
  start();
  DUZEAnalytics::trackEventWithProperties("buy", DUZEProperties{{"k", "v"}});
  DUZEAnalytics::trackEventWithTypedProperties("empty", DUZEEventProperties::create());
  auto logged = events();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0]->name(), "buy");
  ASSERT_TRUE(logged[0]->eventId());
  EXPECT_TRUE(foundation::NSUUID::fromString(*logged[0]->eventId()));
  EXPECT_NE(logged[0]->eventId(), logged[1]->eventId());
  ASSERT_TRUE(logged[0]->typedProperties());
  EXPECT_EQ(logged[0]->typedProperties()->serializeToArray(),
            nlohmann::ordered_json::parse(R"([{"type":"string","name":"k","value":"v"}])"));
  EXPECT_FALSE(logged[1]->typedProperties());
  EXPECT_FALSE(logged[0]->properties());
  EXPECT_TRUE(logged[0]->transmissionTargetTokens().empty());
}

TEST_F(AnalyticsService, TheDefaultTargetTakesUntargetedEventsWithTheUserId) {
  start("default-key-1");
  DUZEUserIdContext::sharedInstance()->setUserId("alice");
  DUZEAnalytics::trackEvent("untargeted");
  auto other = DUZEAnalytics::transmissionTargetForToken("other-key-2");
  DUZEAnalytics::trackEventWithProperties("targeted", std::nullopt, other, 1);
  auto logged = events();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0]->transmissionTargetTokens(), std::set<std::string>{"default-key-1"});
  EXPECT_EQ(logged[0]->tag(),
            std::static_pointer_cast<void>(analytics()->defaultTransmissionTarget()));
  EXPECT_EQ(logged[0]->userId(), "alice");
  EXPECT_EQ(logged[1]->transmissionTargetTokens(), std::set<std::string>{"other-key-2"});
  EXPECT_EQ(logged[1]->tag(), std::static_pointer_cast<void>(other));
  EXPECT_FALSE(logged[1]->userId());
}

TEST_F(AnalyticsService, OnlyUntargetedEventsHaveTheirTypedPropertiesLimited) {
  start();
  auto many = DUZEEventProperties::create();
  for (int i = 0; i < 25; ++i) many->setInt64(i, "key" + std::to_string(10 + i));
  DUZEAnalytics::trackEventWithTypedProperties("limited", many);
  auto target = DUZEAnalytics::transmissionTargetForToken("t-1");
  DUZEAnalytics::trackEventWithTypedProperties("free", many, target, 1);
  auto logged = events();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0]->typedProperties()->count(), 20u);
  EXPECT_EQ(logged[1]->typedProperties()->count(), 25u);
  EXPECT_EQ(many->count(), 25u);
}

TEST_F(AnalyticsService, EventsThroughADisabledTargetAreDropped) {
  start();
  auto target = DUZEAnalytics::transmissionTargetForToken("t-1");
  target->setEnabled(false);
  DUZEAnalytics::trackEventWithProperties("dropped", std::nullopt, target, 1);
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(hasLine("This transmission target is disabled."));
}

TEST_F(AnalyticsService, PagesCarryOnlyNonEmptyProperties) {
  start();
  DUZEAnalytics::trackPageWithProperties("Empty", DUZEProperties{});
  DUZEAnalytics::trackPageWithProperties("Full", DUZEProperties{{"a", "b"}});
  auto pages = main()->logsOf<DUZEPageLog>();
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_FALSE(pages[0]->properties());
  EXPECT_FALSE(pages[0]->serializeToDictionary().contains("properties"));
  EXPECT_EQ(pages[1]->properties(), (DUZEProperties{{"a", "b"}}));
}

TEST_F(AnalyticsService, AStartFromALibraryNeitherTracksSessionsNorListens) {
  start(std::nullopt, /*fromApplication=*/false);
  EXPECT_TRUE(group_->delegates().empty());
  EXPECT_TRUE(main()->items().empty());
  EXPECT_FALSE(analytics()->sessionTracker()->isStarted());
  // The application's start later takes over.
  analytics()->updateConfigurationWithAppSecret("secret", "late-token");
  EXPECT_TRUE(group_->hasDelegate(analytics()->sessionTracker().get()));
  EXPECT_TRUE(group_->hasDelegate(static_cast<DUZEChannelDelegate*>(analytics().get())));
  EXPECT_EQ(main()->logsOf<DUZEStartSessionLog>().size(), 1u);
  ASSERT_TRUE(analytics()->defaultTransmissionTarget());
  EXPECT_EQ(analytics()->defaultTransmissionTarget()->transmissionTargetToken(), "late-token");
}

TEST_F(AnalyticsService, TheIntervalIsCheckedAndOnlyTakenBeforeTheStart) {
  DUZEAnalytics::setTransmissionInterval(5);
  DUZEAnalytics::setTransmissionInterval(86401);
  EXPECT_EQ(countLines("The transmission interval is not valid, it should be between 6 second(s) "
                       "and 86400 second(s) (1 day)."),
            2u);
  EXPECT_EQ(DUZEAnalytics::transmissionInterval(), 6u);
  DUZEAnalytics::setTransmissionInterval(86400);
  EXPECT_EQ(DUZEAnalytics::transmissionInterval(), 86400u);
  DUZEAnalytics::setTransmissionInterval(6);
  EXPECT_EQ(DUZEAnalytics::transmissionInterval(), 6u);
  EXPECT_TRUE(hasLine("Transmission interval set to 6 second(s)"));
  start();
  DUZEAnalytics::setTransmissionInterval(30);
  EXPECT_TRUE(hasLine(
      "The transmission interval should be set before the DUZEAnalytics service is started."));
  EXPECT_EQ(DUZEAnalytics::transmissionInterval(), 6u);
}

TEST_F(AnalyticsService, TargetsAreKeptPerTokenApartFromTheDefault) {
  start("start-token");
  auto a = DUZEAnalytics::transmissionTargetForToken("k-1");
  EXPECT_EQ(DUZEAnalytics::transmissionTargetForToken("k-1"), a);
  EXPECT_TRUE(hasLine("Created transmission target with target key k."));
  EXPECT_TRUE(hasLine("Returning transmission target found with id k."));
  auto fromStartToken = DUZEAnalytics::transmissionTargetForToken("start-token");
  EXPECT_NE(fromStartToken, analytics()->defaultTransmissionTarget());
}

TEST_F(AnalyticsService, DisablingReachesUnitsTargetsAndTheSession) {
  start("default-1");
  auto target = DUZEAnalytics::transmissionTargetForToken("t-1");
  auto child = target->transmissionTargetForToken("child-1");
  auto session = analytics()->sessionTracker()->context()->sessionId();
  ASSERT_TRUE(session);
  DUZEAnalytics::setServiceEnabled(false);
  EXPECT_FALSE(DUZEAnalytics::isServiceEnabled());
  EXPECT_EQ(DUZEZozIduvurUserDefaults::shared()->objectForKey("AnalyticsIsEnabled"),
            foundation::Value(false));
  EXPECT_EQ(main()->calls().back(), "enabled:0:1");
  EXPECT_EQ(critical()->calls().back(), "enabled:0:1");
  EXPECT_FALSE(target->isEnabled());
  EXPECT_FALSE(child->isEnabled());
  EXPECT_FALSE(analytics()->defaultTransmissionTarget()->isEnabled());
  // Targets and their configurators stay delegates; the service and its
  // tracker leave.
  EXPECT_FALSE(group_->hasDelegate(analytics()->sessionTracker().get()));
  EXPECT_FALSE(group_->hasDelegate(static_cast<DUZEChannelDelegate*>(analytics().get())));
  EXPECT_TRUE(group_->hasDelegate(target.get()));
  EXPECT_FALSE(analytics()->sessionTracker()->isStarted());
  EXPECT_FALSE(analytics()->sessionTracker()->context()->sessionIdAt(dispatch::Date::now()));
  EXPECT_TRUE(hasLine("Analytics service has been disabled."));
  const size_t before = main()->items().size();
  DUZEAnalytics::trackEvent("while-disabled");
  DUZEAnalytics::trackPage("while-disabled");
  EXPECT_EQ(main()->items().size(), before);

  DUZEAnalytics::setServiceEnabled(true);
  EXPECT_TRUE(target->isEnabled());
  EXPECT_TRUE(child->isEnabled());
  EXPECT_TRUE(analytics()->defaultTransmissionTarget()->isEnabled());
  EXPECT_TRUE(group_->hasDelegate(analytics()->sessionTracker().get()));
  auto starts = main()->logsOf<DUZEStartSessionLog>();
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_NE(starts[1]->sid(), session);
}

TEST_F(AnalyticsService, EnablingNeedsTheWholeClientEnabled) {
  start();
  DUZEZozIduvur::setEnabled(false);
  DUZEAnalytics::setServiceEnabled(true);
  EXPECT_TRUE(
      hasLine("The SDK is disabled. Re-enable the whole SDK from ZozIduvur first before "
              "enabling Analytics service."));
}

TEST_F(AnalyticsService, PauseAndResumeUseTheServiceAsIdentity) {
  start();
  DUZEAnalytics::pause();
  DUZEAnalytics::resume();
  for (const auto& unit : {main(), critical()}) {
    auto calls = unit->calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "pause");
    EXPECT_EQ(calls.back(), "resume");
    EXPECT_EQ(unit->identities().back(), std::static_pointer_cast<void>(analytics()));
  }
}

TEST_F(AnalyticsService, TargetPausesReachBothMirrors) {
  start();
  DUZEAnalytics::pauseTransmissionTargetForToken("k-1");
  DUZEAnalytics::resumeTransmissionTargetForToken("k-1");
  for (const char* id : {"Analytics/one", "Analytics_critical/one"}) {
    EXPECT_EQ(group_->unit(id)->calls(),
              (std::vector<std::string>{"pauseToken:k-1", "resumeToken:k-1"}))
        << id;
  }
  EXPECT_EQ(analytics()->collectorChannelUnit(), group_->unit("Analytics/one"));
}

TEST_F(AnalyticsService, SendingReportsReachTheDelegateForEventsAndPagesOnly) {
  start();
  auto listener = std::make_shared<SendListener>();
  DUZEAnalytics::setDelegate(listener);
  auto event = DUZEEventLog::create();
  event->setName("e");
  auto page = DUZEPageLog::create();
  page->setName("p");
  auto error = foundation::NSError::create("d", 7);
  for (const auto& log : std::vector<std::shared_ptr<DUZEAbstractLog>>{
           event, page, DUZEStartSessionLog::create(), DUZECommonSchemaLog::create()}) {
    analytics()->channelWillSendLog(nullptr, log);
    analytics()->channelDidSucceedSendingLog(nullptr, log);
    analytics()->channelDidFailSendingLog(nullptr, log, error);
  }
  EXPECT_EQ(listener->calls,
            (std::vector<std::string>{"willSendEvent e", "sentEvent e", "failedEvent e 7",
                                      "willSendPage p", "sentPage p"}));
}

TEST_F(AnalyticsService, ResetStopsTheTrackerAndBuildsAFreshInstance) {
  start();
  auto first = analytics();
  DUZEAnalytics::setAutoPageTrackingEnabled(true);
  DUZEAnalytics::resetSharedInstance();
  EXPECT_FALSE(first->sessionTracker()->isStarted());
  EXPECT_NE(analytics(), first);
  EXPECT_FALSE(DUZEAnalytics::isAutoPageTrackingEnabled());
  EXPECT_FALSE(analytics()->isStarted());
}

TEST_F(AnalyticsService, OldEnabledKeysMoveToTheirNewNamesOnce) {
  auto store = foundation::NSUserDefaults::standardUserDefaults();
  store->setObject(foundation::Value(false), "kZIAnalyticsIsEnabledKey");
  store->setObject(foundation::Value(false), "kZIAnalyticsIsEnabledKey/abc");
  DUZEAnalytics::resetSharedInstance();
  analytics();
  auto defaults = DUZEZozIduvurUserDefaults::shared();
  EXPECT_EQ(defaults->objectForKey("AnalyticsIsEnabled"), foundation::Value(false));
  EXPECT_EQ(defaults->objectForKey("AnalyticsIsEnabled/abc"), foundation::Value(false));
  EXPECT_FALSE(store->objectForKey("kZIAnalyticsIsEnabledKey"));
}

}  // namespace
