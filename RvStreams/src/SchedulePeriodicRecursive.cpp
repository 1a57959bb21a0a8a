#include "RvStreams/SchedulePeriodicRecursive.h"

#include <utility>

namespace rv {

Ref<SchedulePeriodicRecursive> SchedulePeriodicRecursive::create(Ref<SchedulerType> scheduler,
                                                                 DispatchTimeInterval startAfter,
                                                                 DispatchTimeInterval period,
                                                                 UniqueFunction<void()> action) {
  return std::make_shared<SchedulePeriodicRecursive>(std::move(scheduler), startAfter, period,
                                                     std::move(action));
}

SchedulePeriodicRecursive::SchedulePeriodicRecursive(Ref<SchedulerType> scheduler,
                                                     DispatchTimeInterval startAfter,
                                                     DispatchTimeInterval period,
                                                     UniqueFunction<void()> action)
    : scheduler_(std::move(scheduler)),
      startAfter_(startAfter),
      period_(period),
      action_(std::move(action)) {}

Ref<Disposable> SchedulePeriodicRecursive::start() {
  return scheduler_->scheduleRecursive(
      Command::tick, startAfter_,
      [self = shared_from_this()](Command command, AnyRecursiveScheduler<Command>& scheduler) {
        self->tick(command, scheduler);
      });
}

void SchedulePeriodicRecursive::tick(Command command, AnyRecursiveScheduler<Command>& scheduler) {
  switch (command) {
    case Command::tick:
      // The next tick is scheduled before the action runs, so the action's
      // own duration does not shift the tick times. A `never` period has no
      // next tick: rescheduling at the distant future would only spin a
      // virtual clock that is run to completion.
      if (!period_.isNever()) scheduler.schedule(Command::tick, period_);
      if (pendingTickCount_.increment() == 0) tick(Command::dispatchStart, scheduler);
      break;
    case Command::dispatchStart:
      action_();
      // Ticks that came in meanwhile each get one run, one after another.
      if (pendingTickCount_.decrement() > 1) scheduler.schedule(Command::dispatchStart);
      break;
  }
}

Ref<Disposable> SchedulerType::schedulePeriodicAction(DispatchTimeInterval startAfter,
                                                      DispatchTimeInterval period,
                                                      UniqueFunction<void()> tick) {
  return SchedulePeriodicRecursive::create(std::static_pointer_cast<SchedulerType>(selfReference()),
                                           startAfter, period, std::move(tick))
      ->start();
}

}  // namespace rv
