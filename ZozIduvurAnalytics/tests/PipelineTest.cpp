// The service on the real channel group, sending to a loopback ingestion:
// what reaches the ingestion and the collector, and what the delegate hears.

#include <fstream>

#include "AnalyticsSupport.h"
#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/TestSeams.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsTransmissionTarget.h"
#include "ZozIduvurAnalytics/DUZEEventLog.h"
#include "ZozIduvurAnalytics/DUZEPageLog.h"
#include "ZozIduvurAnalytics/TestSeams.h"
#include "ZozIduvurTest/SentLogs.h"
#include "dispatchTest/Waiting.h"

namespace {

using dispatch::testing::eventually;

using nlohmann::json;

// Records the service's sending reports (they come on the logs queue).
class Listener : public DUZEAnalyticsDelegate {
 public:
  void analyticsWillSendEventLog(const std::shared_ptr<DUZEAnalytics>&,
                                 const std::shared_ptr<DUZEEventLog>& log) override {
    add("willSendEvent " + log->name().value_or(""));
  }
  void analyticsDidSucceedSendingEventLog(const std::shared_ptr<DUZEAnalytics>&,
                                          const std::shared_ptr<DUZEEventLog>& log) override {
    add("sentEvent " + log->name().value_or(""));
  }
  void analyticsDidFailSendingEventLog(const std::shared_ptr<DUZEAnalytics>&,
                                       const std::shared_ptr<DUZEEventLog>& log,
                                       const std::shared_ptr<foundation::NSError>&) override {
    add("failedEvent " + log->name().value_or(""));
  }
  void analyticsDidSucceedSendingPageLog(const std::shared_ptr<DUZEAnalytics>&,
                                         const std::shared_ptr<DUZEPageLog>& log) override {
    add("sentPage " + log->name().value_or(""));
  }
  bool has(const std::string& call) {
    std::lock_guard lock(mutex_);
    return std::find(calls_.begin(), calls_.end(), call) != calls_.end();
  }
  size_t size() {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }

 private:
  void add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

// Completes every token request at once.
class TokenSource : public DUZEAnalyticsAuthenticationProviderDelegate {
 public:
  void authenticationProviderAcquireTokenWithCompletionHandler(
      const std::shared_ptr<DUZEAnalyticsAuthenticationProvider>&,
      DUZEAnalyticsAuthenticationProviderCompletionBlock completion) override {
    completion("TOKEN", dispatch::Date::now() + 3600);
  }
};

class Pipeline : public analyticstest::AnalyticsTest {
 protected:
  std::vector<json> logsAt(const std::string& path) {
    return duzetest::sentLogs(server_->requests(), path);
  }
  std::optional<json> sentNamed(const std::string& path, const std::string& name) {
    for (const auto& log : logsAt(path))
      if (log.value("name", "") == name) return log;
    return std::nullopt;
  }
};

TEST_F(Pipeline, EventsAndPagesAreSentWithTheirSessionAndReported) {
  auto listener = std::make_shared<Listener>();
  DUZEAnalytics::setDelegate(listener);
  startClient();
  DUZEAnalytics::trackEventWithProperties("clicked", DUZEProperties{{"button", "ok"}});
  DUZEAnalytics::trackPage("Settings");
  ASSERT_TRUE(eventually(
      [&] { return listener->has("sentEvent clicked") && listener->has("sentPage Settings"); }));
  EXPECT_TRUE(listener->has("willSendEvent clicked"));
  auto event = sentNamed("/logs", "clicked");
  ASSERT_TRUE(event);
  EXPECT_EQ((*event)["type"], "event");
  EXPECT_EQ((*event)["typedProperties"],
            json::parse(R"([{"type":"string","name":"button","value":"ok"}])"));
  const auto session = DUZESessionContext::sharedInstance()->sessionId();
  ASSERT_TRUE(session);
  EXPECT_EQ((*event)["sid"], *session);
  bool sawStart = false;
  for (const auto& log : logsAt("/logs")) {
    if (log["type"] == "startSession") {
      sawStart = true;
      EXPECT_EQ(log["sid"], *session);
    }
  }
  EXPECT_TRUE(sawStart);
}

TEST_F(Pipeline, CriticalEventsAreStoredInTheCriticalUnit) {
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(
      dispatch::DispatchTimeInterval::seconds(60));
  startClient();
  DUZEAnalytics::trackEventWithProperties("urgent", std::nullopt, DUZEFlagsCritical);
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  EXPECT_EQ(storedRows("Analytics_critical"), 1u);
}

TEST_F(Pipeline, ARefusedBatchIsReportedAsFailedForEachEvent) {
  server_->setResponder([](const foundationtest::HTTPServer::Request& request) {
    return request.plainBody().find("\"doomed\"") != std::string::npos ? 400 : 200;
  });
  auto listener = std::make_shared<Listener>();
  DUZEAnalytics::setDelegate(listener);
  startClient();
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  ASSERT_TRUE(eventually([&] { return !logsAt("/logs").empty(); }));  // the start session went
  DUZEAnalytics::trackEvent("doomed");
  ASSERT_TRUE(eventually([&] { return listener->has("failedEvent doomed"); }));
}

TEST_F(Pipeline, TargetedEventsReachTheCollectorWithOverridesAndTicketButNoReport) {
  const std::string machineId = (dataDir() / "machine-id").string();
  std::ofstream(machineId) << "0123456789abcdef0123456789abcdef\n";
  DUZEPropertyConfiguratorSeams::setMachineIdPathForTesting(machineId);
  auto source = std::make_shared<TokenSource>();
  auto listener = std::make_shared<Listener>();
  DUZEAnalytics::setDelegate(listener);
  startClient();
  DUZEAnalyticsTransmissionTarget::addAuthenticationProvider(
      DUZEAnalyticsAuthenticationProvider::create(1, "ticket-key", source));
  auto target = DUZEAnalytics::transmissionTargetForToken("tenant-secret");
  target->propertyConfigurator()->setAppVersion("9.9");
  target->propertyConfigurator()->setUserId("bob");
  target->propertyConfigurator()->collectDeviceId();
  target->propertyConfigurator()->setEventPropertyInt64(5, "level");
  auto properties = DUZEEventProperties::create();
  properties->setString("yes", "answer.text");
  target->trackEventWithTypedProperties("asked", properties);
  ASSERT_TRUE(eventually([&] { return sentNamed("/EventCollector", "asked").has_value(); }));
  auto log = *sentNamed("/EventCollector", "asked");
  EXPECT_EQ(log["iKey"], "o:tenant");
  EXPECT_EQ(log["data"], json::parse(R"({"answer":{"text":"yes"},"level":5})"));
  EXPECT_EQ(log["ext"]["metadata"], json::parse(R"({"f":{"level":4}})"));
  EXPECT_EQ(log["ext"]["app"]["ver"], "9.9");
  EXPECT_EQ(log["ext"]["user"]["localId"], "c:bob");
  EXPECT_EQ(log["ext"]["device"]["localId"], "u:01234567-89AB-CDEF-0123-456789ABCDEF");
  const std::string hash = DUZEUtility::sha256("ticket-key");
  EXPECT_EQ(log["ext"]["protocol"]["ticketKeys"], json::array({hash}));
  bool ticketSent = false;
  for (const auto& request : server_->requests()) {
    if (request.target.rfind("/EventCollector", 0) != 0) continue;
    EXPECT_EQ(request.header("apikey"), "tenant-secret");
    auto tickets = json::parse(request.header("tickets"), nullptr, false);
    if (tickets.is_object() && tickets.value(hash, "") == "d:TOKEN") ticketSent = true;
  }
  EXPECT_TRUE(ticketSent);
  // The event itself never went to the service ingestion, and what the
  // collector got is not an event log: no report.
  EXPECT_FALSE(sentNamed("/logs", "asked"));
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  EXPECT_EQ(listener->size(), 0u);
}

}  // namespace
