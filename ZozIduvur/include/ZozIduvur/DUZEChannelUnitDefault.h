#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ZozIduvur/DUZEChannelDelegate.h"
#include "ZozIduvur/DUZEChannelUnitProtocol.h"
#include "ZozIduvur/DUZEHttpClient.h"
#include "ZozIduvur/DUZEIngestion.h"
#include "ZozIduvur/DUZELogDBStorage.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/DispatchSource.h"

class DUZEChannelGroupDefault;

// The channel unit of one group id. Logs go through preparation, the
// delegates, validation and storage on the group's logs queue; a batch is
// sent when `batchSizeLimit` logs are stored or `flushInterval` after the
// first one, with at most `pendingBatchesLimit` batches in flight. While
// another store sends the logs of the database (another process on the same
// data folder), the unit only stores and asks again each flush interval. A 2xx
// answer deletes the batch, then reports each log as sent; no answer, 5xx,
// 407 (a proxy's), 408 or 429 keeps it, and the next round waits for the
// flush interval after that failure, however many batches fill up meanwhile;
// any other status deletes it, reports each log as failed and disables the
// unit (deleting its stored logs). A delegate that hears how a log went finds
// its row gone. Rows sent but not deleted (a full disk) are not sent again:
// each flush interval tries to delete them.
//
// Enqueueing, enabling and disabling, pausing and resuming take effect on
// the logs queue in the order they were called. A log is reported done
// (`channelDidCompleteEnqueueingLog`) once it is stored, or dropped for good
// (disabled unit, filtered out, not valid, cannot be archived); a log
// filtered out because logs enqueued while it was prepared replace it (its
// Common Schema copies) is done once they all are. A log that cannot be
// stored now (a full disk) is kept in memory, and so are the logs that
// arrive while storing fails: they are stored together one flush interval
// after the failure, then after twice as long, and so on up to
// `kMaxStoreRetryIntervals` intervals, never more than
// `kMaxStoreRetryWaitSeconds` apart, and at shutdown. The first failure and
// the recovery are said, not every try. At most `kMaxUnstoredLogs` wait so,
// the oldest beyond are dropped (said once). Kept logs are not sent before
// they are stored: what a unit sends is what its store holds. After shutdown
// a log is stored at once or lost; the logs lost at shutdown, and those lost
// after it, are counted in a warning and reported done.
class DUZEChannelUnitDefault : public DUZEChannelUnitProtocol,
                               public std::enable_shared_from_this<DUZEChannelUnitDefault> {
 public:
  static constexpr size_t kMaxUnstoredLogs = 1000;
  static constexpr int64_t kMaxStoreRetryIntervals = 8;
  static constexpr uint64_t kMaxStoreRetryWaitSeconds = 60;

  static std::shared_ptr<DUZEChannelUnitDefault> create(
      DUZEChannelUnitConfiguration configuration, std::shared_ptr<DUZEIngestionProtocol> ingestion,
      std::shared_ptr<DUZELogDBStorage> storage, std::shared_ptr<dispatch::DispatchQueue> logsQueue,
      std::weak_ptr<DUZEChannelGroupDefault> group);

  // DUZEChannelUnitProtocol:
  const DUZEChannelUnitConfiguration& configuration() const override { return configuration_; }
  void enqueueItem(const std::shared_ptr<DUZEAbstractLog>& log, uint64_t flags) override;
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
  void pauseWithIdentifyingObject(const std::shared_ptr<void>& identifyingObject) override;
  void resumeWithIdentifyingObject(const std::shared_ptr<void>& identifyingObject) override;
  void pauseSendingLogsWithToken(const std::string& token) override;
  void resumeSendingLogsWithToken(const std::string& token) override;

  // The state as of the last block the logs queue ran.
  bool isEnabled() const { return enabled_.load(); }
  bool isPaused() const { return paused_.load(); }
  // Whether logs were handed to `enqueueItem` and not yet taken up by the
  // logs queue.
  bool hasIncomingLogs();

  // Looks at the logs stored by earlier runs and schedules their sending
  // (the group calls it once the unit is registered).
  void start();
  // Stops the flush timer for good (the group is going away).
  void shutdown();

  DUZEChannelUnitDefault(DUZEChannelUnitConfiguration configuration,
                         std::shared_ptr<DUZEIngestionProtocol> ingestion,
                         std::shared_ptr<DUZELogDBStorage> storage,
                         std::shared_ptr<dispatch::DispatchQueue> logsQueue,
                         std::weak_ptr<DUZEChannelGroupDefault> group);

 private:
  struct ReplacedLog;
  class Preparing;
  // One call, kept in call order until the logs queue takes it up: a log to
  // enqueue, or a change of the unit's state.
  struct Incoming {
    std::shared_ptr<DUZEAbstractLog> log;
    uint64_t flags = 0;
    // The log this one replaces, when it was enqueued while that one was
    // prepared.
    std::shared_ptr<ReplacedLog> replaces;
    std::function<void()> change;
  };
  // A log prepared and accepted, in its stored form, waiting to be stored.
  struct Prepared {
    std::shared_ptr<DUZEAbstractLog> log;
    std::string internalId;
    DUZELogDBStorage::Row row;
    std::shared_ptr<ReplacedLog> replaces;
  };

  // Queues a change of state behind the calls made before it; on the logs
  // queue it takes effect at once, after them.
  void submit(std::function<void()> change);
  void scheduleDrain();
  bool onLogsQueue() const;

  // All of these run on the logs queue.
  void drainIncoming();
  void prepare(Incoming& item, const std::vector<std::shared_ptr<DUZEChannelDelegate>>& listeners);
  // Stores the prepared and kept logs; while storing fails, only a retry
  // tries.
  void storePrepared(bool retrying = false);
  void dropUnstoredBeyondLimit();
  void scheduleStoreRetry();
  void reportDone(const std::shared_ptr<DUZEAbstractLog>& log, const std::string& internalId,
                  const std::shared_ptr<ReplacedLog>& replaces);
  void reportDone(const std::vector<Prepared>& items);
  void dropUnstored();
  void checkPendingLogs();
  void flushQueue();
  void startTimer();
  void cancelTimer();
  void retryDeleting();
  void handleResponse(const DUZELogBatch& batch, const DUZEHttpResponse& response);
  void applyEnabled(bool isEnabled, bool deleteDataOnDisabled);
  void updatePaused();
  bool pausedByObjects();
  std::vector<std::shared_ptr<DUZEChannelDelegate>> delegates();
  dispatch::DispatchTimeInterval flushDelay() const;

  const DUZEChannelUnitConfiguration configuration_;
  const std::shared_ptr<DUZEIngestionProtocol> ingestion_;
  const std::shared_ptr<DUZELogDBStorage> storage_;
  const std::shared_ptr<dispatch::DispatchQueue> queue_;
  const std::weak_ptr<DUZEChannelGroupDefault> group_;

  base::Mutex incomingMutex_;
  std::vector<Incoming> incoming_ KX_GUARDED_BY(incomingMutex_);

  // Owned by the logs queue (the atomics mirror state for other threads).
  std::atomic<bool> enabled_{true};
  std::atomic<bool> paused_{false};
  bool shutDown_ = false;
  bool draining_ = false;
  std::vector<Prepared> prepared_;
  // Prepared logs that could not be stored yet, oldest first.
  std::vector<Prepared> unstored_;
  std::vector<std::weak_ptr<void>> pausedObjects_;
  std::set<std::string> pausedTargetKeys_;
  std::set<std::string> pendingBatchIds_;
  size_t itemsCount_ = 0;
  // The last round failed (and this was warned about): until a batch goes
  // through, only the flush timer starts a round. The next success ends it.
  bool sendingFails_ = false;
  // Another store was sending at the last flush.
  bool waitingForSender_ = false;
  // Rows of sent batches could not be deleted (a full disk): the flush
  // timer tries again until they are gone.
  bool rowsToDelete_ = false;
  std::shared_ptr<dispatch::DispatchSourceTimer> timer_;
  // Storing failed (and this was warned about): logs are kept until a retry,
  // `storeRetryIntervals_` flush intervals after the last failure, stores
  // them. The next success ends it.
  bool storingFails_ = false;
  int64_t storeRetryIntervals_ = 1;
  size_t droppedUnstored_ = 0;
  std::shared_ptr<dispatch::DispatchSourceTimer> storeTimer_;
};
