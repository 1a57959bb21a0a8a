#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ZozIduvur/DUZEAbstractLog.h"
#include "ZozIduvur/DUZEChannelUnitConfiguration.h"

// Persistence classes of the flags passed with a log (its low byte).
inline constexpr uint64_t DUZEFlagsNormal = 1;
inline constexpr uint64_t DUZEFlagsCritical = 2;
inline constexpr uint64_t DUZEFlagsPersistenceMask = 0xFF;

// A channel unit: stores the logs of one group and sends them in batches.
// Every operation returns at once and does its work on the group's logs
// queue, in the order the calls were made.
class DUZEChannelUnitProtocol {
 public:
  virtual ~DUZEChannelUnitProtocol() = default;

  virtual const DUZEChannelUnitConfiguration& configuration() const = 0;

  // Queues the log for preparation, validation, storage (with the priority
  // flags AND 0xFF) and batched sending.
  virtual void enqueueItem(const std::shared_ptr<DUZEAbstractLog>& log, uint64_t flags) = 0;
  // Disabling stops sending and drops new logs; with `deleteDataOnDisabled`
  // the stored logs of the unit are deleted too.
  virtual void setEnabled(bool isEnabled, bool deleteDataOnDisabled) = 0;
  // Sending stops while any identifying object (still alive) holds a pause.
  virtual void pauseWithIdentifyingObject(const std::shared_ptr<void>& identifyingObject) = 0;
  virtual void resumeWithIdentifyingObject(const std::shared_ptr<void>& identifyingObject) = 0;
  // Stop and restart sending the logs of the token's target key.
  virtual void pauseSendingLogsWithToken(const std::string& token) = 0;
  virtual void resumeSendingLogsWithToken(const std::string& token) = 0;
};
