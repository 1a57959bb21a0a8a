#include "AnalyticsSupport.h"

#include <sqlite3.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>

#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsCategory.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsClock.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsTransmissionTarget.h"
#include "ZozIduvurAnalytics/DUZEPropertyConfigurator.h"
#include "dispatch/MainLoop.h"
#include "foundation/Bundle.h"

namespace analyticstest {

// FakeUnit ---------------------------------------------------------------------------

void FakeUnit::enqueueItem(const std::shared_ptr<DUZEAbstractLog>& log, uint64_t flags) {
  std::lock_guard lock(mutex_);
  items_.push_back({log, flags});
}

void FakeUnit::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  std::lock_guard lock(mutex_);
  calls_.push_back("enabled:" + std::to_string(isEnabled) + ":" +
                   std::to_string(deleteDataOnDisabled));
}

void FakeUnit::pauseWithIdentifyingObject(const std::shared_ptr<void>& identifyingObject) {
  std::lock_guard lock(mutex_);
  calls_.push_back("pause");
  identities_.push_back(identifyingObject);
}

void FakeUnit::resumeWithIdentifyingObject(const std::shared_ptr<void>& identifyingObject) {
  std::lock_guard lock(mutex_);
  calls_.push_back("resume");
  identities_.push_back(identifyingObject);
}

void FakeUnit::pauseSendingLogsWithToken(const std::string& token) {
  std::lock_guard lock(mutex_);
  calls_.push_back("pauseToken:" + token);
}

void FakeUnit::resumeSendingLogsWithToken(const std::string& token) {
  std::lock_guard lock(mutex_);
  calls_.push_back("resumeToken:" + token);
}

std::vector<FakeUnit::Item> FakeUnit::items() {
  std::lock_guard lock(mutex_);
  return items_;
}

std::vector<std::string> FakeUnit::calls() {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::shared_ptr<void>> FakeUnit::identities() {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<void>> out;
  for (const auto& identity : identities_) out.push_back(identity.lock());
  return out;
}

// FakeGroup ---------------------------------------------------------------------------

std::shared_ptr<DUZEChannelUnitProtocol> FakeGroup::addChannelUnitWithConfiguration(
    const DUZEChannelUnitConfiguration& configuration) {
  std::lock_guard lock(mutex_);
  for (const auto& unit : units_) {
    if (unit->configuration().groupId() == configuration.groupId()) return unit;
  }
  auto unit = std::make_shared<FakeUnit>(configuration);
  units_.push_back(unit);
  units_.push_back(std::make_shared<FakeUnit>(DUZEChannelUnitConfiguration::defaultConfiguration(
      configuration.groupId() + std::string(kDUZECommonSchemaMirrorSuffix))));
  return unit;
}

std::shared_ptr<DUZEChannelUnitProtocol> FakeGroup::channelUnitForGroupId(
    std::string_view groupId) {
  std::lock_guard lock(mutex_);
  for (const auto& unit : units_) {
    if (unit->configuration().groupId() == groupId) return unit;
  }
  return nullptr;
}

void FakeGroup::addDelegate(const std::shared_ptr<DUZEChannelDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  for (const auto& held : delegates_) {
    if (held.lock() == delegate) return;
  }
  delegates_.push_back(delegate);
}

void FakeGroup::removeDelegate(const std::shared_ptr<DUZEChannelDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  std::erase_if(delegates_, [&](const auto& held) { return held.lock() == delegate; });
}

std::shared_ptr<FakeUnit> FakeGroup::unit(const std::string& groupId) {
  return std::static_pointer_cast<FakeUnit>(channelUnitForGroupId(groupId));
}

std::vector<std::string> FakeGroup::unitIds() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> ids;
  for (const auto& unit : units_) ids.push_back(unit->configuration().groupId());
  return ids;
}

std::vector<std::shared_ptr<DUZEChannelDelegate>> FakeGroup::delegates() {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<DUZEChannelDelegate>> live;
  for (const auto& held : delegates_)
    if (auto delegate = held.lock()) live.push_back(delegate);
  return live;
}

void FakeGroup::clear() {
  std::lock_guard lock(mutex_);
  units_.clear();
}

bool FakeGroup::hasDelegate(const void* delegate) {
  for (const auto& live : delegates())
    if (static_cast<const void*>(live.get()) == delegate) return true;
  return false;
}

// ManualClock ---------------------------------------------------------------------------

ManualClock::ManualClock() : now_(dispatch::Date::now()) {
  DUZEAnalyticsClock::setClockForTesting([this] { return now(); });
}

ManualClock::~ManualClock() { DUZEAnalyticsClock::setClockForTesting({}); }

dispatch::Date ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void ManualClock::advance(double seconds) {
  std::lock_guard lock(mutex_);
  now_ = now_ + seconds;
}

// AnalyticsTest ---------------------------------------------------------------------------

void AnalyticsTest::SetUp() {
  CoreTest::SetUp();
  DUZEAnalytics::resetSharedInstance();
  server_ = std::make_unique<foundationtest::HTTPServer>();
  setenv(std::string(kDUZELogUrlEnvironmentVariable).c_str(), server_->baseUrl().c_str(), 1);
  DUZEChannelUnitDefault::setFlushIntervalUnitForTesting(
      dispatch::DispatchTimeInterval::milliseconds(20));
}

void AnalyticsTest::TearDown() {
  for (const auto& group : fakeGroups_) group->clear();
  fakeGroups_.clear();
  DUZEZozIduvur::resetSharedInstance();
  DUZEAnalytics::resetSharedInstance();
  DUZEAnalyticsTransmissionTarget::setAuthenticationProvider(nullptr);
  DUZEAnalyticsCategory::setMissedPageViewName({});
  DUZEAnalyticsClock::setClockForTesting({});
  DUZEPropertyConfigurator::setMachineIdPathForTesting(std::nullopt);
  DUZEChannelUnitDefault::setFlushIntervalUnitForTesting(std::nullopt);
  foundation::NSBundle::mainBundle()->setExecutablePath(std::nullopt);
  dispatch::MainLoop::drainPending();
  unsetenv(std::string(kDUZELogUrlEnvironmentVariable).c_str());
  server_.reset();
  CoreTest::TearDown();
}

void AnalyticsTest::configureClient() { DUZEZozIduvur::start("secret", {}); }

std::shared_ptr<FakeGroup> AnalyticsTest::startOnFakeGroup(std::optional<std::string> token,
                                                           bool fromApplication) {
  configureClient();
  auto group = std::make_shared<FakeGroup>();
  fakeGroups_.push_back(group);
  analytics()->startWithChannelGroup(group, "secret", std::move(token), fromApplication);
  return group;
}

void AnalyticsTest::startClient(const std::string& secret) {
  DUZEZozIduvur::start(secret, {DUZEServiceClass::of<DUZEAnalytics>()});
}

std::vector<nlohmann::json> sentLogs(
    const std::vector<foundationtest::HTTPServer::Request>& requests,
    const std::string& pathPrefix) {
  std::vector<nlohmann::json> out;
  for (const auto& request : requests) {
    if (request.target.rfind(pathPrefix, 0) != 0) continue;
    const std::string body = request.plainBody();
    auto whole = nlohmann::json::parse(body, nullptr, false);
    if (whole.is_object() && whole.contains("logs")) {
      for (const auto& log : whole["logs"]) out.push_back(log);
      continue;
    }
    // The collector's form: one JSON log per line.
    std::istringstream lines(body);
    for (std::string line; std::getline(lines, line);) {
      auto log = nlohmann::json::parse(line, nullptr, false);
      if (log.is_object()) out.push_back(log);
    }
  }
  return out;
}

}  // namespace analyticstest
