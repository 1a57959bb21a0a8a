#include "dispatch/MainLoop.h"

#include <chrono>
#include <condition_variable>

#include "Current.h"
#include "MainLoopAccess.h"
#include "base/FatalError.h"
#include "dispatch/DispatchQueue.h"

namespace dispatch {
namespace detail {
namespace {

std::condition_variable& mainWake() {
  static auto* const cv = new std::condition_variable();
  return *cv;
}
bool gStopRequested = false;  // guarded by the main queue's mutex
bool gLoopActive = false;     // main thread only

DispatchQueue& mainQueue() { return *DispatchQueue::main(); }

}  // namespace

void MainLoopAccess::enqueue(DispatchQueue& queue, Job job) {
  base::LockGuard lock(queue.mutex_);
  queue.items_.push_back(DispatchQueue::Item{std::move(job), nullptr});
  mainWake().notify_one();
}

bool MainLoopAccess::pop(Job& out) {
  DispatchQueue& queue = mainQueue();
  base::LockGuard lock(queue.mutex_);
  if (queue.items_.empty()) return false;
  out = std::move(queue.items_.front().job);
  queue.items_.pop_front();
  return true;
}

std::size_t MainLoopAccess::pendingCount() {
  DispatchQueue& queue = mainQueue();
  base::LockGuard lock(queue.mutex_);
  return queue.items_.size();
}

bool MainLoopAccess::waitForWork(uint64_t deadlineNanos) {
  DispatchQueue& queue = mainQueue();
  base::UniqueLock lock(queue.mutex_);
  if (deadlineNanos == 0) {
    while (!gStopRequested && queue.items_.empty()) lock.wait(mainWake());
  } else {
    const std::chrono::steady_clock::time_point deadline{std::chrono::nanoseconds(deadlineNanos)};
    while (!gStopRequested && queue.items_.empty()) {
      if (lock.waitUntil(mainWake(), deadline) == std::cv_status::timeout) break;
    }
  }
  const bool stop = gStopRequested;
  gStopRequested = false;
  return stop;
}

bool MainLoopAccess::consumeStop() {
  DispatchQueue& queue = mainQueue();
  base::LockGuard lock(queue.mutex_);
  const bool stop = gStopRequested;
  gStopRequested = false;
  return stop;
}

void MainLoopAccess::requestStop() {
  DispatchQueue& queue = mainQueue();
  base::LockGuard lock(queue.mutex_);
  gStopRequested = true;
  mainWake().notify_one();
}

}  // namespace detail

namespace {

// Checks the calling context and marks the loop active for the scope.
class LoopScope {
 public:
  explicit LoopScope(const char* operation) {
    if (!isMainThread()) {
      base::fatalError(std::string("MainLoop::") + operation +
                       " must be called on the main thread");
    }
    if (detail::gLoopActive || detail::tCurrentQueue != nullptr) {
      base::fatalError(std::string("MainLoop::") + operation +
                       " called from inside a block; the main queue runs one block at a time");
    }
    detail::gLoopActive = true;
  }
  ~LoopScope() { detail::gLoopActive = false; }
  LoopScope(const LoopScope&) = delete;
  LoopScope& operator=(const LoopScope&) = delete;
};

bool runOne() {
  detail::Job job;
  if (!detail::MainLoopAccess::pop(job)) return false;
  detail::runJob(job);
  return true;
}

}  // namespace

void MainLoop::run() {
  LoopScope scope("run");
  for (;;) {
    if (detail::MainLoopAccess::consumeStop()) return;
    if (runOne()) continue;
    if (detail::MainLoopAccess::waitForWork(0)) return;
  }
}

void MainLoop::stop() { detail::MainLoopAccess::requestStop(); }

bool MainLoop::runUntil(const std::function<bool()>& predicate, DispatchTimeInterval timeout) {
  LoopScope scope("runUntil");
  const DispatchTime deadline = DispatchTime::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (detail::MainLoopAccess::consumeStop()) return predicate();
    if (runOne()) continue;
    const DispatchTime now = DispatchTime::now();
    if (now >= deadline) return predicate();
    // Wake at least once a millisecond to look at the predicate again.
    const DispatchTime slice = std::min(deadline, now + DispatchTimeInterval::milliseconds(1));
    if (detail::MainLoopAccess::waitForWork(slice.uptimeNanoseconds())) return predicate();
  }
}

std::size_t MainLoop::drainPending() {
  LoopScope scope("drainPending");
  std::size_t pending = detail::MainLoopAccess::pendingCount();
  std::size_t ran = 0;
  while (ran < pending && runOne()) ++ran;
  return ran;
}

}  // namespace dispatch
