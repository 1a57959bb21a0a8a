#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ZozIduvur/DUZEAbstractLog.h"
#include "foundation/NSError.h"

class DUZEChannelUnitProtocol;
class DUZEChannelGroupProtocol;

// Listens to the channel units of a group. Every operation is optional. All
// calls come on the group's serial logs queue, in this order for one log:
// `channelPrepareLog`, `channelDidPrepareLog`, `channelUnitShouldFilterLog`,
// `channelDidCompleteEnqueueingLog`; later, around sending,
// `channelWillSendLog` and then `channelDidSucceedSendingLog` or
// `channelDidFailSendingLog`.
class DUZEChannelDelegate {
 public:
  virtual ~DUZEChannelDelegate() = default;

  // A unit was added to the group (called on the thread that added it).
  virtual void channelGroupDidAddChannelUnit(
      const std::shared_ptr<DUZEChannelGroupProtocol>& /*group*/,
      const std::shared_ptr<DUZEChannelUnitProtocol>& /*unit*/) {}

  // The log is being prepared: it has its time and device; a delegate may
  // change it.
  virtual void channelPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>& /*unit*/,
                                 const std::shared_ptr<DUZEAbstractLog>& /*log*/) {}
  // The log has its internal id and common fields and is about to be
  // filtered and stored.
  virtual void channelDidPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>& /*unit*/,
                                    const std::shared_ptr<DUZEAbstractLog>& /*log*/,
                                    const std::string& /*internalId*/, uint64_t /*flags*/) {}
  // YES drops the log (any delegate suffices).
  virtual bool channelUnitShouldFilterLog(const std::shared_ptr<DUZEChannelUnitProtocol>& /*unit*/,
                                          const std::shared_ptr<DUZEAbstractLog>& /*log*/) {
    return false;
  }
  // The unit is done enqueueing the log: it was stored, or it was dropped
  // (filtered out or invalid) and will never be stored.
  virtual void channelDidCompleteEnqueueingLog(
      const std::shared_ptr<DUZEChannelUnitProtocol>& /*unit*/,
      const std::shared_ptr<DUZEAbstractLog>& /*log*/, const std::string& /*internalId*/) {}

  virtual void channelWillSendLog(const std::shared_ptr<DUZEChannelUnitProtocol>& /*unit*/,
                                  const std::shared_ptr<DUZEAbstractLog>& /*log*/) {}
  virtual void channelDidSucceedSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>& /*unit*/,
                                           const std::shared_ptr<DUZEAbstractLog>& /*log*/) {}
  virtual void channelDidFailSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>& /*unit*/,
                                        const std::shared_ptr<DUZEAbstractLog>& /*log*/,
                                        const std::shared_ptr<foundation::NSError>& /*error*/) {}

  // The unit's enabled state or pause changed.
  virtual void channelDidSetEnabled(const std::shared_ptr<DUZEChannelUnitProtocol>& /*unit*/,
                                    bool /*isEnabled*/, bool /*deleteDataOnDisabled*/) {}
  virtual void channelDidPauseWithIdentifyingObject(
      const std::shared_ptr<DUZEChannelUnitProtocol>& /*unit*/,
      const std::shared_ptr<void>& /*identifyingObject*/) {}
  virtual void channelDidResumeWithIdentifyingObject(
      const std::shared_ptr<DUZEChannelUnitProtocol>& /*unit*/,
      const std::shared_ptr<void>& /*identifyingObject*/) {}
};
