// What one run of the application tracks, and does not get to send before it
// dies, is found, sent and deleted by the next run.

#include <csignal>
#include <cstdlib>

#include "AnalyticsSupport.h"
#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvurAnalytics/DUZEEventLog.h"
#include "ZozIduvurTest/SentLogs.h"
#include "dispatchTest/Processes.h"
#include "dispatchTest/Waiting.h"
#include "foundation/Paths.h"

namespace {

using dispatch::testing::eventually;

using dispatch::testing::roleIs;

constexpr const char* kRole = "ZOZIDUVUR_ANALYTICS_TEST_ROLE";

}  // namespace

TEST(AnalyticsEndToEndChild, TrackThenDie) {
  if (!roleIs(kRole, "track")) GTEST_SKIP() << "runs as a child of AnalyticsEndToEnd.*";
  DUZEZozIduvur::start("secret", {DUZEServiceClass::of<DUZEAnalytics>()});
  auto properties = DUZEEventProperties::create();
  properties->setString("dark", "theme").setInt64(3, "windows");
  DUZEAnalytics::trackEventWithTypedProperties("first-run", properties);
  DUZEAnalytics::trackPage("Preferences");
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  // Killed long before the first flush.
  std::raise(SIGKILL);
}

namespace {

class Recorder : public DUZEAnalyticsDelegate {
 public:
  void analyticsDidSucceedSendingEventLog(const std::shared_ptr<DUZEAnalytics>&,
                                          const std::shared_ptr<DUZEEventLog>& log) override {
    std::lock_guard lock(mutex_);
    sent_.push_back(log->name().value_or(""));
  }
  std::vector<std::string> sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> sent_;
};

class AnalyticsEndToEnd : public analyticstest::AnalyticsTest {};

TEST_F(AnalyticsEndToEnd, TheNextRunSendsAndDeletesWhatThePreviousOneStored) {
  // The first run: its ingestion is unreachable, and it dies.
  std::string deadUrl;
  {
    foundationtest::HTTPServer closed;
    deadUrl = closed.baseUrl();
  }
  const std::string dir =
      std::string(foundation::kDataDirectoryEnvironmentVariable) + "=" + dataDir().string();
  EXPECT_EQ(
      dispatch::testing::runChild("AnalyticsEndToEndChild.TrackThenDie",
                                  {dir, std::string(kDUZELogUrlEnvironmentVariable) + "=" + deadUrl,
                                   std::string(kRole) + "=track"}),
      -1);
  // Its start-session log, event and page wait in the store.
  ASSERT_EQ(storedRows("Analytics"), 3u);
  auto previousSession = DUZESessionContext::sharedInstance()->sessionIdAt(dispatch::Date::now());
  ASSERT_TRUE(previousSession);

  // The second run (this process) sends them.
  resetSharedState();
  DUZEAnalytics::resetSharedInstance();
  auto recorder = std::make_shared<Recorder>();
  DUZEAnalytics::setDelegate(recorder);
  startClient();
  ASSERT_TRUE(eventually([&] {
    auto sent = recorder->sent();
    return std::find(sent.begin(), sent.end(), "first-run") != sent.end();
  }));
  ASSERT_TRUE(eventually([&] { return storedRows("Analytics") == 0; }));

  auto logs = duzetest::sentLogs(server_->requests(), "/logs");
  std::optional<nlohmann::json> event, page;
  std::set<std::string> startedSessions;
  for (const auto& log : logs) {
    if (log.value("name", "") == "first-run") event = log;
    if (log.value("name", "") == "Preferences") page = log;
    if (log["type"] == "startSession") startedSessions.insert(log["sid"].get<std::string>());
  }
  ASSERT_TRUE(event);
  ASSERT_TRUE(page);
  EXPECT_EQ((*event)["sid"], *previousSession);
  EXPECT_EQ((*page)["sid"], *previousSession);
  EXPECT_EQ((*event)["typedProperties"], nlohmann::json::parse(R"([
      {"type":"string","name":"theme","value":"dark"},
      {"type":"long","name":"windows","value":3}])"));
  // Both runs started a session of their own.
  const auto currentSession = DUZESessionContext::sharedInstance()->sessionId();
  ASSERT_TRUE(currentSession);
  EXPECT_NE(*currentSession, *previousSession);
  EXPECT_EQ(startedSessions, (std::set<std::string>{*previousSession, *currentSession}));
}

}  // namespace
