#include "ChannelSupport.h"

#include <sqlite3.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/TestSeams.h"
#include "dispatch/MainLoop.h"

namespace duzetest {

std::shared_ptr<TestLog> TestLog::named(const std::string& name) {
  auto log = std::make_shared<TestLog>();
  log->setType("testLog");
  log->setProperties(DUZEProperties{{"name", name}});
  return log;
}

std::string TestLog::name() const {
  return properties() && properties()->count("name") ? properties()->at("name") : std::string();
}

std::shared_ptr<DUZECommonSchemaLog> TestLog::toCommonSchemaLogForTargetToken(
    const std::string& token, uint64_t flags) const {
  auto log = DUZEAbstractLog::toCommonSchemaLogForTargetToken(token, flags);
  log->setName(name());
  return log;
}

RecordingDelegate::RecordingDelegate(std::shared_ptr<dispatch::DispatchQueue> logsQueue) {
  logsQueue->setSpecific(key_, std::optional<int>(1));
}

void RecordingDelegate::record(const std::string& call,
                               const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                               const std::shared_ptr<DUZEAbstractLog>& log) {
  if (!dispatch::DispatchQueue::getSpecific(key_)) ++offQueue_;
  std::string name;
  if (auto test = std::dynamic_pointer_cast<TestLog>(log)) name = test->name();
  if (auto cs = std::dynamic_pointer_cast<DUZECommonSchemaLog>(log))
    name = "cs:" + cs->name().value_or("");
  std::lock_guard lock(mutex_);
  calls_.push_back(call + " " + name + (unit ? " @" + unit->configuration().groupId() : ""));
}

std::vector<std::string> RecordingDelegate::calls() {
  std::lock_guard lock(mutex_);
  return calls_;
}

size_t RecordingDelegate::count(const std::string& call) {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(std::count_if(
      calls_.begin(), calls_.end(), [&](const auto& c) { return c.rfind(call + " ", 0) == 0; }));
}

void RecordingDelegate::filterName(std::string name) {
  std::lock_guard lock(mutex_);
  filtered_ = std::move(name);
}

void RecordingDelegate::channelPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                          const std::shared_ptr<DUZEAbstractLog>& log) {
  record("prepare", unit, log);
}
void RecordingDelegate::channelDidPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                             const std::shared_ptr<DUZEAbstractLog>& log,
                                             const std::string&, uint64_t) {
  record("didPrepare", unit, log);
}
bool RecordingDelegate::channelUnitShouldFilterLog(
    const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
    const std::shared_ptr<DUZEAbstractLog>& log) {
  record("filter", unit, log);
  auto test = std::dynamic_pointer_cast<TestLog>(log);
  std::lock_guard lock(mutex_);
  return test && !filtered_.empty() && test->name() == filtered_;
}
void RecordingDelegate::channelDidCompleteEnqueueingLog(
    const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
    const std::shared_ptr<DUZEAbstractLog>& log, const std::string&) {
  record("complete", unit, log);
}
void RecordingDelegate::channelWillSendLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                           const std::shared_ptr<DUZEAbstractLog>& log) {
  record("willSend", unit, log);
}
void RecordingDelegate::channelDidSucceedSendingLog(
    const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
    const std::shared_ptr<DUZEAbstractLog>& log) {
  record("success", unit, log);
}
void RecordingDelegate::channelDidFailSendingLog(
    const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
    const std::shared_ptr<DUZEAbstractLog>& log,
    const std::shared_ptr<foundation::NSError>& error) {
  record("fail" + (error ? ":" + std::to_string(error->code()) : std::string()), unit, log);
}
void RecordingDelegate::channelDidSetEnabled(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                             bool isEnabled, bool) {
  record(isEnabled ? "enabled" : "disabled", unit, nullptr);
}

void ChannelTest::SetUp() {
  CoreTest::SetUp();
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(
      dispatch::DispatchTimeInterval::milliseconds(20));
  DUZEUtility::addAllowedClasses({foundation::ArchivableClass::of<TestLog>()});
  server_ = std::make_unique<foundationtest::HTTPServer>();
  client_ = DUZEHttpClient::create();
}

void ChannelTest::TearDown() {
  if (group_) {
    group_->waitUntilIdle();
    group_->shutdown();
  }
  group_.reset();
  recorder_.reset();
  client_.reset();
  server_.reset();
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(std::nullopt);
  CoreTest::TearDown();
}

std::shared_ptr<DUZEChannelGroupDefault> ChannelTest::makeGroup(const std::string& baseUrl) {
  auto group = DUZEChannelGroupDefault::create(
      DUZEServiceIngestion::create(client_, baseUrl, "secret-123", "INSTALL-ID"),
      DUZECollectorIngestion::create(client_, baseUrl), DUZELogDBStorage::createInDataFolder());
  recorder_ = std::make_shared<RecordingDelegate>(group->logsDispatchQueue());
  group->addDelegate(recorder_);
  return group;
}

std::vector<std::string> logNames(const foundationtest::HTTPServer::Request& request) {
  std::vector<std::string> names;
  auto body = nlohmann::json::parse(request.plainBody(), nullptr, false);
  if (!body.is_object() || !body.contains("logs")) return names;
  for (const auto& log : body["logs"]) {
    if (log.contains("properties") && log["properties"].contains("name")) {
      names.push_back(log["properties"]["name"].get<std::string>());
    } else {
      names.push_back(log.value("type", std::string()));
    }
  }
  return names;
}

namespace {
std::mutex gServiceMutex;
std::shared_ptr<TestService> gService;
std::shared_ptr<OtherTestService> gOther;
}  // namespace

std::shared_ptr<TestService> TestService::sharedInstance() {
  std::lock_guard lock(gServiceMutex);
  if (!gService) gService = std::make_shared<TestService>();
  return gService;
}
void TestService::resetSharedInstance() {
  std::lock_guard lock(gServiceMutex);
  gService.reset();
}
std::shared_ptr<OtherTestService> OtherTestService::sharedInstance() {
  std::lock_guard lock(gServiceMutex);
  if (!gOther) gOther = std::make_shared<OtherTestService>();
  return gOther;
}
void OtherTestService::resetSharedInstance() {
  std::lock_guard lock(gServiceMutex);
  gOther.reset();
}

void TestService::applyEnabledState(bool isEnabled) {
  applied.emplace_back(isEnabled, this->isEnabled());
  DUZEServiceAbstract::applyEnabledState(isEnabled);
}

}  // namespace duzetest
