#include "ZozIduvur/DUZEChannelUnitDefault.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <utility>

#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZEErrors.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"

#ifdef KX_TEST_SEAMS
#include "ZozIduvur/TestSeams.h"
#endif

namespace {

// Marks the logs queues, so that work asked for from a block of the queue
// (a delegate carrying a change over to a mirror unit) runs at once, in order.
const dispatch::DispatchSpecificKey<const void*>& logsQueueKey() {
  static const dispatch::DispatchSpecificKey<const void*> key;
  return key;
}

// At most so many prepared logs go into one transaction.
constexpr size_t kMaxLogsPerTransaction = 500;

// An internal id need only be unique within the process: it ties a log to
// its copy in the crash-time buffer until the log is stored.
std::string nextInternalId() {
  static std::atomic<uint64_t> next{0};
  return std::to_string(next.fetch_add(1, std::memory_order_relaxed) + 1);
}

#ifdef KX_TEST_SEAMS
std::atomic<uint64_t> gStoreTries{0};
#endif

base::Mutex gIntervalMutex;
std::optional<dispatch::DispatchTimeInterval> gIntervalUnit KX_GUARDED_BY(gIntervalMutex);

int64_t multipliedSaturated(int64_t value, int64_t factor) {
  int64_t product = 0;
  return __builtin_mul_overflow(value, factor, &product) ? INT64_MAX : product;
}

// `seconds` of the flush interval's unit (real seconds, unless a test set
// another length), saturated rather than overflowing.
dispatch::DispatchTimeInterval intervalOfSeconds(uint64_t seconds) {
  const auto amount = static_cast<int64_t>(std::min<uint64_t>(seconds, INT64_MAX));
  base::LockGuard lock(gIntervalMutex);
  const int64_t unit = gIntervalUnit ? gIntervalUnit->nanosecondsSaturated() : 1'000'000'000;
  return dispatch::DispatchTimeInterval::nanoseconds(multipliedSaturated(unit, amount));
}

std::shared_ptr<foundation::NSError> statusError(long statusCode) {
  foundation::NSError::UserInfo info;
  info.emplace(
      std::string(foundation::NSLocalizedDescriptionKey),
      foundation::stringWithFormat("The ingestion answered with HTTP status %ld.", statusCode));
  info.emplace(std::string(kDUZEHttpStatusCodeKey), static_cast<int64_t>(statusCode));
  return foundation::NSError::create(std::string(kDUZEErrorDomain), DUZEErrorCodeHttpStatus,
                                     std::move(info));
}

}  // namespace

// A log filtered out of its unit because the logs enqueued while it was
// prepared replace it. It is reported done once every replacement is stored
// or dropped, so that its copy in the crash-time buffer is not freed before
// a replacement is safe.
struct DUZEChannelUnitDefault::ReplacedLog {
  std::weak_ptr<DUZEChannelUnitDefault> unit;
  std::shared_ptr<DUZEAbstractLog> log;
  std::string internalId;
  // What the log itself replaces, if anything.
  std::shared_ptr<ReplacedLog> parent;
  size_t outstanding = 0;
  // Set once the log itself was filtered out: its completion waits.
  bool waiting = false;

  void replacementDone() {
    if (outstanding > 0) --outstanding;
    if (outstanding > 0 || !waiting) return;
    waiting = false;
    if (auto owner = unit.lock()) {
      owner->reportDone(log, internalId, parent);
    } else if (parent) {
      parent->replacementDone();
    }
  }
};

// Logs enqueued while a log is prepared on this thread replace it (a
// delegate turned it into them). For as long as it lives, a scope made
// around the delegates' calls says where the prepared log's replacement
// record goes; the first such enqueue makes it (most logs have no
// replacement). Scopes nest: each gives the thread back the one it had.
class DUZEChannelUnitDefault::Preparing {
 public:
  explicit Preparing(std::shared_ptr<ReplacedLog>* replacedBy)
      : outer_(std::exchange(current_, replacedBy)) {}
  ~Preparing() { current_ = outer_; }
  Preparing(const Preparing&) = delete;
  Preparing& operator=(const Preparing&) = delete;

  // Whether a log is being prepared on this thread.
  static bool onThisThread() { return current_ != nullptr; }
  // The replacement record of the log prepared on this thread, made on first
  // use. Only while `onThisThread()`.
  static std::shared_ptr<ReplacedLog> replacementRecord() {
    if (!*current_) *current_ = std::make_shared<ReplacedLog>();
    return *current_;
  }

 private:
  static thread_local std::shared_ptr<ReplacedLog>* current_;
  std::shared_ptr<ReplacedLog>* outer_;
};

thread_local std::shared_ptr<DUZEChannelUnitDefault::ReplacedLog>*
    DUZEChannelUnitDefault::Preparing::current_ = nullptr;

std::shared_ptr<DUZEChannelUnitDefault> DUZEChannelUnitDefault::create(
    DUZEChannelUnitConfiguration configuration, std::shared_ptr<DUZEIngestionProtocol> ingestion,
    std::shared_ptr<DUZELogDBStorage> storage, std::shared_ptr<dispatch::DispatchQueue> logsQueue,
    std::weak_ptr<DUZEChannelGroupDefault> group) {
  return std::make_shared<DUZEChannelUnitDefault>(std::move(configuration), std::move(ingestion),
                                                  std::move(storage), std::move(logsQueue),
                                                  std::move(group));
}

DUZEChannelUnitDefault::DUZEChannelUnitDefault(DUZEChannelUnitConfiguration configuration,
                                               std::shared_ptr<DUZEIngestionProtocol> ingestion,
                                               std::shared_ptr<DUZELogDBStorage> storage,
                                               std::shared_ptr<dispatch::DispatchQueue> logsQueue,
                                               std::weak_ptr<DUZEChannelGroupDefault> group)
    : configuration_(std::move(configuration)),
      ingestion_(std::move(ingestion)),
      storage_(std::move(storage)),
      queue_(std::move(logsQueue)),
      group_(std::move(group)) {
  queue_->setSpecific(logsQueueKey(), std::optional<const void*>(queue_.get()));
}

bool DUZEChannelUnitDefault::onLogsQueue() const {
  return dispatch::DispatchQueue::getSpecific(logsQueueKey()) ==
         std::optional<const void*>(queue_.get());
}

void DUZEChannelUnitDefault::scheduleDrain() {
  queue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->drainIncoming();
  });
}

void DUZEChannelUnitDefault::submit(std::function<void()> change) {
  bool first = false;
  {
    base::LockGuard lock(incomingMutex_);
    first = incoming_.empty();
    incoming_.push_back({nullptr, 0, nullptr, std::move(change)});
  }
  // Asked for from a block of the logs queue (a delegate carrying a change
  // over to a mirror unit): it happens now, after what was asked before.
  if (onLogsQueue()) {
    drainIncoming();
  } else if (first) {
    scheduleDrain();
  }
}

#ifdef KX_TEST_SEAMS
uint64_t DUZEChannelUnitDefaultSeams::storeTriesForTesting() { return gStoreTries.load(); }

void DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(
    std::optional<dispatch::DispatchTimeInterval> unit) {
  base::LockGuard lock(gIntervalMutex);
  gIntervalUnit = unit;
}
#endif

dispatch::DispatchTimeInterval DUZEChannelUnitDefault::flushDelay() const {
  return intervalOfSeconds(configuration_.flushInterval());
}

std::vector<std::shared_ptr<DUZEChannelDelegate>> DUZEChannelUnitDefault::delegates() {
  if (auto group = group_.lock()) return group->delegates();
  return {};
}

// Enqueueing ----------------------------------------------------------------

void DUZEChannelUnitDefault::enqueueItem(const std::shared_ptr<DUZEAbstractLog>& log,
                                         uint64_t flags) {
  if (!log) {
    DUZELogWarning(kDUZELogTag, "Channel %@ was asked to enqueue no log.",
                   configuration_.groupId());
    return;
  }
  std::shared_ptr<ReplacedLog> replaces;
  if (Preparing::onThisThread() && onLogsQueue()) {
    replaces = Preparing::replacementRecord();
    ++replaces->outstanding;
  }
  bool first = false;
  {
    base::LockGuard lock(incomingMutex_);
    first = incoming_.empty();
    incoming_.push_back({log, flags, std::move(replaces), nullptr});
  }
  // Logs handed over in a burst are taken up by one block and stored in one
  // transaction.
  if (first) scheduleDrain();
}

bool DUZEChannelUnitDefault::hasIncomingLogs() {
  base::LockGuard lock(incomingMutex_);
  return !incoming_.empty();
}

void DUZEChannelUnitDefault::drainIncoming() {
  // Called again from within (a change asked for by a delegate): the
  // running drain takes it up in turn.
  if (draining_) return;
  draining_ = true;
  for (;;) {
    std::vector<Incoming> items;
    {
      base::LockGuard lock(incomingMutex_);
      items.swap(incoming_);
    }
    // Logs that came in while the earlier ones were prepared join their
    // transaction.
    if (items.empty()) break;
    // Delegates added before a log was enqueued hear about it.
    auto listeners = delegates();
    for (auto& item : items) {
      if (item.change) {
        storePrepared();
        item.change();
        listeners = delegates();
      } else {
        prepare(item, listeners);
        if (prepared_.size() >= kMaxLogsPerTransaction) storePrepared();
      }
    }
  }
  storePrepared();
  draining_ = false;
}

void DUZEChannelUnitDefault::prepare(
    Incoming& item, const std::vector<std::shared_ptr<DUZEChannelDelegate>>& listeners) {
  auto self = shared_from_this();
  const auto& log = item.log;
  if (!enabled_) {
    DUZELogDebug(kDUZELogTag, "Channel %@ is disabled; a log of type %@ is discarded.",
                 configuration_.groupId(), log->type());
    reportDone(nullptr, std::string(), item.replaces);
    return;
  }
  if (!log->timestamp()) log->setTimestamp(dispatch::Date::now());
  if (!log->device()) log->setDevice(DUZEDeviceTracker::sharedInstance()->device());
  const std::string internalId = nextInternalId();
  std::shared_ptr<ReplacedLog> replacedBy;
  bool filtered = false;
  {
    Preparing preparing(&replacedBy);
    for (const auto& delegate : listeners) delegate->channelPrepareLog(self, log);
    for (const auto& delegate : listeners) {
      delegate->channelDidPrepareLog(self, log, internalId, item.flags);
    }
    for (const auto& delegate : listeners) {
      if (delegate->channelUnitShouldFilterLog(self, log)) filtered = true;
    }
  }
  if (filtered) {
    DUZELogDebug(kDUZELogTag, "Log of type '%@' was filtered out by a delegate.", log->type());
    if (replacedBy && replacedBy->outstanding > 0) {
      // Done once what replaces it is.
      replacedBy->unit = weak_from_this();
      replacedBy->log = log;
      replacedBy->internalId = internalId;
      replacedBy->parent = std::move(item.replaces);
      replacedBy->waiting = true;
      return;
    }
  } else if (!log->isValid()) {
    DUZELogWarning(kDUZELogTag, "Log of type '%@' is not valid; it is discarded.", log->type());
  } else if (auto row = storage_->rowForLog(log, item.flags)) {
    prepared_.push_back({log, internalId, std::move(*row), std::move(item.replaces)});
    return;
  } else {
    DUZELogError(kDUZELogTag, "Log of type '%@' cannot be archived; it is discarded.", log->type());
  }
  // Dropped logs are done too: nobody keeps a copy waiting for them.
  reportDone(log, internalId, item.replaces);
}

void DUZEChannelUnitDefault::reportDone(const std::shared_ptr<DUZEAbstractLog>& log,
                                        const std::string& internalId,
                                        const std::shared_ptr<ReplacedLog>& replaces) {
  if (log) {
    auto self = shared_from_this();
    for (const auto& delegate : delegates()) {
      delegate->channelDidCompleteEnqueueingLog(self, log, internalId);
    }
  }
  if (replaces) replaces->replacementDone();
}

void DUZEChannelUnitDefault::reportDone(const std::vector<Prepared>& items) {
  auto self = shared_from_this();
  const auto listeners = delegates();
  for (const auto& item : items) {
    for (const auto& delegate : listeners) {
      delegate->channelDidCompleteEnqueueingLog(self, item.log, item.internalId);
    }
    if (item.replaces) item.replaces->replacementDone();
  }
}

void DUZEChannelUnitDefault::storePrepared(bool retrying) {
  if (prepared_.empty() && unstored_.empty()) return;
  // Logs that could not be stored before go first.
  std::move(prepared_.begin(), prepared_.end(), std::back_inserter(unstored_));
  prepared_.clear();
  if (storingFails_ && !retrying && !shutDown_) {
    // While storing fails, logs that arrive join the kept ones and wait for
    // the paced retry: a try at every arrival would only fail again.
    dropUnstoredBeyondLimit();
    if (!storeTimer_) scheduleStoreRetry();
    return;
  }
  std::vector<const DUZELogDBStorage::Row*> rows;
  rows.reserve(unstored_.size());
  for (const auto& item : unstored_) rows.push_back(&item.row);
#ifdef KX_TEST_SEAMS
  gStoreTries.fetch_add(1);
#endif
  if (!storage_->saveRows(rows, configuration_.groupId())) {
    if (shutDown_) {
      // No retry comes after shutdown: they are lost, and said to be, also
      // when they arrived after it.
      DUZELogWarning(kDUZELogTag, "%d log(s) of channel %@ could not be stored and are lost.",
                     static_cast<int>(unstored_.size()), configuration_.groupId());
      dropUnstored();
      return;
    }
    if (!std::exchange(storingFails_, true)) {
      DUZELogWarning(
          kDUZELogTag,
          "Couldn't store %d log(s) of channel %@; they are kept and stored again later.",
          static_cast<int>(unstored_.size()), configuration_.groupId());
    }
    dropUnstoredBeyondLimit();
    scheduleStoreRetry();
    return;
  }
  if (std::exchange(storingFails_, false)) {
    DUZELogInfo(kDUZELogTag, "%d kept log(s) of channel %@ are stored (%d dropped meanwhile).",
                static_cast<int>(unstored_.size()), configuration_.groupId(),
                static_cast<int>(std::exchange(droppedUnstored_, 0)));
    storeRetryIntervals_ = 1;
    if (storeTimer_) storeTimer_->cancel();
    storeTimer_.reset();
  }
  std::vector<Prepared> stored;
  stored.swap(unstored_);
  itemsCount_ += stored.size();
  reportDone(stored);
  // The list keeps its room for the next logs.
  stored.clear();
  if (unstored_.empty()) unstored_.swap(stored);
  checkPendingLogs();
}

void DUZEChannelUnitDefault::dropUnstoredBeyondLimit() {
  if (unstored_.size() <= kMaxUnstoredLogs) return;
  const size_t dropped = unstored_.size() - kMaxUnstoredLogs;
  // Said once while storing fails; the count comes with the recovery.
  if (droppedUnstored_ == 0) {
    DUZELogWarning(kDUZELogTag,
                   "Channel %@ keeps at most %d unstored log(s); the oldest beyond are dropped "
                   "until logs can be stored again.",
                   configuration_.groupId(), static_cast<int>(kMaxUnstoredLogs));
  }
  droppedUnstored_ += dropped;
  std::vector<Prepared> oldest(std::make_move_iterator(unstored_.begin()),
                               std::make_move_iterator(unstored_.begin() + dropped));
  unstored_.erase(unstored_.begin(), unstored_.begin() + dropped);
  reportDone(oldest);
}

void DUZEChannelUnitDefault::scheduleStoreRetry() {
  if (storeTimer_) storeTimer_->cancel();
  storeTimer_ = dispatch::DispatchSource::makeTimerSource(queue_);
  storeTimer_->setEventHandler([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->storeTimer_.reset();
    self->storePrepared(true);
  });
  // A long flush interval (analytics allows a day) must not leave kept logs
  // in memory only for that long; one of 0 must not try again at once, over
  // and over, while the disk stays full: a second at least between tries.
  const auto wait = dispatch::DispatchTimeInterval::nanoseconds(std::max(
      std::min(multipliedSaturated(flushDelay().nanosecondsSaturated(), storeRetryIntervals_),
               intervalOfSeconds(kMaxStoreRetryWaitSeconds).nanosecondsSaturated()),
      intervalOfSeconds(1).nanosecondsSaturated()));
  storeRetryIntervals_ = std::min(storeRetryIntervals_ * 2, kMaxStoreRetryIntervals);
  storeTimer_->schedule(dispatch::DispatchTime::now() + wait);
  storeTimer_->resume();
}

void DUZEChannelUnitDefault::dropUnstored() {
  auto dropped = std::move(unstored_);
  unstored_.clear();
  // Nothing is kept: the next log is tried at once, and a failure then is
  // said anew.
  storingFails_ = false;
  storeRetryIntervals_ = 1;
  droppedUnstored_ = 0;
  if (storeTimer_) storeTimer_->cancel();
  storeTimer_.reset();
  reportDone(dropped);
}

// Batching and sending ------------------------------------------------------------

void DUZEChannelUnitDefault::start() {
  queue_->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->shutDown_) return;
    self->itemsCount_ = self->storage_->countLogs(self->configuration_.groupId());
    if (self->itemsCount_ > 0) {
      DUZELogDebug(kDUZELogTag, "Channel %@ has %d stored log(s) to send.",
                   self->configuration_.groupId(), static_cast<int>(self->itemsCount_));
    }
    self->checkPendingLogs();
  });
}

void DUZEChannelUnitDefault::shutdown() {
  queue_->sync([this] {
    shutDown_ = true;
    cancelTimer();
    if (storeTimer_) storeTimer_->cancel();
    storeTimer_.reset();
    // A last try for logs that could not be stored.
    storePrepared(true);
  });
}

void DUZEChannelUnitDefault::checkPendingLogs() {
  if (shutDown_ || !enabled_) return;
  // After a failed round only the flush timer starts the next one: a full
  // batch does not cut the wait short.
  if (itemsCount_ > 0 && itemsCount_ >= configuration_.batchSizeLimit() && !sendingFails_) {
    flushQueue();
  } else if ((itemsCount_ > 0 || rowsToDelete_) && !timer_) {
    startTimer();
  }
}

void DUZEChannelUnitDefault::startTimer() {
  cancelTimer();
  timer_ = dispatch::DispatchSource::makeTimerSource(queue_);
  timer_->setEventHandler([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->cancelTimer();
    self->retryDeleting();
    self->storePrepared();
    self->flushQueue();
  });
  timer_->schedule(dispatch::DispatchTime::now() + flushDelay());
  timer_->resume();
}

void DUZEChannelUnitDefault::retryDeleting() {
  if (rowsToDelete_)
    rowsToDelete_ = !storage_->retryDeletingLogsWithGroupId(configuration_.groupId());
}

void DUZEChannelUnitDefault::cancelTimer() {
  if (timer_) {
    timer_->cancel();
    timer_.reset();
  }
}

void DUZEChannelUnitDefault::flushQueue() {
  cancelTimer();
  if (shutDown_ || !enabled_ || pausedByObjects()) return;
  // One process at a time sends the logs of a data folder, or both would
  // send the same rows. The others keep storing theirs and ask again each
  // flush interval, so one of them takes over once the sender is gone.
  if (!storage_->claimSending()) {
    // Said once per wait: the sender may have no unit of this channel, or
    // have it disabled or paused, and then nothing of it goes out until that
    // program exits.
    if (!std::exchange(waitingForSender_, true)) {
      DUZELogWarning(kDUZELogTag,
                     "Channel %@ does not send its logs while another program holds the sending "
                     "lock %@.lock: they go out with that program's batches of the same channel, "
                     "or from here once it exits.",
                     configuration_.groupId(), storage_->file().string());
    }
    startTimer();
    return;
  }
  // The sender may have left rows of its own, or sent some of these.
  if (std::exchange(waitingForSender_, false)) {
    itemsCount_ = storage_->countLogs(configuration_.groupId());
  }
  while (pendingBatchIds_.size() < configuration_.pendingBatchesLimit()) {
    bool unreadable = false;
    auto batch = storage_->loadLogsWithGroupId(
        configuration_.groupId(), configuration_.batchSizeLimit(), pausedTargetKeys_, &unreadable);
    if (!batch) {
      // Rows that cannot be read now still count: they are tried again at
      // the next flush interval instead of waiting for a new log.
      if (!unreadable) itemsCount_ = 0;
      break;
    }
    itemsCount_ -= std::min(itemsCount_, batch->logs.size());
    // The count knows only this unit's own logs: rows that other programs on
    // the data folder stored meanwhile come first when older, and a full
    // batch may leave more behind, this unit's own newest among them.
    if (itemsCount_ == 0 && batch->logs.size() >= configuration_.batchSizeLimit()) {
      itemsCount_ = storage_->countLogs(configuration_.groupId());
    }
    pendingBatchIds_.insert(batch->batchId);
    auto self = shared_from_this();
    for (const auto& delegate : delegates()) {
      for (const auto& log : batch->logs) delegate->channelWillSendLog(self, log);
    }
    DUZELogDebug(kDUZELogTag, "Sending %d log(s) of channel %@ (batch %@).",
                 static_cast<int>(batch->logs.size()), configuration_.groupId(), batch->batchId);
    DUZELogContainer container{batch->batchId, batch->logs};
    ingestion_->sendAsync(container, [weak = weak_from_this(), queue = queue_,
                                      sent = std::make_shared<DUZELogBatch>(std::move(*batch))](
                                         DUZEHttpResponse response) {
      queue->async([weak, sent, response = std::move(response)] {
        if (auto unit = weak.lock()) unit->handleResponse(*sent, response);
      });
    });
    if (itemsCount_ < configuration_.batchSizeLimit()) break;
  }
  // Logs left behind (a full pipeline, or sent and not deleted yet) wait for
  // the next timer or answer; logs not stored yet wait for their own retry.
  if ((itemsCount_ > 0 || rowsToDelete_) && !timer_) startTimer();
}

void DUZEChannelUnitDefault::handleResponse(const DUZELogBatch& batch,
                                            const DUZEHttpResponse& response) {
  // A batch that is no longer pending was dropped meanwhile (the unit was
  // disabled and its logs deleted): nothing more to report.
  if (pendingBatchIds_.erase(batch.batchId) == 0) return;
  auto self = shared_from_this();
  const long status = response.statusCode;
  if (DUZEHttpClient::isSuccessStatusCode(status)) {
    DUZELogDebug(kDUZELogTag, "Batch %@ of channel %@ was sent.", batch.batchId,
                 configuration_.groupId());
    if (sendingFails_) {
      sendingFails_ = false;
      DUZELogInfo(kDUZELogTag, "Channel %@ sends its logs again.", configuration_.groupId());
    }
    // Deleted before anyone hears of it: a program may end from the
    // callback, and its next run must not send the logs again. Rows that
    // cannot be deleted now (a full disk) are not sent again by this
    // program: the flush timer tries again.
    if (!storage_->deleteLogsWithBatchId(batch.batchId)) rowsToDelete_ = true;
    for (const auto& delegate : delegates()) {
      for (const auto& log : batch.logs) delegate->channelDidSucceedSendingLog(self, log);
    }
    checkPendingLogs();
    return;
  }
  if (DUZEHttpClient::isRecoverableStatusCode(status)) {
    // Said once while the failures last, so that a dead network or proxy
    // does not fill the log at every flush.
    std::string reason = response.error ? response.error->localizedDescription() : "no answer";
    if (status == 407) {
      reason = "the proxy asks for credentials (HTTP status 407)";
    } else if (status != 0) {
      reason = foundation::stringWithFormat("the ingestion answered with HTTP status %ld", status);
    }
    if (!sendingFails_) {
      sendingFails_ = true;
      DUZELogWarning(kDUZELogTag,
                     "Channel %@ cannot send its logs: %@. They are kept and tried again at every "
                     "flush until sending succeeds.",
                     configuration_.groupId(), reason);
    }
    DUZELogDebug(kDUZELogTag,
                 "Batch %@ of channel %@ could not be sent (status %ld); it is kept for a later "
                 "flush (%@).",
                 batch.batchId, configuration_.groupId(), status, reason);
    storage_->releaseBatch(batch.batchId);
    itemsCount_ += batch.logs.size();
    // The next round starts one flush interval after the last failure,
    // however fast logs arrive meanwhile: a dead server or proxy is tried
    // once per interval, not at every batch that fills up.
    if (enabled_ && !shutDown_) startTimer();
    return;
  }
  DUZELogError(kDUZELogTag,
               "Batch %@ of channel %@ was refused (status %ld); the channel is disabled.",
               batch.batchId, configuration_.groupId(), status);
  sendingFails_ = false;
  if (!storage_->deleteLogsWithBatchId(batch.batchId)) rowsToDelete_ = true;
  auto error = statusError(status);
  for (const auto& delegate : delegates()) {
    for (const auto& log : batch.logs) delegate->channelDidFailSendingLog(self, log, error);
  }
  applyEnabled(false, true);
}

// Enabling and pausing ----------------------------------------------------------

void DUZEChannelUnitDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  submit([weak = weak_from_this(), isEnabled, deleteDataOnDisabled] {
    if (auto self = weak.lock()) self->applyEnabled(isEnabled, deleteDataOnDisabled);
  });
}

void DUZEChannelUnitDefault::applyEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  const bool changed = enabled_ != isEnabled;
  enabled_ = isEnabled;
  if (!isEnabled) {
    cancelTimer();
    if (deleteDataOnDisabled) {
      dropUnstored();
      // Answers of batches in flight are ignored from now on.
      pendingBatchIds_.clear();
      const size_t deleted = storage_->deleteLogsWithGroupId(configuration_.groupId());
      itemsCount_ = 0;
      if (deleted > 0) {
        DUZELogDebug(kDUZELogTag, "Deleted %d stored log(s) of channel %@.",
                     static_cast<int>(deleted), configuration_.groupId());
      }
    }
  } else if (changed) {
    itemsCount_ = storage_->countLogs(configuration_.groupId());
    checkPendingLogs();
  }
  if (changed) {
    DUZELogDebug(kDUZELogTag, "Channel %@ is %@.", configuration_.groupId(),
                 isEnabled ? "enabled" : "disabled");
  }
  auto self = shared_from_this();
  for (const auto& delegate : delegates()) {
    delegate->channelDidSetEnabled(self, isEnabled, deleteDataOnDisabled);
  }
}

bool DUZEChannelUnitDefault::pausedByObjects() {
  std::erase_if(pausedObjects_, [](const std::weak_ptr<void>& object) { return object.expired(); });
  return !pausedObjects_.empty();
}

void DUZEChannelUnitDefault::updatePaused() { paused_ = pausedByObjects(); }

void DUZEChannelUnitDefault::pauseWithIdentifyingObject(
    const std::shared_ptr<void>& identifyingObject) {
  if (!identifyingObject) return;
  submit([weak = weak_from_this(), identifyingObject] {
    auto self = weak.lock();
    if (!self) return;
    bool known = false;
    for (const auto& held : self->pausedObjects_) {
      if (held.lock() == identifyingObject) known = true;
    }
    if (!known) self->pausedObjects_.push_back(identifyingObject);
    self->cancelTimer();
    self->updatePaused();
    for (const auto& delegate : self->delegates()) {
      delegate->channelDidPauseWithIdentifyingObject(self, identifyingObject);
    }
  });
}

void DUZEChannelUnitDefault::resumeWithIdentifyingObject(
    const std::shared_ptr<void>& identifyingObject) {
  if (!identifyingObject) return;
  submit([weak = weak_from_this(), identifyingObject] {
    auto self = weak.lock();
    if (!self) return;
    std::erase_if(self->pausedObjects_, [&](const std::weak_ptr<void>& held) {
      return held.lock() == identifyingObject;
    });
    self->updatePaused();
    if (!self->paused_) self->checkPendingLogs();
    for (const auto& delegate : self->delegates()) {
      delegate->channelDidResumeWithIdentifyingObject(self, identifyingObject);
    }
  });
}

void DUZEChannelUnitDefault::pauseSendingLogsWithToken(const std::string& token) {
  auto targetKey = DUZEUtility::targetKeyFromTargetToken(token);
  if (!targetKey) return;
  submit([weak = weak_from_this(), key = *targetKey] {
    if (auto self = weak.lock()) self->pausedTargetKeys_.insert(key);
  });
}

void DUZEChannelUnitDefault::resumeSendingLogsWithToken(const std::string& token) {
  auto targetKey = DUZEUtility::targetKeyFromTargetToken(token);
  if (!targetKey) return;
  submit([weak = weak_from_this(), key = *targetKey] {
    auto self = weak.lock();
    if (!self || self->pausedTargetKeys_.erase(key) == 0) return;
    // Logs of the key may have waited: count them in again.
    self->itemsCount_ = self->storage_->countLogs(self->configuration_.groupId());
    self->checkPendingLogs();
  });
}
