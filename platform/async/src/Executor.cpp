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
    std::lock_guard<std::mutex> guard(mutex_);
    jobs_.push_back(std::move(job));
  }
  jobArrived_.notify_all();
}

bool ManualExecutor::runOne() {
  Job job;
  {
    std::lock_guard<std::mutex> guard(mutex_);
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
    std::unique_lock<std::mutex> lock(mutex_);
    // A short bounded wait: `done` may turn true through another thread
    // without any job being enqueued here.
    jobArrived_.wait_for(lock, std::chrono::milliseconds(10), [&] { return !jobs_.empty(); });
  }
}

std::size_t ManualExecutor::pendingCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return jobs_.size();
}

}  // namespace async
