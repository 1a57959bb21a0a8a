#pragma once

// Where the jobs of tasks run. Every resumption of a task is a job handed to
// the task's executor: a task never continues on the stack of the thread that
// woke it.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>

#include "base/Mutex.h"

namespace async {

// A unit of work of a task: starting it, or continuing it after a suspension.
using Job = std::function<void()>;

class Executor {
 public:
  virtual ~Executor() = default;

  // Runs `job` later, never on the caller's stack. Any thread may call it.
  virtual void enqueue(Job job) = 0;
};

// The process-wide executor: jobs run on the default-QoS global queue of
// platform/dispatch, several at a time. Lives for the whole process.
Executor& globalExecutor();

// An executor that runs nothing by itself: jobs wait until a thread runs them
// with `runOne`, `runUntilIdle` or `runUntil`, in the order they were
// enqueued. Tests use it to decide exactly when each step of a task happens.
// `enqueue` may be called from any thread; the `run` members from one thread
// at a time. Jobs still pending when it is destroyed are run first, so that
// the tasks they belong to are not leaked half-way.
class ManualExecutor final : public Executor {
 public:
  ManualExecutor() = default;
  ~ManualExecutor() override;
  ManualExecutor(const ManualExecutor&) = delete;
  ManualExecutor& operator=(const ManualExecutor&) = delete;

  void enqueue(Job job) override;

  // Runs the oldest pending job; false when there was none.
  bool runOne();

  // Runs jobs, those they enqueue included, until none is pending. Returns
  // how many ran.
  std::size_t runUntilIdle();

  // Runs jobs until `done()` is true, waiting for other threads to enqueue
  // more while none is pending. `done` is checked before each job and after
  // each wake-up.
  void runUntil(const std::function<bool()>& done);

  std::size_t pendingCount() const;

 private:
  mutable base::Mutex mutex_;
  std::condition_variable jobArrived_;
  std::deque<Job> jobs_ KX_GUARDED_BY(mutex_);
};

}  // namespace async
