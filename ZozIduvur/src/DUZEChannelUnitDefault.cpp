#include "ZozIduvur/DUZEChannelUnitDefault.h"

#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZEErrors.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"

namespace {

// Marks the logs queues, so that work asked for from a block of the queue
// (a delegate carrying a change over to a mirror unit) runs at once, in order.
const dispatch::DispatchSpecificKey<const void*>& logsQueueKey() {
  static const dispatch::DispatchSpecificKey<const void*> key;
  return key;
}

// An internal id need only be unique within the process: it ties a log to
// its copy in the crash-time buffer until the log is stored.
std::string nextInternalId() {
  static std::atomic<uint64_t> next{0};
  return std::to_string(next.fetch_add(1, std::memory_order_relaxed) + 1);
}

std::mutex gIntervalMutex;
std::optional<dispatch::DispatchTimeInterval> gIntervalUnit;

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

void DUZEChannelUnitDefault::onQueue(std::function<void()> block) {
  if (dispatch::DispatchQueue::getSpecific(logsQueueKey()) ==
      std::optional<const void*>(queue_.get())) {
    block();
  } else {
    queue_->async(std::move(block));
  }
}

void DUZEChannelUnitDefault::setFlushIntervalUnitForTesting(
    std::optional<dispatch::DispatchTimeInterval> unit) {
  std::lock_guard lock(gIntervalMutex);
  gIntervalUnit = unit;
}

dispatch::DispatchTimeInterval DUZEChannelUnitDefault::flushDelay() const {
  const auto seconds = static_cast<int64_t>(configuration_.flushInterval());
  std::lock_guard lock(gIntervalMutex);
  if (gIntervalUnit) {
    return dispatch::DispatchTimeInterval::nanoseconds(gIntervalUnit->nanosecondsSaturated() *
                                                       seconds);
  }
  return dispatch::DispatchTimeInterval::seconds(seconds);
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
  bool first = false;
  {
    std::lock_guard lock(incomingMutex_);
    first = incoming_.empty();
    incoming_.push_back({log, flags});
  }
  // Logs handed over in a burst are taken up by one block and stored in one
  // transaction.
  if (first) {
    queue_->async([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->drainIncoming();
    });
  }
}

bool DUZEChannelUnitDefault::hasIncomingLogs() {
  std::lock_guard lock(incomingMutex_);
  return !incoming_.empty();
}

void DUZEChannelUnitDefault::drainIncoming() {
  std::vector<Incoming> items;
  {
    std::lock_guard lock(incomingMutex_);
    items.swap(incoming_);
  }
  auto self = shared_from_this();
  auto listeners = delegates();
  std::vector<DUZELogDBStorage::Entry> accepted;
  std::vector<std::pair<std::shared_ptr<DUZEAbstractLog>, std::string>> done;
  for (auto& item : items) {
    const auto& log = item.log;
    if (!enabled_) {
      DUZELogDebug(kDUZELogTag, "Channel %@ is disabled; a log of type %@ is discarded.",
                   configuration_.groupId(), log->type());
      continue;
    }
    if (!log->timestamp()) log->setTimestamp(dispatch::Date::now());
    if (!log->device()) log->setDevice(DUZEDeviceTracker::sharedInstance()->device());
    const std::string internalId = nextInternalId();
    for (const auto& delegate : listeners) delegate->channelPrepareLog(self, log);
    for (const auto& delegate : listeners) {
      delegate->channelDidPrepareLog(self, log, internalId, item.flags);
    }
    bool filtered = false;
    for (const auto& delegate : listeners) {
      if (delegate->channelUnitShouldFilterLog(self, log)) filtered = true;
    }
    if (filtered) {
      DUZELogDebug(kDUZELogTag, "Log of type '%@' was filtered out by a delegate.", log->type());
    } else if (!log->isValid()) {
      DUZELogWarning(kDUZELogTag, "Log of type '%@' is not valid; it is discarded.", log->type());
    } else {
      accepted.push_back({log, item.flags});
      done.emplace_back(log, internalId);
      continue;
    }
    // Dropped logs are done too: nobody keeps a copy waiting for them.
    for (const auto& delegate : listeners) {
      delegate->channelDidCompleteEnqueueingLog(self, log, internalId);
    }
  }
  if (!accepted.empty()) {
    const size_t saved = storage_->saveLogs(accepted, configuration_.groupId());
    if (saved == 0) {
      DUZELogError(kDUZELogTag, "Couldn't store %d log(s) of channel %@.",
                   static_cast<int>(accepted.size()), configuration_.groupId());
    }
    itemsCount_ += saved;
    for (const auto& [log, internalId] : done) {
      for (const auto& delegate : listeners) {
        delegate->channelDidCompleteEnqueueingLog(self, log, internalId);
      }
    }
    checkPendingLogs();
  }
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
  });
}

void DUZEChannelUnitDefault::checkPendingLogs() {
  if (shutDown_ || !enabled_ || itemsCount_ == 0) return;
  if (itemsCount_ >= configuration_.batchSizeLimit()) {
    flushQueue();
  } else if (!timer_) {
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
    self->flushQueue();
  });
  timer_->schedule(dispatch::DispatchTime::now() + flushDelay());
  timer_->resume();
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
  while (pendingBatchIds_.size() < configuration_.pendingBatchesLimit()) {
    auto batch = storage_->loadLogsWithGroupId(configuration_.groupId(),
                                               configuration_.batchSizeLimit(), pausedTargetKeys_);
    if (!batch) {
      itemsCount_ = 0;
      break;
    }
    itemsCount_ -= std::min(itemsCount_, batch->logs.size());
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
  // Logs left behind (a full pipeline) wait for the next timer or answer.
  if (itemsCount_ > 0 && !timer_) startTimer();
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
    for (const auto& delegate : delegates()) {
      for (const auto& log : batch.logs) delegate->channelDidSucceedSendingLog(self, log);
    }
    storage_->deleteLogsWithBatchId(batch.batchId);
    checkPendingLogs();
    return;
  }
  if (DUZEHttpClient::isRecoverableStatusCode(status)) {
    DUZELogWarning(kDUZELogTag,
                   "Batch %@ of channel %@ could not be sent (status %ld); it is kept for a later "
                   "flush.",
                   batch.batchId, configuration_.groupId(), status);
    storage_->releaseBatch(batch.batchId);
    itemsCount_ += batch.logs.size();
    // No immediate retry: the next attempt waits for the flush interval.
    if (!timer_ && enabled_ && !shutDown_) startTimer();
    return;
  }
  DUZELogError(kDUZELogTag,
               "Batch %@ of channel %@ was refused (status %ld); the channel is disabled.",
               batch.batchId, configuration_.groupId(), status);
  auto error = statusError(status);
  for (const auto& delegate : delegates()) {
    for (const auto& log : batch.logs) delegate->channelDidFailSendingLog(self, log, error);
  }
  storage_->deleteLogsWithBatchId(batch.batchId);
  applyEnabled(false, true);
}

// Enabling and pausing ----------------------------------------------------------

void DUZEChannelUnitDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  onQueue([weak = weak_from_this(), isEnabled, deleteDataOnDisabled] {
    if (auto self = weak.lock()) self->applyEnabled(isEnabled, deleteDataOnDisabled);
  });
}

void DUZEChannelUnitDefault::applyEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  const bool changed = enabled_ != isEnabled;
  enabled_ = isEnabled;
  if (!isEnabled) {
    cancelTimer();
    if (deleteDataOnDisabled) {
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
  onQueue([weak = weak_from_this(), identifyingObject] {
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
  onQueue([weak = weak_from_this(), identifyingObject] {
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
  onQueue([weak = weak_from_this(), key = *targetKey] {
    if (auto self = weak.lock()) self->pausedTargetKeys_.insert(key);
  });
}

void DUZEChannelUnitDefault::resumeSendingLogsWithToken(const std::string& token) {
  auto targetKey = DUZEUtility::targetKeyFromTargetToken(token);
  if (!targetKey) return;
  onQueue([weak = weak_from_this(), key = *targetKey] {
    auto self = weak.lock();
    if (!self || self->pausedTargetKeys_.erase(key) == 0) return;
    // Logs of the key may have waited: count them in again.
    self->itemsCount_ = self->storage_->countLogs(self->configuration_.groupId());
    self->checkPendingLogs();
  });
}
