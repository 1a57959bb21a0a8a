#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "base/Mutex.h"
#include "base/ThreadSafety.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/QoS.h"

namespace dispatch::detail {

// The threads behind the global queues. Jobs wait in one lane per
// quality-of-service class; a worker takes the oldest job of the highest
// non-empty lane. The pool keeps about one running worker per core and starts
// more when workers block: at once when they block in this layer's own waits
// (semaphores, sync, once-tokens, operation-queue waits), and from a watchdog
// when queued jobs make no progress for a few milliseconds (a block waiting
// on anything else). Idle workers beyond the core count leave after a while.
// Work goes to the worker that became idle last, whose caches still hold what
// it ran: a serial queue fed in bursts keeps running on one thread instead of
// moving round every idle worker, and the workers idle longest are the ones
// that leave. Lives for the whole process.
class WorkerPool {
 public:
  static WorkerPool& shared();

  // Queues a job; never runs it on the calling thread.
  void push(QoSClass qosClass, Job job);

  // Called by `BlockingScope` on pool workers.
  void willBlock();
  void didUnblock();

  // Counters for tests and benchmarks.
  int threadCount();

 private:
  WorkerPool();
  static constexpr std::size_t kLanes = 5;
  static std::size_t laneOf(QoSClass qosClass) noexcept;

  bool popLocked(Job& out) KX_REQUIRES(mutex_);
  bool mayStartLocked() const KX_REQUIRES(mutex_);
  void startThreads(int count);
  void workerMain();
  void watchdogMain();

  // A worker waiting for work, on its own condition so that it can be woken
  // alone.
  struct IdleWorker {
    std::condition_variable wake;
    bool signalled = false;  // guarded by the pool's mutex_
  };

  base::Mutex mutex_;
  // Idle workers, the one idle last at the back. Shared, so that a worker
  // may be woken after the lock is let go even if it has left meanwhile.
  std::vector<std::shared_ptr<IdleWorker>> idleWorkers_ KX_GUARDED_BY(mutex_);
  std::condition_variable watchdogWake_;
  std::array<std::deque<Job>, kLanes> lanes_ KX_GUARDED_BY(mutex_);
  std::size_t pending_ KX_GUARDED_BY(mutex_) = 0;
  int threads_ KX_GUARDED_BY(mutex_) = 0;  // started and not yet left
  int idle_ KX_GUARDED_BY(mutex_) = 0;     // waiting for work, not yet signalled
  int signals_ KX_GUARDED_BY(mutex_) = 0;  // wake-ups handed to idle workers, not yet taken
  int blocked_ KX_GUARDED_BY(mutex_) = 0;  // running a block that waits in a BlockingScope
  uint64_t completed_ KX_GUARDED_BY(mutex_) = 0;
  bool watchdogArmed_ KX_GUARDED_BY(mutex_) = false;
  const int targetRunning_;
};

}  // namespace dispatch::detail
