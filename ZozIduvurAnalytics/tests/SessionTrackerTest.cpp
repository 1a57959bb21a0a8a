// Sessions: stamping, renewal after a pause, manual mode, extensions.

#include "AnalyticsSupport.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurAnalytics/DUZEPageLog.h"
#include "ZozIduvurAnalytics/DUZESessionTracker.h"
#include "ZozIduvurAnalytics/DUZEStartSessionLog.h"
#include "foundation/Bundle.h"
#include "foundation/NotificationCenter.h"
#include "foundation/UUID.h"

namespace {

using analyticstest::ManualClock;

// Records the start-session logs the tracker hands over, with the session
// id current at that moment.
class Recorder : public DUZESessionTrackerDelegate {
 public:
  void sessionTrackerProcessLog(const std::shared_ptr<DUZESessionTracker>&,
                                const std::shared_ptr<DUZEStartSessionLog>& log) override {
    logs.push_back(log);
  }
  std::vector<std::shared_ptr<DUZEStartSessionLog>> logs;
};

// A log marked to keep its own session id (as crash logs are).
class MarkedLog : public DUZEPageLog, public DUZENoAutoAssignSessionIdLog {};

class SessionTracker : public analyticstest::AnalyticsTest {
 protected:
  void SetUp() override {
    AnalyticsTest::SetUp();
    tracker_ = DUZESessionTracker::create();
    recorder_ = std::make_shared<Recorder>();
    tracker_->setDelegate(recorder_);
  }
  void TearDown() override {
    tracker_->stop();
    tracker_.reset();
    AnalyticsTest::TearDown();
  }

  // A log passing through preparation; answers the session id it got.
  std::optional<std::string> prepare(std::shared_ptr<DUZEAbstractLog> log = nullptr) {
    if (!log) log = DUZEPageLog::create();
    tracker_->channelPrepareLog(nullptr, log);
    return log->sid();
  }
  static void post(std::string_view name) {
    foundation::NotificationCenter::defaultCenter()->postNotificationName(name);
  }
  static void resignActive() { post(kDUZEApplicationDidResignActiveNotification); }
  static void becomeActive() { post(kDUZEApplicationWillBecomeActiveNotification); }

  ManualClock clock_;
  std::shared_ptr<DUZESessionTracker> tracker_;
  std::shared_ptr<Recorder> recorder_;
};

TEST_F(SessionTracker, ConstructionDiscardsThePastSessionsOfOlderVersions) {
  DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value("old"), "PastSessions");
  DUZESessionTracker::create();
  EXPECT_FALSE(DUZEZozIduvurUserDefaults::shared()->objectForKey("PastSessions"));
}

TEST_F(SessionTracker, StartWhileActiveStartsOneSessionBeforeStampingLogs) {
  EXPECT_FALSE(prepare());  // no session yet
  tracker_->start();
  ASSERT_EQ(recorder_->logs.size(), 1u);
  const auto id = recorder_->logs[0]->sid();
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 36u);
  EXPECT_EQ(*id, foundation::NSUUID::fromString(*id)->UUIDString());  // upper case
  EXPECT_EQ(tracker_->context()->sessionId(), id);
  EXPECT_EQ(prepare(), id);
  EXPECT_TRUE(hasLine("New session ID: " + *id));
  tracker_->start();  // already started
  EXPECT_EQ(recorder_->logs.size(), 1u);
}

TEST_F(SessionTracker, StartInTheBackgroundWaitsForTheReturnToTheFront) {
  DUZEUtility::setApplicationHiddenQuery([] { return true; });
  tracker_->start();
  DUZEUtility::setApplicationHiddenQuery(nullptr);
  EXPECT_TRUE(recorder_->logs.empty());
  becomeActive();
  EXPECT_EQ(recorder_->logs.size(), 1u);  // no current session
}

TEST_F(SessionTracker, ALogDuringThePauseKeepsTheSession) {
  tracker_->start();
  resignActive();
  clock_.advance(10);
  prepare();
  clock_.advance(15);  // 25 s after going inactive, 15 s after the log
  becomeActive();
  EXPECT_EQ(recorder_->logs.size(), 1u);
}

TEST_F(SessionTracker, TwentySecondsInactiveWithoutLogsStartsANewSession) {
  tracker_->start();
  prepare();
  resignActive();
  clock_.advance(19.5);
  becomeActive();
  EXPECT_EQ(recorder_->logs.size(), 1u);
  resignActive();
  clock_.advance(20);
  becomeActive();
  ASSERT_EQ(recorder_->logs.size(), 2u);
  EXPECT_NE(recorder_->logs[0]->sid(), recorder_->logs[1]->sid());
  EXPECT_EQ(prepare(), recorder_->logs[1]->sid());
}

TEST_F(SessionTracker, ASessionNeverTimesOutWhileTheApplicationStaysActive) {
  tracker_->start();
  clock_.advance(3600);
  EXPECT_FALSE(tracker_->hasSessionTimedOut());
  becomeActive();
  EXPECT_EQ(recorder_->logs.size(), 1u);
}

TEST_F(SessionTracker, StillInactiveForLongCountsToo) {
  tracker_->start();
  becomeActive();
  clock_.advance(1);
  resignActive();
  clock_.advance(20);
  // Background later than foreground and 20 s ago, no log for 20 s.
  EXPECT_TRUE(tracker_->hasSessionTimedOut());
  prepare();
  EXPECT_FALSE(tracker_->hasSessionTimedOut());
}

TEST_F(SessionTracker, InsideAnExtensionOnlyTheTimeSinceTheLastLogDecides) {
  foundation::NSBundle::mainBundle()->setExecutablePath("/Applications/Host.app/Plugins/X.appex/X");
  tracker_->start();  // the state is unknown inside an extension: no session yet
  EXPECT_TRUE(recorder_->logs.empty());
  prepare();
  clock_.advance(19);
  EXPECT_FALSE(tracker_->hasSessionTimedOut());
  clock_.advance(1);
  EXPECT_TRUE(tracker_->hasSessionTimedOut());
}

TEST_F(SessionTracker, StartSessionAndStartServiceLogsKeepTheirSessionIds) {
  tracker_->start();
  auto start = DUZEStartSessionLog::create();
  start->setSid("OWN");
  EXPECT_EQ(prepare(start), "OWN");
  auto service = DUZEStartServiceLog::create();
  EXPECT_FALSE(prepare(service));
  // Neither counts as activity.
  EXPECT_FALSE(tracker_->lastCreatedLogTime());
}

TEST_F(SessionTracker, MarkedLogsKeepTheirIdButCountAsActivity) {
  tracker_->start();
  auto marked = std::make_shared<MarkedLog>();
  marked->setSid("CRASHED-SESSION");
  resignActive();
  clock_.advance(10);
  EXPECT_EQ(prepare(marked), "CRASHED-SESSION");
  EXPECT_EQ(tracker_->lastCreatedLogTime(), clock_.now());
  clock_.advance(15);
  becomeActive();
  EXPECT_EQ(recorder_->logs.size(), 1u);
}

TEST_F(SessionTracker, StopClearsTheSessionAndStopsObserving) {
  tracker_->start();
  EXPECT_EQ(foundation::NotificationCenter::defaultCenter()->observationCount(tracker_.get()), 2u);
  tracker_->stop();
  EXPECT_FALSE(tracker_->isStarted());
  EXPECT_FALSE(tracker_->context()->sessionId());
  EXPECT_EQ(foundation::NotificationCenter::defaultCenter()->observationCount(tracker_.get()), 0u);
  resignActive();
  EXPECT_FALSE(tracker_->lastEnteredBackgroundTime());
  // A stopped tracker renews nothing.
  tracker_->renewSessionId();
  EXPECT_EQ(recorder_->logs.size(), 1u);
}

TEST_F(SessionTracker, ADestroyedTrackerStopsObserving) {
  auto other = DUZESessionTracker::create();
  other->start();
  const void* address = other.get();
  other.reset();
  EXPECT_EQ(foundation::NotificationCenter::defaultCenter()->observationCount(address), 0u);
}

TEST_F(SessionTracker, ManualModeIsSetBeforeStartAndStartsSessionsOnRequestOnly) {
  tracker_->startSession();
  EXPECT_TRUE(hasLine("Can't start new session because manual session tracker is disabled."));
  EXPECT_TRUE(recorder_->logs.empty());
  tracker_->enableManualSessionTracker();
  EXPECT_TRUE(hasLine("Manual session tracker is enabled."));
  tracker_->start();
  EXPECT_FALSE(tracker_->isStarted());
  EXPECT_TRUE(recorder_->logs.empty());
  tracker_->startSession();
  ASSERT_EQ(recorder_->logs.size(), 1u);
  EXPECT_TRUE(hasLine("Started a new session: " + *recorder_->logs[0]->sid()));
  // Never subscribed: the notifications do not reach it.
  resignActive();
  EXPECT_FALSE(tracker_->lastEnteredBackgroundTime());
  tracker_->applicationDidEnterBackground();
  tracker_->applicationWillEnterForeground();
  EXPECT_TRUE(
      hasLine("Manual session tracker is enabled. Skip tracking a session status request "
              "after enter background."));
  EXPECT_TRUE(
      hasLine("Manual session tracker is enabled. Skip tracking a session status request "
              "after enter foreground."));
  EXPECT_EQ(recorder_->logs.size(), 1u);
}

TEST_F(SessionTracker, ManualModeAfterStartIsRefused) {
  tracker_->start();
  tracker_->enableManualSessionTracker();
  EXPECT_TRUE(
      hasLine("Manual session tracker should be set before the DUZEAnalytics service is started."));
  EXPECT_FALSE(tracker_->isManualSessionTrackerEnabled());
}

}  // namespace
