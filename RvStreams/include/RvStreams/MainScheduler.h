#pragma once

// The schedulers that deliver work to the main queue, which only the main loop
// drains (see dispatch/MainLoop.h), and the checks that stop the process when
// code that must run there does not.

#include <optional>
#include <string>

#include "RvStreams/AtomicInt.h"
#include "RvStreams/SerialDispatchQueueScheduler.h"

namespace rv {

// True when the caller runs on the main queue: a block of the main queue or of
// a queue that targets it, or the main thread outside any block. It is a
// question about the queue, not the thread.
bool isMainQueue() noexcept;

// A serial dispatch-queue scheduler on the main queue that runs an immediate
// action inline when that keeps order: on the main queue with no other action
// of the same scheduler waiting or running. Otherwise the action goes to the
// main queue behind the others, so actions of one MainScheduler start in the
// order they were scheduled. Timed and periodic work use main-queue timers.
class MainScheduler final : public SerialDispatchQueueScheduler {
 public:
  // A new scheduler with its own count of actions in flight.
  static Ref<MainScheduler> create();

  // The shared scheduler, made on first use and never released.
  static const Ref<MainScheduler>& instance();

  // A plain serial scheduler over the main queue that never runs work inline;
  // made on first use and never released.
  static const Ref<SerialDispatchQueueScheduler>& asyncInstance();

  // Returns when the caller is on the main queue (`isMainQueue`); otherwise
  // stops the process with `errorMessage`, or without one with "Executing on
  // background thread. Please use `MainScheduler.instance.schedule` to
  // schedule work on main thread.".
  static void ensureExecutingOnScheduler(std::optional<std::string> errorMessage = std::nullopt,
                                         const char* file = __builtin_FILE(),
                                         int line = __builtin_LINE()) noexcept;

  // Returns when the calling thread is the main thread; otherwise stops the
  // process with `errorMessage`, or without one with "Running on background
  // thread.". For the entry of main-thread-only binding operations.
  static void ensureRunningOnMainThread(std::optional<std::string> errorMessage = std::nullopt,
                                        const char* file = __builtin_FILE(),
                                        int line = __builtin_LINE()) noexcept;

  // Public only for std::make_shared; use `create`.
  explicit MainScheduler(PrivateTag tag);

 protected:
  // SerialDispatchQueueScheduler:
  Ref<Disposable> scheduleInternal(ScheduledAction action) override;

 private:
  // Actions of this scheduler scheduled and not yet finished, inline or queued.
  AtomicInt numberEnqueued_;
};

// Runs an immediate action inline whenever the caller is on the main queue,
// even ahead of work already queued there; otherwise on the main queue. Timed
// and periodic work go to `mainScheduler`. Any thread.
class ConcurrentMainScheduler final : public SchedulerType {
  struct PrivateTag {};

 public:
  // The shared scheduler (over `MainScheduler::instance()`), made on first use
  // and never released.
  static const Ref<ConcurrentMainScheduler>& instance();

  // Public only for std::make_shared; use `instance`.
  ConcurrentMainScheduler(PrivateTag, Ref<MainScheduler> mainScheduler);

  // SchedulerType:
  // The wall-clock time at each call.
  Date now() const override;
  Ref<Disposable> scheduleAction(ScheduledAction action) override;
  Ref<Disposable> scheduleRelativeAction(DispatchTimeInterval dueTime,
                                         ScheduledAction action) override;
  Ref<Disposable> schedulePeriodicAction(DispatchTimeInterval startAfter,
                                         DispatchTimeInterval period,
                                         UniqueFunction<void()> tick) override;

 private:
  const Ref<MainScheduler> mainScheduler_;
};

}  // namespace rv
