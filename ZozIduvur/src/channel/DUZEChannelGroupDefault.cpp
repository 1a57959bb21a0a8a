#include "ZozIduvur/DUZEChannelGroupDefault.h"

#include <algorithm>

#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvur/DUZELogger.h"

// DUZEChannelGroupDefault ---------------------------------------------------------

std::shared_ptr<DUZEChannelGroupDefault> DUZEChannelGroupDefault::create(
    std::shared_ptr<DUZEIngestionProtocol> ingestion,
    std::shared_ptr<DUZEIngestionProtocol> collectorIngestion,
    std::shared_ptr<DUZELogDBStorage> storage) {
  auto group = std::make_shared<DUZEChannelGroupDefault>(
      std::move(ingestion), std::move(collectorIngestion), std::move(storage));
  group->mirrorDelegate_ = std::make_shared<DUZECommonSchemaMirrorDelegate>(group);
  group->addDelegate(group->mirrorDelegate_);
  return group;
}

DUZEChannelGroupDefault::DUZEChannelGroupDefault(
    std::shared_ptr<DUZEIngestionProtocol> ingestion,
    std::shared_ptr<DUZEIngestionProtocol> collectorIngestion,
    std::shared_ptr<DUZELogDBStorage> storage)
    : ingestion_(std::move(ingestion)),
      collectorIngestion_(std::move(collectorIngestion)),
      storage_(std::move(storage)),
      queue_(dispatch::DispatchQueue::create("com.kestrix.zoziduvur.logs")) {}

DUZEChannelGroupDefault::~DUZEChannelGroupDefault() = default;

std::shared_ptr<DUZEChannelUnitProtocol> DUZEChannelGroupDefault::addChannelUnitWithConfiguration(
    const DUZEChannelUnitConfiguration& configuration) {
  return addChannelUnitWithConfiguration(configuration, ingestion_);
}

std::shared_ptr<DUZEChannelUnitProtocol> DUZEChannelGroupDefault::addChannelUnitWithConfiguration(
    const DUZEChannelUnitConfiguration& configuration,
    std::shared_ptr<DUZEIngestionProtocol> ingestion) {
  std::shared_ptr<DUZEChannelUnitDefault> unit;
  {
    base::LockGuard lock(mutex_);
    for (const auto& existing : units_) {
      if (existing->configuration().groupId() == configuration.groupId()) return existing;
    }
    unit = DUZEChannelUnitDefault::create(configuration, std::move(ingestion), storage_, queue_,
                                          weak_from_this());
    units_.push_back(unit);
  }
  DUZELogDebug(kDUZELogTag, "Added channel unit %@.", configuration.groupId());
  auto self = shared_from_this();
  for (const auto& delegate : delegates()) delegate->channelGroupDidAddChannelUnit(self, unit);
  unit->start();
  return unit;
}

std::shared_ptr<DUZEChannelUnitProtocol> DUZEChannelGroupDefault::channelUnitForGroupId(
    std::string_view groupId) {
  base::LockGuard lock(mutex_);
  for (const auto& unit : units_) {
    if (unit->configuration().groupId() == groupId) return unit;
  }
  return nullptr;
}

void DUZEChannelGroupDefault::addDelegate(const std::shared_ptr<DUZEChannelDelegate>& delegate) {
  if (!delegate) return;
  base::LockGuard lock(mutex_);
  for (const auto& held : delegates_) {
    if (held.lock() == delegate) return;
  }
  delegates_.push_back(delegate);
}

void DUZEChannelGroupDefault::removeDelegate(const std::shared_ptr<DUZEChannelDelegate>& delegate) {
  base::LockGuard lock(mutex_);
  std::erase_if(delegates_, [&](const std::weak_ptr<DUZEChannelDelegate>& held) {
    auto live = held.lock();
    return !live || live == delegate;
  });
}

std::vector<std::shared_ptr<DUZEChannelDelegate>> DUZEChannelGroupDefault::delegates() {
  base::LockGuard lock(mutex_);
  std::vector<std::shared_ptr<DUZEChannelDelegate>> live;
  live.reserve(delegates_.size());
  for (const auto& held : delegates_) {
    if (auto delegate = held.lock()) live.push_back(std::move(delegate));
  }
  return live;
}

void DUZEChannelGroupDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  std::vector<std::shared_ptr<DUZEChannelUnitDefault>> units;
  {
    base::LockGuard lock(mutex_);
    units = units_;
  }
  for (const auto& unit : units) unit->setEnabled(isEnabled, deleteDataOnDisabled);
}

void DUZEChannelGroupDefault::waitUntilIdle() {
  for (bool idle = false; !idle;) {
    // Looked at from a block of the logs queue, where no unit is halfway
    // through taking its logs up.
    queue_->sync([&] {
      std::vector<std::shared_ptr<DUZEChannelUnitDefault>> units;
      {
        base::LockGuard lock(mutex_);
        units = units_;
      }
      idle = std::none_of(units.begin(), units.end(),
                          [](const auto& unit) { return unit->hasIncomingLogs(); });
    });
  }
}

void DUZEChannelGroupDefault::shutdown() {
  std::vector<std::shared_ptr<DUZEChannelUnitDefault>> units;
  {
    base::LockGuard lock(mutex_);
    units = units_;
  }
  for (const auto& unit : units) unit->shutdown();
  // Nothing is left to write: the log database is closed cleanly.
  storage_->close();
}

// DUZECommonSchemaMirrorDelegate ------------------------------------------------

bool DUZECommonSchemaMirrorDelegate::isMirror(const DUZEChannelUnitProtocol& unit) {
  const std::string& id = unit.configuration().groupId();
  return id.size() >= kDUZECommonSchemaMirrorSuffix.size() &&
         id.compare(id.size() - kDUZECommonSchemaMirrorSuffix.size(),
                    kDUZECommonSchemaMirrorSuffix.size(), kDUZECommonSchemaMirrorSuffix) == 0;
}

bool DUZECommonSchemaMirrorDelegate::shouldMirror(const DUZEChannelUnitProtocol& unit,
                                                  const DUZEAbstractLog& log) {
  return !isMirror(unit) && !log.transmissionTargetTokens().empty() &&
         log.supportsCommonSchemaConversion();
}

std::shared_ptr<DUZEChannelUnitProtocol> DUZECommonSchemaMirrorDelegate::mirrorOf(
    const DUZEChannelUnitProtocol& unit) {
  if (isMirror(unit)) return nullptr;
  auto group = group_.lock();
  if (!group) return nullptr;
  return group->channelUnitForGroupId(unit.configuration().groupId() +
                                      std::string(kDUZECommonSchemaMirrorSuffix));
}

void DUZECommonSchemaMirrorDelegate::channelGroupDidAddChannelUnit(
    const std::shared_ptr<DUZEChannelGroupProtocol>&,
    const std::shared_ptr<DUZEChannelUnitProtocol>& unit) {
  if (isMirror(*unit)) return;
  auto group = group_.lock();
  if (!group) return;
  const auto& config = unit->configuration();
  group->addChannelUnitWithConfiguration(
      DUZEChannelUnitConfiguration(config.groupId() + std::string(kDUZECommonSchemaMirrorSuffix),
                                   config.priority(), config.flushInterval(),
                                   config.batchSizeLimit(), config.pendingBatchesLimit()),
      group->collectorIngestion());
}

void DUZECommonSchemaMirrorDelegate::channelDidPrepareLog(
    const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
    const std::shared_ptr<DUZEAbstractLog>& log, const std::string&, uint64_t flags) {
  if (!shouldMirror(*unit, *log)) return;
  auto mirror = mirrorOf(*unit);
  if (!mirror) return;
  for (const auto& converted : log->toCommonSchemaLogsWithFlags(flags)) {
    mirror->enqueueItem(converted, flags);
  }
}

bool DUZECommonSchemaMirrorDelegate::channelUnitShouldFilterLog(
    const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
    const std::shared_ptr<DUZEAbstractLog>& log) {
  return shouldMirror(*unit, *log);
}

void DUZECommonSchemaMirrorDelegate::channelDidSetEnabled(
    const std::shared_ptr<DUZEChannelUnitProtocol>& unit, bool isEnabled,
    bool deleteDataOnDisabled) {
  if (auto mirror = mirrorOf(*unit)) mirror->setEnabled(isEnabled, deleteDataOnDisabled);
}

void DUZECommonSchemaMirrorDelegate::channelDidPauseWithIdentifyingObject(
    const std::shared_ptr<DUZEChannelUnitProtocol>& unit, const std::shared_ptr<void>& object) {
  if (auto mirror = mirrorOf(*unit)) mirror->pauseWithIdentifyingObject(object);
}

void DUZECommonSchemaMirrorDelegate::channelDidResumeWithIdentifyingObject(
    const std::shared_ptr<DUZEChannelUnitProtocol>& unit, const std::shared_ptr<void>& object) {
  if (auto mirror = mirrorOf(*unit)) mirror->resumeWithIdentifyingObject(object);
}
