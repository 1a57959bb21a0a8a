#include "TimerService.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <chrono>
#include <thread>

namespace dispatch::detail {
namespace {

// Deadlines past this (about 146 years of uptime) are waited for without a
// time limit, which keeps the conversion to the clock's signed count safe.
constexpr uint64_t kFarFuture = uint64_t{1} << 62;

}  // namespace

const std::shared_ptr<TimerService>& TimerService::shared() {
  // Never destroyed: its thread runs until the process ends.
  static const auto* const service = [] {
    auto* made = new std::shared_ptr<TimerService>(new TimerService(false, 0));
    TimerService* raw = made->get();
    std::thread([raw] { raw->threadMain(); }).detach();
    return made;
  }();
  return *service;
}

std::shared_ptr<TimerService> TimerService::makeManual(uint64_t startNanos) {
  return std::shared_ptr<TimerService>(new TimerService(true, startNanos));
}

TimerService::TimerService(bool manual, uint64_t startNanos)
    : manual_(manual), manualNow_(startNanos) {}

TimerService::~TimerService() = default;

uint64_t TimerService::nowLocked() const {
  return manual_ ? manualNow_ : DispatchTime::now().uptimeNanoseconds();
}

uint64_t TimerService::now() const {
  base::LockGuard lock(mutex_);
  return nowLocked();
}

void TimerService::insertLocked(uint64_t deadline, Entry entry, uint64_t* idOut) {
  const uint64_t id = nextSequence_++;
  if (idOut != nullptr) *idOut = id;
  const bool earliest = entries_.empty() || Key{deadline, id} < entries_.begin()->first;
  entries_.emplace(Key{deadline, id}, std::move(entry));
  if (earliest) wake_.notify_one();
}

void TimerService::submitAt(DispatchTime deadline, std::shared_ptr<DispatchQueue> queue,
                            Block block) {
  if (deadline.isDistantFuture()) return;
  base::LockGuard lock(mutex_);
  insertLocked(deadline.uptimeNanoseconds(), Entry{{}, std::move(queue), std::move(block)},
               nullptr);
}

void TimerService::armLocked(DispatchSourceTimer& timer) {
  disarmLocked(timer);
  if (!timer.active_ || timer.deadline_ == UINT64_MAX) return;
  insertLocked(timer.deadline_, Entry{timer.weak_from_this(), nullptr, nullptr}, &timer.entryId_);
  timer.armed_ = true;
}

void TimerService::disarmLocked(DispatchSourceTimer& timer) {
  if (!timer.armed_) return;
  entries_.erase(Key{timer.deadline_, timer.entryId_});
  timer.armed_ = false;
}

void TimerService::setSchedule(DispatchSourceTimer& timer, uint64_t deadline, int64_t interval) {
  base::LockGuard lock(mutex_);
  disarmLocked(timer);
  timer.deadline_ = deadline;
  timer.interval_ = interval;
  armLocked(timer);
}

void TimerService::activate(DispatchSourceTimer& timer) {
  base::LockGuard lock(mutex_);
  if (timer.isCancelled()) return;  // a cancel raced ahead of this resume
  timer.active_ = true;
  armLocked(timer);
}

void TimerService::deactivate(DispatchSourceTimer& timer) {
  base::LockGuard lock(mutex_);
  timer.active_ = false;
  disarmLocked(timer);
}

void TimerService::collectDueLocked(uint64_t now, std::vector<Firing>& out) {
  while (!entries_.empty() && entries_.begin()->first.first <= now) {
    auto node = entries_.extract(entries_.begin());
    const uint64_t deadline = node.key().first;
    Entry& entry = node.mapped();
    if (entry.queue) {
      out.push_back(Firing{nullptr, 0, std::move(entry.queue), std::move(entry.block)});
      continue;
    }
    std::shared_ptr<DispatchSource> source = entry.timer.lock();
    if (!source) continue;
    auto timer = std::static_pointer_cast<DispatchSourceTimer>(std::move(source));
    timer->armed_ = false;
    uint64_t count = 1;
    const int64_t interval = timer->interval_;
    if (interval == INT64_MAX) {
      timer->deadline_ = UINT64_MAX;  // one shot: spent
    } else if (interval <= 0) {
      // Back to back: the source runs again after each run until rescheduled
      // or cancelled; the schedule no longer needs it.
      timer->deadline_ = UINT64_MAX;
      timer->backToBack_.store(true);
    } else {
      const uint64_t step = static_cast<uint64_t>(interval);
      const uint64_t missed = (now - deadline) / step;
      count += missed;
      uint64_t next = 0;
      if (__builtin_mul_overflow(missed + 1, step, &next) ||
          __builtin_add_overflow(deadline, next, &next) || next == UINT64_MAX) {
        timer->deadline_ = UINT64_MAX;
      } else {
        timer->deadline_ = next;
        armLocked(*timer);
      }
    }
    out.push_back(Firing{std::move(timer), count, nullptr, nullptr});
  }
}

void TimerService::deliver(std::vector<Firing>& firings) {
  for (Firing& firing : firings) {
    if (firing.timer) {
      firing.timer->fire(firing.count);
    } else {
      firing.queue->async(std::move(firing.block));
    }
  }
  firings.clear();  // timers may die here, outside the service's lock
}

void TimerService::advance(int64_t nanos) {
  std::vector<Firing> firings;
  {
    base::LockGuard lock(mutex_);
    if (nanos > 0) manualNow_ += static_cast<uint64_t>(nanos);
    collectDueLocked(manualNow_, firings);
  }
  deliver(firings);
}

std::size_t TimerService::scheduledCount() {
  base::LockGuard lock(mutex_);
  return entries_.size();
}

void TimerService::threadMain() {
  pthread_setname_np(pthread_self(), "dispatch-timers");
  // The kernel may otherwise wake this thread up to 50 us late to batch
  // wake-ups; deadlines are the point of this thread.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::vector<Firing> firings;
  base::UniqueLock lock(mutex_);
  for (;;) {
    if (entries_.empty()) {
      lock.wait(wake_);
      continue;
    }
    const uint64_t first = entries_.begin()->first.first;
    const uint64_t now = nowLocked();
    if (first > now) {
      if (first > kFarFuture) {
        lock.wait(wake_);  // beyond any real wait; an earlier entry wakes us
      } else {
        const std::chrono::steady_clock::time_point at{
            std::chrono::nanoseconds(static_cast<int64_t>(first))};
        lock.waitUntil(wake_, at);
      }
      continue;
    }
    collectDueLocked(now, firings);
    lock.unlock();
    deliver(firings);
    lock.lock();
  }
}

}  // namespace dispatch::detail
