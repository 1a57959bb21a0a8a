#include <sys/wait.h>
#include <unistd.h>

#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZETicketCache.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurTest/CoreTest.h"
#include "dispatchTest/Environment.h"
#include "foundation/Bundle.h"
#include "foundationTest/Bundle.h"

using dispatch::Date;

namespace {

class Contexts : public duzetest::CoreTest {};

std::shared_ptr<DUZEDevice> deviceNamed(const std::string& model) {
  auto device = DUZEDeviceTracker::describeHost();
  device->setModel(model);
  return device;
}

// Spins until the clock has moved past `t`, so that the next entry recorded
// is strictly later than `t` (the clock may tick slower than the code runs).
void passBeyond(Date t) {
  while (Date::now() <= t) {
  }
}

// Stores a device history as an earlier run would have left it.
void storeDeviceHistory(const std::vector<std::shared_ptr<DUZEDeviceHistoryInfo>>& history) {
  auto data = DUZEUtility::archiveKeyedData(duze::objectArray(history));
  DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(*data), "PastDevices");
}

}  // namespace

TEST_F(Contexts, SessionHistoryIsPersistedAndAnsweredByTime) {
  auto context = DUZESessionContext::sharedInstance();
  EXPECT_FALSE(context->sessionId());
  const Date before = Date::now();
  passBeyond(before);
  context->setSessionId("S1");
  const Date between = Date::now();
  passBeyond(between);
  context->setSessionId(std::nullopt);
  context->setSessionId("S2");
  EXPECT_EQ(context->sessionId(), "S2");
  EXPECT_FALSE(context->sessionIdAt(before));
  EXPECT_EQ(context->sessionIdAt(between), "S1");
  EXPECT_EQ(context->sessionIdAt(Date::now() + 10), "S2");

  // A later run finds the history but has no current session.
  resetSharedState();
  auto later = DUZESessionContext::sharedInstance();
  EXPECT_FALSE(later->sessionId());
  EXPECT_EQ(later->sessionIdAt(between), "S1");

  passBeyond(Date::now());
  later->setSessionId("S3");
  later->clearSessionHistoryAndKeepCurrentSession(true);
  EXPECT_FALSE(later->sessionIdAt(between));
  EXPECT_EQ(later->sessionIdAt(Date::now() + 10), "S3");
  later->clearSessionHistoryAndKeepCurrentSession(false);
  EXPECT_FALSE(later->sessionIdAt(Date::now() + 10));
  EXPECT_EQ(later->sessionId(), "S3");
}

// Each entry names the process that recorded it, as taken once in that
// process: a child forked after its parent took it takes its own.
TEST_F(Contexts, AForkedChildsEntriesAreNotItsParents) {
  auto context = DUZESessionContext::sharedInstance();
  context->setSessionId("PARENT");
  const auto parent = DUZEProcessIdentity::current();
  ASSERT_TRUE(parent);
  if (!parent->isKnown()) GTEST_SKIP() << "the system gives no boot id or start in ticks";
  passBeyond(Date::now());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    context->setSessionId("CHILD");
    const auto own = DUZEProcessIdentity::current();
    ::_exit(own && own->isKnown() && own->processId == ::getpid() && !own->sameAs(*parent) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  resetSharedState();
  const auto at = Date::now() + 10;
  const auto crashed = [](std::optional<DUZEProcessIdentity> process) {
    return DUZECrashedProcess{std::move(process), std::nullopt};
  };
  auto later = DUZESessionContext::sharedInstance();
  EXPECT_EQ(later->sessionIdAt(at), "CHILD");
  EXPECT_EQ(later->crashedSessionIdAt(at, DUZEDatePrecision::exact, crashed(parent)), "PARENT");
}

TEST_F(Contexts, UserIdHistoryKeepsTheCurrentEntryWhenCleared) {
  auto context = DUZEUserIdContext::sharedInstance();
  context->setUserId("alice");
  const Date mid = Date::now();
  passBeyond(mid);
  context->setUserId("bob");
  EXPECT_EQ(context->userIdAt(mid), "alice");
  resetSharedState();
  context = DUZEUserIdContext::sharedInstance();
  EXPECT_FALSE(context->userId());
  EXPECT_EQ(context->userIdAt(mid), "alice");
  context->setUserId("carol");
  context->clearUserIdHistory();
  EXPECT_FALSE(context->userIdAt(mid));
  EXPECT_EQ(context->userIdAt(Date::now() + 1), "carol");
}

TEST_F(Contexts, UserIdRulesOfTheCollector) {
  using C = DUZEUserIdContext;
  EXPECT_TRUE(C::isUserIdValidForEventCollector(std::nullopt));
  EXPECT_TRUE(C::isUserIdValidForEventCollector("alice"));
  EXPECT_TRUE(C::isUserIdValidForEventCollector("c:alice"));
  EXPECT_TRUE(lines().empty());
  EXPECT_FALSE(C::isUserIdValidForEventCollector(""));
  EXPECT_EQ(countLines("[ZozIduvur] ERROR: "), 1u);
  EXPECT_TRUE(hasLine("userId must not be empty."));
  EXPECT_FALSE(C::isUserIdValidForEventCollector("x:alice"));
  EXPECT_TRUE(hasLine("userId prefix must be 'c', 'x' is not supported."));
  EXPECT_FALSE(C::isUserIdValidForEventCollector(":alice"));
  EXPECT_TRUE(hasLine("userId prefix must be 'c', '' is not supported."));
  clearLines();
  EXPECT_FALSE(C::isUserIdValidForEventCollector("c:"));
  EXPECT_TRUE(hasLine("userId must not be empty."));
  // Only the part before the first colon is the prefix.
  EXPECT_TRUE(C::isUserIdValidForEventCollector("c:a:b"));

  EXPECT_FALSE(C::prefixedUserIdFromUserId(std::nullopt));
  EXPECT_EQ(C::prefixedUserIdFromUserId("alice"), "c:alice");
  EXPECT_EQ(C::prefixedUserIdFromUserId("c:alice"), "c:alice");
  EXPECT_EQ(C::prefixedUserIdFromUserId("x:alice"), "x:alice");
}

TEST_F(Contexts, DeviceForTimestampBeforeBetweenAndAfterEntries) {
  auto first = deviceNamed("first");
  auto second = deviceNamed("second");
  storeDeviceHistory({DUZEDeviceHistoryInfo::create(Date(200), second),
                      DUZEDeviceHistoryInfo::create(Date(100), first)});
  auto tracker = DUZEDeviceTracker::sharedInstance();
  auto current = tracker->device();
  EXPECT_EQ(tracker->deviceForTimestamp(Date(50))->model(), "first");    // before all
  EXPECT_EQ(tracker->deviceForTimestamp(Date(100))->model(), "first");   // on an entry
  EXPECT_EQ(tracker->deviceForTimestamp(Date(150))->model(), "first");   // between
  EXPECT_EQ(tracker->deviceForTimestamp(Date(250))->model(), "second");  // before this run
  EXPECT_EQ(tracker->deviceForTimestamp(Date::now() + 5), current);      // after all
  EXPECT_EQ(tracker->deviceForTimestamp(std::nullopt), current);

  tracker->clearDevices();
  EXPECT_TRUE(tracker->deviceForTimestamp(Date(50))->isEqual(*current));
}

TEST_F(Contexts, DeviceHistoryGrowsOnlyWhenTheDescriptionChanges) {
  auto bundle = foundation::NSBundle::mainBundle();
  auto tracker = DUZEDeviceTracker::sharedInstance();
  EXPECT_EQ(tracker->device()->appVersion(), "Unknown");
  const Date firstRun = Date::now();
  passBeyond(firstRun);
  resetSharedState();
  DUZEDeviceTracker::sharedInstance();  // the same description again
  resetSharedState();
  bundle->setObjectForInfoDictionaryKey(foundation::Value("3.0"),
                                        foundation::kCFBundleShortVersionStringKey);
  tracker = DUZEDeviceTracker::sharedInstance();
  foundationtest::resetInfoDictionary(*bundle);
  EXPECT_EQ(tracker->device()->appVersion(), "3.0");
  EXPECT_EQ(tracker->deviceForTimestamp(firstRun)->appVersion(), "Unknown");
  auto stored = DUZEZozIduvurUserDefaults::shared()->objectForKey("PastDevices");
  ASSERT_TRUE(stored && stored->dataValue());
  auto history = DUZEUtility::unarchiveKeyedData(*stored->dataValue());
  ASSERT_TRUE(history.arrayValue());
  EXPECT_EQ(history.arrayValue()->size(), 2u);
}

TEST_F(Contexts, HostDescriptionIsAValidDevice) {
  auto device = DUZEDeviceTracker::describeHost();
  EXPECT_TRUE(device->isValid());
  EXPECT_EQ(device->sdkName(), "zoziduvur.linux");
  EXPECT_TRUE(device->osBuild().has_value());
  EXPECT_EQ(device->appNamespace(), "ZozIduvur_tests");
}

TEST_F(Contexts, TicketCache) {
  auto cache = DUZETicketCache::sharedInstance();
  EXPECT_FALSE(cache->ticketFor("k"));
  cache->setTicket("p:one", "k");
  cache->setTicket("d:two", "k");
  EXPECT_EQ(cache->ticketFor("k"), "d:two");
  cache->clearCache();
  EXPECT_FALSE(cache->ticketFor("k"));
}

TEST_F(Contexts, LocaleComesFromTheEnvironmentWithoutEncoding) {
  dispatch::testing::ScopedEnvironment environment;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) environment.unset(name);
  environment.set("LANG", "de_DE.UTF-8@euro");
  EXPECT_EQ(DUZEDeviceTracker::describeHost()->locale(), "de_DE");
  environment.set("LC_ALL", "fr_CA");
  EXPECT_EQ(DUZEDeviceTracker::describeHost()->locale(), "fr_CA");
  environment.set("LC_ALL", "C");
  EXPECT_EQ(DUZEDeviceTracker::describeHost()->locale(), "en_US");
}
