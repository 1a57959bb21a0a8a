#include "WorkerPool.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "Current.h"
#include "base/FatalError.h"

namespace dispatch::detail {
namespace {

thread_local bool tIsPoolWorker = false;

// Upper bound on workers; jobs beyond it wait for a worker to come free.
constexpr int kMaxThreads = 512;
// How long a worker beyond the core count stays idle before it leaves.
constexpr auto kIdleTimeout = std::chrono::seconds(5);
// How often the watchdog looks at a pool that has queued work and no idle
// worker.
constexpr auto kWatchdogTick = std::chrono::milliseconds(4);

}  // namespace

WorkerPool& WorkerPool::shared() {
  // Never destroyed: detached workers may still run while the process exits.
  static WorkerPool* const pool = new WorkerPool();
  return *pool;
}

WorkerPool::WorkerPool()
    : targetRunning_(std::max(2, static_cast<int>(std::thread::hardware_concurrency()))) {
  std::thread([this] { watchdogMain(); }).detach();
}

std::size_t WorkerPool::laneOf(QoSClass qosClass) noexcept {
  switch (qosClass) {
    case QoSClass::background:
      return 0;
    case QoSClass::utility:
      return 1;
    case QoSClass::unspecified:
    case QoSClass::defaultQoS:
      return 2;
    case QoSClass::userInitiated:
      return 3;
    case QoSClass::userInteractive:
      return 4;
  }
  return 2;
}

bool WorkerPool::mayStartLocked() const {
  return threads_ - blocked_ < targetRunning_ && threads_ < kMaxThreads;
}

void WorkerPool::push(QoSClass qosClass, Job job) {
  int start = 0;
  std::shared_ptr<IdleWorker> woken;
  {
    base::LockGuard lock(mutex_);
    lanes_[laneOf(qosClass)].push_back(std::move(job));
    ++pending_;
    if (!idleWorkers_.empty()) {
      woken = std::move(idleWorkers_.back());
      idleWorkers_.pop_back();
      --idle_;
      ++signals_;
      woken->signalled = true;
    } else if (mayStartLocked()) {
      ++threads_;
      start = 1;
    } else if (!watchdogArmed_) {
      watchdogArmed_ = true;
      watchdogWake_.notify_one();
    }
  }
  // Woken after the lock is let go, so that it never wakes only to wait
  // for the lock.
  if (woken) woken->wake.notify_one();
  if (start > 0) startThreads(start);
}

bool WorkerPool::popLocked(Job& out) {
  if (pending_ == 0) return false;
  for (std::size_t lane = kLanes; lane-- > 0;) {
    if (!lanes_[lane].empty()) {
      out = std::move(lanes_[lane].front());
      lanes_[lane].pop_front();
      --pending_;
      return true;
    }
  }
  return false;
}

void WorkerPool::startThreads(int count) {
  for (int i = 0; i < count; ++i) {
    try {
      std::thread([this] { workerMain(); }).detach();
    } catch (const std::system_error&) {
      base::LockGuard lock(mutex_);
      --threads_;
      if (threads_ == 0) base::fatalError("dispatch: cannot start any worker thread");
    }
  }
}

void WorkerPool::workerMain() {
  tIsPoolWorker = true;
  pthread_setname_np(pthread_self(), "dispatch-worker");
  const auto self = std::make_shared<IdleWorker>();
  base::UniqueLock lock(mutex_);
  for (;;) {
    Job job;
    if (popLocked(job)) {
      lock.unlock();
      runJob(job);
      job = Job{};  // the block's captures die outside the lock
      lock.lock();
      ++completed_;
      continue;
    }
    ++idle_;
    self->signalled = false;
    idleWorkers_.push_back(self);
    const auto deadline = std::chrono::steady_clock::now() + kIdleTimeout;
    while (!self->signalled) {
      if (lock.waitUntil(self->wake, deadline) == std::cv_status::timeout) break;
    }
    if (self->signalled) {
      --signals_;
      continue;
    }
    std::erase(idleWorkers_, self);
    --idle_;
    if (threads_ > targetRunning_) {
      --threads_;
      return;
    }
  }
}

void WorkerPool::watchdogMain() {
  pthread_setname_np(pthread_self(), "dispatch-watch");
  base::UniqueLock lock(mutex_);
  for (;;) {
    while (!watchdogArmed_) lock.wait(watchdogWake_);
    uint64_t lastCompleted = completed_;
    int stuckTicks = 0;
    while (pending_ > 0) {
      lock.waitFor(watchdogWake_, kWatchdogTick);
      if (pending_ == 0) break;
      if (idle_ == 0 && signals_ == 0 && completed_ == lastCompleted) {
        // Every worker is busy and none finished a job for a whole tick:
        // assume they wait on each other and add workers, more the longer
        // it lasts.
        ++stuckTicks;
        const int start =
            std::min({stuckTicks, static_cast<int>(pending_), kMaxThreads - threads_});
        if (start > 0) {
          threads_ += start;
          lock.unlock();
          startThreads(start);
          lock.lock();
        }
      } else {
        stuckTicks = 0;
      }
      lastCompleted = completed_;
    }
    watchdogArmed_ = false;
  }
}

void WorkerPool::willBlock() {
  int start = 0;
  {
    base::LockGuard lock(mutex_);
    ++blocked_;
    if (pending_ > static_cast<std::size_t>(signals_) && idle_ == 0 && mayStartLocked()) {
      ++threads_;
      start = 1;
    }
  }
  if (start > 0) startThreads(start);
}

void WorkerPool::didUnblock() {
  base::LockGuard lock(mutex_);
  --blocked_;
}

int WorkerPool::threadCount() {
  base::LockGuard lock(mutex_);
  return threads_;
}

BlockingScope::BlockingScope() noexcept : active_(tIsPoolWorker) {
  if (active_) WorkerPool::shared().willBlock();
}

BlockingScope::~BlockingScope() {
  if (active_) WorkerPool::shared().didUnblock();
}

}  // namespace dispatch::detail
