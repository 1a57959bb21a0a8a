#include "dispatch/DispatchSource.h"

#ifdef KX_TEST_SEAMS
#include "dispatch/TestSeams.h"
#endif

#include "MemoryPressure.h"
#include "TimerService.h"

namespace dispatch {
namespace {

uint64_t addSaturated(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::shared_ptr<DispatchQueue> orMain(std::shared_ptr<DispatchQueue> queue) {
  return queue ? std::move(queue) : DispatchQueue::main();
}

}  // namespace

std::shared_ptr<DispatchSourceTimer> DispatchSource::makeTimerSource(
    std::shared_ptr<DispatchQueue> queue) {
  return std::make_shared<DispatchSourceTimer>(orMain(std::move(queue)),
                                               detail::TimerService::shared());
}

std::shared_ptr<DispatchSourceMemoryPressure> DispatchSource::makeMemoryPressureSource(
    MemoryPressureEvent eventMask, std::shared_ptr<DispatchQueue> queue) {
  return std::make_shared<DispatchSourceMemoryPressure>(orMain(std::move(queue)), eventMask);
}

DispatchSource::DispatchSource(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}

DispatchSource::~DispatchSource() = default;

void DispatchSource::setEventHandler(Block handler) {
  auto made = handler ? std::make_shared<const Block>(std::move(handler)) : nullptr;
  base::LockGuard lock(mutex_);
  if (cancelled_) return;  // `made` dies after the lock is released
  std::swap(handler_, made);
}

void DispatchSource::resume() {
  bool starts = false;
  {
    base::LockGuard lock(mutex_);
    if (resumed_ || cancelled_) return;
    resumed_ = true;
    starts = pending_ != 0 && !inFlight_;
    if (starts) inFlight_ = true;
  }
  if (starts) startRun();
  didResume();
}

void DispatchSource::cancel() {
  std::shared_ptr<const Block> released;
  {
    base::LockGuard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    pending_ = 0;
    released = std::move(handler_);
  }
  didCancel();
}

bool DispatchSource::isCancelled() const {
  base::LockGuard lock(mutex_);
  return cancelled_;
}

uint64_t DispatchSource::currentData() const {
  base::LockGuard lock(mutex_);
  return current_;
}

void DispatchSource::deliver(uint64_t data, Merge merge) {
  {
    base::LockGuard lock(mutex_);
    if (cancelled_) return;
    pending_ = merge == Merge::add ? addSaturated(pending_, data) : (pending_ | data);
    if (!resumed_ || inFlight_ || pending_ == 0) return;
    inFlight_ = true;
  }
  startRun();
}

void DispatchSource::startRun() {
  queue_->async([self = shared_from_this()] { self->runHandler(); });
}

void DispatchSource::runHandler() {
  base::UniqueLock lock(mutex_);
  if (cancelled_) {
    inFlight_ = false;
    return;
  }
  current_ = std::exchange(pending_, 0);
  std::shared_ptr<const Block> handler = handler_;
  lock.unlock();
  if (handler) (*handler)();
  handler.reset();
  lock.lock();
  if (!cancelled_ && runsAgainAfterRun()) pending_ = addSaturated(pending_, 1);
  if (cancelled_ || pending_ == 0) {
    inFlight_ = false;
    return;
  }
  lock.unlock();
  startRun();
}

DispatchSourceTimer::DispatchSourceTimer(std::shared_ptr<DispatchQueue> queue,
                                         std::shared_ptr<detail::TimerService> service)
    : DispatchSource(std::move(queue)), service_(std::move(service)) {}

DispatchSourceTimer::~DispatchSourceTimer() { service_->deactivate(*this); }

void DispatchSourceTimer::schedule(DispatchTime deadline, DispatchTimeInterval repeating,
                                   DispatchTimeInterval leeway) {
  (void)leeway;  // firings come at the deadline; no coalescing is done
  backToBack_.store(false);
  const int64_t interval =
      repeating.isNever() ? INT64_MAX : std::min(repeating.nanosecondsSaturated(), INT64_MAX - 1);
  service_->setSchedule(*this, deadline.uptimeNanoseconds(), interval);
}

void DispatchSourceTimer::didResume() { service_->activate(*this); }

void DispatchSourceTimer::didCancel() {
  backToBack_.store(false);
  service_->deactivate(*this);
}

bool DispatchSourceTimer::runsAgainAfterRun() const { return backToBack_.load(); }

DispatchSourceMemoryPressure::DispatchSourceMemoryPressure(std::shared_ptr<DispatchQueue> queue,
                                                           MemoryPressureEvent mask)
    : DispatchSource(std::move(queue)), mask_(mask) {}

DispatchSourceMemoryPressure::~DispatchSourceMemoryPressure() {
  detail::MemoryPressureMonitor::shared().remove(*this);
}

void DispatchSourceMemoryPressure::didResume() {
  detail::MemoryPressureMonitor::shared().add(*this);
}

void DispatchSourceMemoryPressure::didCancel() {
  detail::MemoryPressureMonitor::shared().remove(*this);
}

void DispatchSourceMemoryPressure::notify(MemoryPressureEvent event) {
  if (!intersects(event, mask_)) return;
  deliver(static_cast<uint32_t>(event) & static_cast<uint32_t>(mask_), Merge::bitOr);
}

#ifdef KX_TEST_SEAMS
void simulateMemoryPressure(MemoryPressureEvent event) {
  detail::MemoryPressureMonitor::shared().deliver(event);
}
#endif

}  // namespace dispatch
