#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ZozIduvur/DUZEChannelGroupProtocol.h"
#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZEIngestion.h"
#include "ZozIduvur/DUZELogDBStorage.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"
#include "dispatch/DispatchQueue.h"

class DUZECommonSchemaMirrorDelegate;

// The client's channel group: one serial logs queue for every unit, the log
// store, the ingestions and the Common Schema mirroring delegate.
class DUZEChannelGroupDefault : public DUZEChannelGroupProtocol,
                                public std::enable_shared_from_this<DUZEChannelGroupDefault> {
 public:
  // A group sending through `ingestion`, and through `collectorIngestion`
  // for the Common Schema mirror units, storing in `storage`.
  static std::shared_ptr<DUZEChannelGroupDefault> create(
      std::shared_ptr<DUZEIngestionProtocol> ingestion,
      std::shared_ptr<DUZEIngestionProtocol> collectorIngestion,
      std::shared_ptr<DUZELogDBStorage> storage);
  ~DUZEChannelGroupDefault() override;

  // DUZEChannelGroupProtocol:
  std::shared_ptr<DUZEChannelUnitProtocol> addChannelUnitWithConfiguration(
      const DUZEChannelUnitConfiguration& configuration) override;
  std::shared_ptr<DUZEChannelUnitProtocol> channelUnitForGroupId(std::string_view groupId) override;
  void addDelegate(const std::shared_ptr<DUZEChannelDelegate>& delegate) override;
  void removeDelegate(const std::shared_ptr<DUZEChannelDelegate>& delegate) override;
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;

  // Adds a unit that sends through `ingestion`.
  std::shared_ptr<DUZEChannelUnitProtocol> addChannelUnitWithConfiguration(
      const DUZEChannelUnitConfiguration& configuration,
      std::shared_ptr<DUZEIngestionProtocol> ingestion);

  // The live delegates, in the order they were added.
  std::vector<std::shared_ptr<DUZEChannelDelegate>> delegates();
  const std::shared_ptr<dispatch::DispatchQueue>& logsDispatchQueue() const { return queue_; }
  const std::shared_ptr<DUZELogDBStorage>& storage() const { return storage_; }
  const std::shared_ptr<DUZEIngestionProtocol>& collectorIngestion() const {
    return collectorIngestion_;
  }

  // Waits until every log handed to a unit so far has been taken up by the
  // logs queue (stored or dropped). Not from the logs queue itself.
  void waitUntilIdle();
  // Stops every unit's timer and closes the log store (the client is being
  // torn down).
  void shutdown();

  DUZEChannelGroupDefault(std::shared_ptr<DUZEIngestionProtocol> ingestion,
                          std::shared_ptr<DUZEIngestionProtocol> collectorIngestion,
                          std::shared_ptr<DUZELogDBStorage> storage);

 private:
  const std::shared_ptr<DUZEIngestionProtocol> ingestion_;
  const std::shared_ptr<DUZEIngestionProtocol> collectorIngestion_;
  const std::shared_ptr<DUZELogDBStorage> storage_;
  const std::shared_ptr<dispatch::DispatchQueue> queue_;
  std::shared_ptr<DUZECommonSchemaMirrorDelegate> mirrorDelegate_;

  base::Mutex mutex_;
  std::vector<std::shared_ptr<DUZEChannelUnitDefault>> units_ KX_GUARDED_BY(mutex_);
  std::vector<std::weak_ptr<DUZEChannelDelegate>> delegates_ KX_GUARDED_BY(mutex_);
};

// Mirrors logs that carry transmission target tokens to the Common Schema
// collector: while such a log is prepared it is converted (one Common Schema
// log per token) and the conversions are enqueued, with the same flags, in
// the unit's mirror "<group id>/one"; the log itself is filtered out of its
// own unit. Enabling, disabling, pausing and resuming a unit are carried
// over to its mirror, which the delegate creates when the unit is added.
class DUZECommonSchemaMirrorDelegate : public DUZEChannelDelegate {
 public:
  explicit DUZECommonSchemaMirrorDelegate(std::weak_ptr<DUZEChannelGroupDefault> group)
      : group_(std::move(group)) {}

  static bool isMirror(const DUZEChannelUnitProtocol& unit);

  void channelGroupDidAddChannelUnit(const std::shared_ptr<DUZEChannelGroupProtocol>& group,
                                     const std::shared_ptr<DUZEChannelUnitProtocol>& unit) override;
  void channelDidPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                            const std::shared_ptr<DUZEAbstractLog>& log,
                            const std::string& internalId, uint64_t flags) override;
  bool channelUnitShouldFilterLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                  const std::shared_ptr<DUZEAbstractLog>& log) override;
  void channelDidSetEnabled(const std::shared_ptr<DUZEChannelUnitProtocol>& unit, bool isEnabled,
                            bool deleteDataOnDisabled) override;
  void channelDidPauseWithIdentifyingObject(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                            const std::shared_ptr<void>& object) override;
  void channelDidResumeWithIdentifyingObject(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                             const std::shared_ptr<void>& object) override;

 private:
  std::shared_ptr<DUZEChannelUnitProtocol> mirrorOf(const DUZEChannelUnitProtocol& unit);
  static bool shouldMirror(const DUZEChannelUnitProtocol& unit, const DUZEAbstractLog& log);

  std::weak_ptr<DUZEChannelGroupDefault> group_;
};
