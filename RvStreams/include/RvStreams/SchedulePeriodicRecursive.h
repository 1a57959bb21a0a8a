#pragma once

// A periodic timer emulated by timed recursive scheduling, for schedulers
// without a repeating timer of their own (the virtual-time schedulers): each
// tick schedules the next one a period later and then runs the periodic
// action. A counter of pending ticks makes sure that ticks arriving while the
// action is still busy are not lost: they run back to back afterwards, never
// at the same time as each other.

#include <memory>

#include "RvStreams/AtomicInt.h"
#include "RvStreams/Scheduler.h"
#include "RvStreams/UniqueFunction.h"

namespace rv {

class SchedulePeriodicRecursive final
    : public std::enable_shared_from_this<SchedulePeriodicRecursive> {
 public:
  enum class Command { tick, dispatchStart };

  // `action` runs the periodic work once; it carries its own state from run
  // to run.
  static Ref<SchedulePeriodicRecursive> create(Ref<SchedulerType> scheduler,
                                               DispatchTimeInterval startAfter,
                                               DispatchTimeInterval period,
                                               UniqueFunction<void()> action);

  SchedulePeriodicRecursive(Ref<SchedulerType> scheduler, DispatchTimeInterval startAfter,
                            DispatchTimeInterval period, UniqueFunction<void()> action);

  // Schedules the first tick `startAfter` from now. Disposing the result stops
  // the emulation; the recursive chain keeps this object alive until then.
  Ref<Disposable> start();

 private:
  void tick(Command command, AnyRecursiveScheduler<Command>& scheduler);

  const Ref<SchedulerType> scheduler_;
  const DispatchTimeInterval startAfter_;
  const DispatchTimeInterval period_;
  // Run only by dispatchStart handling, of which at most one is in progress.
  UniqueFunction<void()> action_;
  // Ticks whose action run has not finished.
  AtomicInt pendingTickCount_;
};

}  // namespace rv
