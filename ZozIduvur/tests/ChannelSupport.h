#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvur/DUZELogWithProperties.h"
#include "ZozIduvur/DUZEServiceAbstract.h"
#include "ZozIduvurTest/CoreTest.h"
#include "dispatch/DispatchQueue.h"
#include "foundationTest/HTTPServer.h"

namespace duzetest {

// A log of the tests' own: a name in its properties; its Common Schema form
// carries that name.
class TestLog : public DUZELogWithProperties {
  DUZE_CLASS_NAME("DUZETestLog")

 public:
  static std::shared_ptr<TestLog> named(const std::string& name);
  std::string name() const;
  std::shared_ptr<DUZECommonSchemaLog> toCommonSchemaLogForTargetToken(
      const std::string& token, uint64_t flags) const override;
};

// Records every delegate call as "<call> <log name>", and whether it came on
// the logs queue.
class RecordingDelegate : public DUZEChannelDelegate {
 public:
  explicit RecordingDelegate(std::shared_ptr<dispatch::DispatchQueue> logsQueue);

  std::vector<std::string> calls();
  size_t count(const std::string& call);
  bool allOnLogsQueue() const { return offQueue_ == 0; }
  // Answer YES to `channelUnitShouldFilterLog` for logs of this name.
  void filterName(std::string name);

  void channelPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                         const std::shared_ptr<DUZEAbstractLog>& log) override;
  void channelDidPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                            const std::shared_ptr<DUZEAbstractLog>& log, const std::string& id,
                            uint64_t flags) override;
  bool channelUnitShouldFilterLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                  const std::shared_ptr<DUZEAbstractLog>& log) override;
  void channelDidCompleteEnqueueingLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                       const std::shared_ptr<DUZEAbstractLog>& log,
                                       const std::string& id) override;
  void channelWillSendLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                          const std::shared_ptr<DUZEAbstractLog>& log) override;
  void channelDidSucceedSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                   const std::shared_ptr<DUZEAbstractLog>& log) override;
  void channelDidFailSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                const std::shared_ptr<DUZEAbstractLog>& log,
                                const std::shared_ptr<foundation::NSError>& error) override;
  void channelDidSetEnabled(const std::shared_ptr<DUZEChannelUnitProtocol>& unit, bool isEnabled,
                            bool deleteData) override;

 private:
  void record(const std::string& call, const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
              const std::shared_ptr<DUZEAbstractLog>& log);

  dispatch::DispatchSpecificKey<int> key_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::string filtered_;
  std::atomic<int> offQueue_{0};
};

// A channel-test fixture: a loopback server, a group sending to it, short
// flush intervals (one "second" is 20 ms) and the test log class allowed.
class ChannelTest : public CoreTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::shared_ptr<DUZEChannelGroupDefault> makeGroup(const std::string& baseUrl);
  std::unique_ptr<foundationtest::HTTPServer> server_;
  std::shared_ptr<DUZEHttpClient> client_;
  std::shared_ptr<DUZEChannelGroupDefault> group_;
  std::shared_ptr<RecordingDelegate> recorder_;
};

// The names of the logs in a service-ingestion request body.
std::vector<std::string> logNames(const foundationtest::HTTPServer::Request& request);

// A service of the tests' own, with its channel unit "TestService".
class TestService : public DUZEServiceAbstract {
 public:
  static std::shared_ptr<TestService> sharedInstance();
  static void resetSharedInstance();

  std::string_view className() const override { return "DUZETestService"; }
  std::string serviceName() const override { return name_; }
  std::string groupId() const override { return name_; }
  std::string_view logTag() const override { return "ZozIduvurTest"; }
  int64_t initializationPriority() const override { return priority_; }
  std::optional<DUZEChannelUnitConfiguration> channelUnitConfiguration() const override {
    return DUZEChannelUnitConfiguration::defaultConfiguration(name_);
  }
  void applyEnabledState(bool isEnabled) override;

  std::string name_ = "TestService";
  int64_t priority_ = 500;
  std::vector<std::pair<bool, bool>> applied;  // (value, isEnabled() during the call)
};

// A second test service with a higher priority.
class OtherTestService : public TestService {
 public:
  static std::shared_ptr<OtherTestService> sharedInstance();
  static void resetSharedInstance();
  OtherTestService() {
    name_ = "OtherService";
    priority_ = 900;
  }
};

}  // namespace duzetest
