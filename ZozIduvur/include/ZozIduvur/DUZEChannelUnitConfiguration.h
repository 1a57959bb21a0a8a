#pragma once

#include <cstdint>
#include <string>

// The core's defaults for a channel unit.
inline constexpr int64_t kDUZEDefaultPriority = 1;
inline constexpr uint64_t kDUZEDefaultFlushInterval = 6;  // seconds
inline constexpr uint64_t kDUZEDefaultBatchSizeLimit = 50;
inline constexpr uint64_t kDUZEDefaultPendingBatchesLimit = 3;

// How a channel unit batches its logs.
class DUZEChannelUnitConfiguration {
 public:
  DUZEChannelUnitConfiguration(std::string groupId, int64_t priority, uint64_t flushInterval,
                               uint64_t batchSizeLimit, uint64_t pendingBatchesLimit)
      : groupId_(std::move(groupId)),
        priority_(priority),
        flushInterval_(flushInterval),
        batchSizeLimit_(batchSizeLimit),
        pendingBatchesLimit_(pendingBatchesLimit) {}

  // The core's defaults with the given flush interval.
  static DUZEChannelUnitConfiguration defaultConfiguration(std::string groupId,
                                                           uint64_t flushInterval) {
    return {std::move(groupId), kDUZEDefaultPriority, flushInterval, kDUZEDefaultBatchSizeLimit,
            kDUZEDefaultPendingBatchesLimit};
  }
  // The core's defaults (flush interval 6 s).
  static DUZEChannelUnitConfiguration defaultConfiguration(std::string groupId) {
    return defaultConfiguration(std::move(groupId), kDUZEDefaultFlushInterval);
  }

  const std::string& groupId() const { return groupId_; }
  int64_t priority() const { return priority_; }
  // Seconds between the first log stored and the batch being sent.
  uint64_t flushInterval() const { return flushInterval_; }
  uint64_t batchSizeLimit() const { return batchSizeLimit_; }
  uint64_t pendingBatchesLimit() const { return pendingBatchesLimit_; }

  bool operator==(const DUZEChannelUnitConfiguration&) const = default;

 private:
  std::string groupId_;
  int64_t priority_;
  uint64_t flushInterval_;
  uint64_t batchSizeLimit_;
  uint64_t pendingBatchesLimit_;
};
