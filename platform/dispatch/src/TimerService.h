#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "base/Mutex.h"
#include "base/ThreadSafety.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/DispatchSource.h"

namespace dispatch::detail {

// The schedule behind `asyncAfter` and timer sources: entries ordered by
// deadline on the monotonic clock. The shared service has one thread that
// sleeps until the earliest deadline; a manual service (for tests) has no
// thread and fires what is due when `advance` moves its clock.
class TimerService {
 public:
  static const std::shared_ptr<TimerService>& shared();
  static std::shared_ptr<TimerService> makeManual(uint64_t startNanos = 1'000'000'000);

  ~TimerService();
  TimerService(const TimerService&) = delete;
  TimerService& operator=(const TimerService&) = delete;

  uint64_t now() const;

  // Submits `block` to `queue` at `deadline`; distant future drops it.
  void submitAt(DispatchTime deadline, std::shared_ptr<DispatchQueue> queue, Block block);

  // Timer sources (see DispatchSourceTimer).
  void setSchedule(DispatchSourceTimer& timer, uint64_t deadline, int64_t interval);
  void activate(DispatchSourceTimer& timer);
  void deactivate(DispatchSourceTimer& timer);

  // Manual service only: moves the clock forward and delivers every firing
  // due, on the calling thread.
  void advance(int64_t nanos);

  // Entries waiting (for tests).
  std::size_t scheduledCount();

 private:
  explicit TimerService(bool manual, uint64_t startNanos);

  struct Entry {
    std::weak_ptr<DispatchSource> timer;  // a timer source, or:
    std::shared_ptr<DispatchQueue> queue;
    Block block;
  };
  struct Firing {
    std::shared_ptr<DispatchSourceTimer> timer;
    uint64_t count = 0;
    std::shared_ptr<DispatchQueue> queue;
    Block block;
  };
  using Key = std::pair<uint64_t, uint64_t>;  // deadline, sequence

  uint64_t nowLocked() const KX_REQUIRES(mutex_);
  void insertLocked(uint64_t deadline, Entry entry, uint64_t* idOut) KX_REQUIRES(mutex_);
  void armLocked(DispatchSourceTimer& timer) KX_REQUIRES(mutex_);
  void disarmLocked(DispatchSourceTimer& timer) KX_REQUIRES(mutex_);
  void collectDueLocked(uint64_t now, std::vector<Firing>& out) KX_REQUIRES(mutex_);
  static void deliver(std::vector<Firing>& firings);
  void threadMain();

  const bool manual_;
  mutable base::Mutex mutex_;
  std::condition_variable wake_;
  std::map<Key, Entry> entries_ KX_GUARDED_BY(mutex_);
  uint64_t nextSequence_ KX_GUARDED_BY(mutex_) = 1;
  uint64_t manualNow_ KX_GUARDED_BY(mutex_);
};

}  // namespace dispatch::detail
