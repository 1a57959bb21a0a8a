#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZozIduvur/DUZEChannelGroupProtocol.h"
#include "ZozIduvur/DUZEChannelUnitProtocol.h"
#include "ZozIduvurAnalytics/DUZEAnalytics.h"
#include "ZozIduvurTest/CoreTest.h"
#include "dispatch/Time.h"
#include "foundationTest/HTTPServer.h"

namespace analyticstest {

// A channel unit that only records what it is asked to do.
class FakeUnit : public DUZEChannelUnitProtocol {
 public:
  explicit FakeUnit(DUZEChannelUnitConfiguration configuration)
      : configuration_(std::move(configuration)) {}

  struct Item {
    std::shared_ptr<DUZEAbstractLog> log;
    uint64_t flags;
  };

  const DUZEChannelUnitConfiguration& configuration() const override { return configuration_; }
  void enqueueItem(const std::shared_ptr<DUZEAbstractLog>& log, uint64_t flags) override;
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
  void pauseWithIdentifyingObject(const std::shared_ptr<void>& identifyingObject) override;
  void resumeWithIdentifyingObject(const std::shared_ptr<void>& identifyingObject) override;
  void pauseSendingLogsWithToken(const std::string& token) override;
  void resumeSendingLogsWithToken(const std::string& token) override;

  std::vector<Item> items();
  // The enqueued logs of type T.
  template <class T>
  std::vector<std::shared_ptr<T>> logsOf() {
    std::vector<std::shared_ptr<T>> out;
    for (const auto& item : items())
      if (auto log = std::dynamic_pointer_cast<T>(item.log)) out.push_back(log);
    return out;
  }
  // "enabled:<0|1>:<0|1>", "pause", "resume", "pauseToken:<token>", ...
  std::vector<std::string> calls();
  // The identifying objects of pause and resume calls, in order.
  std::vector<std::shared_ptr<void>> identities();  // null for identities gone

 private:
  DUZEChannelUnitConfiguration configuration_;
  std::mutex mutex_;
  std::vector<Item> items_;
  std::vector<std::string> calls_;
  std::vector<std::weak_ptr<void>> identities_;  // weakly, as the core's units do
};

// A channel group of fake units; adding a unit also adds its Common Schema
// mirror "<group id>/one", as the core does.
class FakeGroup : public DUZEChannelGroupProtocol {
 public:
  std::shared_ptr<DUZEChannelUnitProtocol> addChannelUnitWithConfiguration(
      const DUZEChannelUnitConfiguration& configuration) override;
  std::shared_ptr<DUZEChannelUnitProtocol> channelUnitForGroupId(std::string_view groupId) override;
  void addDelegate(const std::shared_ptr<DUZEChannelDelegate>& delegate) override;
  void removeDelegate(const std::shared_ptr<DUZEChannelDelegate>& delegate) override;
  void setEnabled(bool, bool) override {}

  std::shared_ptr<FakeUnit> unit(const std::string& groupId);
  std::vector<std::string> unitIds();
  std::vector<std::shared_ptr<DUZEChannelDelegate>> delegates();
  bool hasDelegate(const void* delegate);
  // Drops the units and what they hold (a tracked event holds its target,
  // which holds the group).
  void clear();

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<FakeUnit>> units_;
  std::vector<std::weak_ptr<DUZEChannelDelegate>> delegates_;
};

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
  std::shared_ptr<FakeGroup> startOnFakeGroup(std::optional<std::string> token = std::nullopt,
                                              bool fromApplication = true);
  // Starts the client with the analytics service on the real group.
  void startClient(const std::string& secret = "secret");
  std::shared_ptr<DUZEAnalytics> analytics() { return DUZEAnalytics::sharedInstance(); }

  std::unique_ptr<foundationtest::HTTPServer> server_;
  std::vector<std::shared_ptr<FakeGroup>> fakeGroups_;
};

// The JSON logs of the requests to a path ("/logs", or the collector's).
std::vector<nlohmann::json> sentLogs(
    const std::vector<foundationtest::HTTPServer::Request>& requests,
    const std::string& pathPrefix);

}  // namespace analyticstest
