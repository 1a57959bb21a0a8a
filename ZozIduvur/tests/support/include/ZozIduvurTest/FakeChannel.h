#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ZozIduvur/DUZEChannelGroupProtocol.h"
#include "ZozIduvur/DUZEChannelUnitProtocol.h"

namespace duzetest {

// A channel unit that only records what it is asked to do, for the tests of
// the services that enqueue into one.
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
// mirror "<group id>/one", and a delegate is held once and weakly, as the
// core does.
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

}  // namespace duzetest
