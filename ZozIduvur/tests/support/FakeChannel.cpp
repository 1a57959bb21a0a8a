#include "ZozIduvurTest/FakeChannel.h"

namespace duzetest {

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

bool FakeGroup::hasDelegate(const void* delegate) {
  for (const auto& live : delegates())
    if (static_cast<const void*>(live.get()) == delegate) return true;
  return false;
}

void FakeGroup::clear() {
  std::lock_guard lock(mutex_);
  units_.clear();
}

}  // namespace duzetest
