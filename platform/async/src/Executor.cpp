#include "async/Executor.h"

#include <utility>

#include "dispatch/DispatchQueue.h"

namespace async {

namespace {

class GlobalExecutor final : public Executor {
 public:
  void enqueue(Job job) override { dispatch::DispatchQueue::global()->async(std::move(job)); }
};

}  // namespace

Executor& globalExecutor() {
  // Never destroyed: jobs may still be enqueued while the process exits.
  static GlobalExecutor* executor = new GlobalExecutor();
  return *executor;
}

ManualExecutor::~ManualExecutor() { runUntilIdle(); }

void ManualExecutor::enqueue(Job job) {
  {
    base::LockGuard guard(mutex_);
    jobs_.push_back(std::move(job));
  }
  jobArrived_.notify_all();
}

bool ManualExecutor::runOne() {
  Job job;
  {
    base::LockGuard guard(mutex_);
    if (jobs_.empty()) return false;
    job = std::move(jobs_.front());
    jobs_.pop_front();
  }
  job();
  return true;
}

std::size_t ManualExecutor::runUntilIdle() {
  std::size_t count = 0;
  while (runOne()) ++count;
  return count;
}

void ManualExecutor::runUntil(const std::function<bool()>& done) {
  while (!done()) {
    if (runOne()) continue;
    base::LockGuard lock(mutex_);
    // A short bounded wait: `done` may turn true through another thread
    // without any job being enqueued here.
    (void)mutex_.waitUntil(jobArrived_,
                           std::chrono::steady_clock::now() + std::chrono::milliseconds(10),
                           [this]() KX_REQUIRES(mutex_) { return !jobs_.empty(); });
  }
}

std::size_t ManualExecutor::pendingCount() const {
  base::LockGuard guard(mutex_);
  return jobs_.size();
}

}  // namespace async
