#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZETicketCache.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurTest/CoreTest.h"
#include "baseTest/Children.h"
#include "dispatchTest/Environment.h"
#include "dispatchTest/Processes.h"
#include "foundation/Bundle.h"
#include "foundation/NotificationCenter.h"
#include "foundation/URLSession.h"
#include "foundation/UserDefaults.h"
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

// The observer hears the current id at once and then each change, in the
// call that makes it, in order; it may read the context meanwhile; a reset
// leaves none. Each context has its own.
TEST_F(Contexts, ObserversHearTheCurrentIdsAndEveryChangeAsItIsMade) {
  static std::vector<std::string> heard;
  heard.clear();
  // Each reads, under the lock the change holds, the value it sets.
  const DUZESessionContext::Observer session = [](const std::optional<std::string>& id) {
    heard.push_back("session " + id.value_or("-") + " " +
                    DUZESessionContext::sharedInstance()->sessionId().value_or("-"));
  };
  const DUZEUserIdContext::Observer user = [](const std::optional<std::string>& id) {
    heard.push_back("user " + id.value_or("-") + " " +
                    DUZEUserIdContext::sharedInstance()->userId().value_or("-"));
  };
  DUZESessionContext::sharedInstance()->setSessionId("S0");
  ASSERT_TRUE(DUZESessionContext::addSessionIdObserver(session));
  ASSERT_TRUE(DUZEUserIdContext::addUserIdObserver(user));
  DUZESessionContext::sharedInstance()->setSessionId("S1");
  DUZEUserIdContext::sharedInstance()->setUserId("alice");
  DUZESessionContext::sharedInstance()->setSessionId(std::nullopt);
  DUZESessionContext::resetSharedInstance();
  DUZEUserIdContext::resetSharedInstance();
  EXPECT_EQ(heard, (std::vector<std::string>{"session S0 S0", "user - -", "session S1 S1",
                                             "user alice alice", "session - -", "session - -",
                                             "user - -"}));
  DUZESessionContext::removeSessionIdObserver(session);
  DUZEUserIdContext::removeUserIdObserver(user);
  DUZESessionContext::sharedInstance()->setSessionId("unheard");
  EXPECT_EQ(heard.size(), 7u);
  // The service's slot beside the host's takes one, told also when the entry
  // was recorded, which names it.
  const DUZESessionContext::ServiceObserver service = [](const std::optional<std::string>& id,
                                                         std::optional<Date> recorded) {
    heard.push_back("service " + id.value_or("-"));
    const auto named = DUZESessionContext::sharedInstance()->sessionIdRecordedAt(
        recorded.value_or(Date()).timeIntervalSince1970());
    if (named != id) heard.push_back("not named");
  };
  const DUZESessionContext::ServiceObserver other = [](const std::optional<std::string>&,
                                                       std::optional<Date>) {};
  EXPECT_TRUE(DUZESessionContext::addServiceSessionIdObserver(service));
  EXPECT_FALSE(DUZESessionContext::addServiceSessionIdObserver(other));
  DUZESessionContext::sharedInstance()->setSessionId("S4");
  DUZESessionContext::removeSessionIdObserver(service);
  EXPECT_EQ(heard.size(), 9u);
  EXPECT_EQ(heard.back(), "service S4");
}

// A child forked while other threads change the session, the user id and
// the defaults (their locks held at the fork) sets a session and user id of
// its own all the same, through the shared instances or pointers to them
// taken before, and its observers hear them: nothing it takes was left held
// by a thread that did not come along.
TEST_F(Contexts, AChildForkedWhileOtherThreadsChangeThemSetsItsOwn) {
  const auto session = DUZESessionContext::sharedInstance();
  const auto user = DUZEUserIdContext::sharedInstance();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; !stop.load(); ++i) DUZESessionContext::sharedInstance()->setSessionId("busy");
  });
  threads.emplace_back([&] {
    for (int i = 0; !stop.load(); ++i) DUZEUserIdContext::sharedInstance()->setUserId("busy");
  });
  threads.emplace_back([&] {
    for (int i = 0; !stop.load(); ++i) {
      DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(i), "Busy");
    }
  });
  static std::string heard;
  const DUZESessionContext::Observer observer = [](const std::optional<std::string>& id) {
    heard = id.value_or("-");
  };
  ASSERT_TRUE(DUZESessionContext::addSessionIdObserver(observer));
  int hung = 0, failed = 0;
  for (int child = 0; child < 8 && hung == 0; ++child) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      (child % 2 ? session : DUZESessionContext::sharedInstance())->setSessionId("CHILD");
      (child % 2 ? user : DUZEUserIdContext::sharedInstance())->setUserId("child-user");
      ::_exit(heard == "CHILD" && DUZEUserIdContext::sharedInstance()->userId() == "child-user" &&
                      session->sessionId() == "CHILD"
                  ? 0
                  : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    if (!base::testing::waitForChild(pid, &status,
                                     std::chrono::steady_clock::now() + std::chrono::seconds(20))) {
      ++hung;
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++failed;
    }
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  DUZESessionContext::removeSessionIdObserver(observer);
  EXPECT_EQ(hung, 0);
  EXPECT_EQ(failed, 0);
}

// A child whose id is its parent's (the first process of a pid namespace
// made inside another's first process) is still a child: it keeps its
// history in memory and stores nothing over its parent's.
TEST_F(Contexts, AChildWithItsParentsIdStoresNoHistory) {
  const int code = base::testing::inNewPidNamespace([] {
    DUZESessionContext::resetSharedInstance();
    DUZESessionContext::sharedInstance()->setSessionId("PARENT");
    return base::testing::inNewPidNamespace([] {
      const auto stored = DUZEZozIduvurUserDefaults::shared()->objectForKey("SessionIdHistory");
      DUZESessionContext::sharedInstance()->setSessionId("CHILD");
      const bool same =
          stored == DUZEZozIduvurUserDefaults::shared()->objectForKey("SessionIdHistory");
      return stored && same && DUZESessionContext::sharedInstance()->sessionId() == "CHILD" ? 0 : 1;
    });
  });
  if (code == -1) GTEST_SKIP() << "the kernel refuses pid namespaces here";
  EXPECT_EQ(code, 0);
}

// A host that keeps its own lock safe across forks with fork handlers made
// before it first used the contexts, uses them under that lock and in those
// handlers, and forks meanwhile: every fork returns, and each child has the
// ids its parent had, and what the host's handler set in it. Alone in its
// process, so that the host's handlers come first.
constexpr const char* kHostVariable = "ZOZIDUVUR_CONTEXTS_HOST";
std::mutex gHostLock;

class ContextsInAHost : public Contexts {
 protected:
  void SetUp() override {
    if (dispatch::testing::aloneInProcess(kHostVariable)) {
      ::pthread_atfork(
          [] {
            gHostLock.lock();
            (void)DUZESessionContext::sharedInstance()->sessionId();
          },
          [] {
            (void)DUZEUserIdContext::sharedInstance()->userId();
            gHostLock.unlock();
          },
          [] {
            DUZEUserIdContext::sharedInstance()->setUserId("forked");
            gHostLock.unlock();
          });
    }
    Contexts::SetUp();
  }
};

TEST_F(ContextsInAHost, ForksWhileItUsesThemUnderItsForkSafeLock) {
  if (!dispatch::testing::inOwnProcess(kHostVariable)) return;
  ::alarm(60);  // a fork that never returns ends the process: a failure
  DUZESessionContext::sharedInstance()->setSessionId("S");
  std::atomic<bool> stop{false};
  std::thread host([&] {
    for (int i = 0; !stop.load(); ++i) {
      std::lock_guard<std::mutex> lock(gHostLock);
      DUZESessionContext::sharedInstance()->setSessionId("S");
      if (i % 32 == 0)
        DUZESessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(true);
    }
  });
  int failed = 0;
  for (int child = 0; child < 30; ++child) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::_exit(DUZESessionContext::sharedInstance()->sessionId() == "S" &&
                      DUZEUserIdContext::sharedInstance()->userId() == "forked"
                  ? 0
                  : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    if (!base::testing::waitForChild(pid, &status, base::testing::childDeadline()) ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++failed;
    }
  }
  stop = true;
  host.join();
  EXPECT_EQ(failed, 0);
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

namespace {

// Made before, so destroyed after, every default-priority static of the
// program and its libraries: the check it is given runs where a thread of the
// client (the logs queue, sending) finds itself late in the process's exit.
struct EndOfExit {
  std::function<int()>* check = nullptr;
  ~EndOfExit() {
    if (check) _exit((*check)());
  }
};
__attribute__((init_priority(101))) EndOfExit endOfExit;

}  // namespace

TEST_F(Contexts, SharedInstancesOutliveTheStaticsAtExit) {
  const std::vector<std::function<std::shared_ptr<const void>()>> shared = {
      [] { return DUZEZozIduvurUserDefaults::shared(); },
      [] { return DUZEDeviceTracker::sharedInstance(); },
      [] { return DUZETicketCache::sharedInstance(); },
      [] { return foundation::NSUserDefaults::standardUserDefaults(); },
      [] { return foundation::NSBundle::mainBundle(); },
      [] { return foundation::NotificationCenter::defaultCenter(); },
      [] { return foundation::URLSession::shared(); }};
  // The row of the first instance gone or replaced by then, 0 when none is.
  EXPECT_EQ(base::testing::inChild([&]() -> int {
              std::vector<std::weak_ptr<const void>> had;
              for (const auto& get : shared) had.push_back(get());
              endOfExit.check = new std::function<int()>([shared, had] {
                for (size_t i = 0; i < shared.size(); ++i) {
                  if (had[i].expired() || shared[i]() != had[i].lock()) return int(i) + 1;
                }
                return 0;
              });
              std::exit(100);
            }),
            0);
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
