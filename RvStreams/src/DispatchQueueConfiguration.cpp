#include "RvStreams/DispatchQueueConfiguration.h"

#include <dispatch/DispatchSource.h>

#include <utility>

#include "RvStreams/CompositeDisposable.h"
#include "RvStreams/Disposables.h"

namespace rv {
namespace {

// Cancels the timer and lets it go, once. The timer source holds its handler
// and the handler holds this disposable: disposing it (by the handler after a
// one-shot run, or by the owner) is what breaks that cycle.
Ref<Cancelable> makeCancelTimer(std::shared_ptr<dispatch::DispatchSourceTimer> timer) {
  return Disposables::create([timer = std::move(timer)]() mutable {
    if (timer) timer->cancel();
    timer.reset();
  });
}

}  // namespace

Ref<Disposable> DispatchQueueConfiguration::schedule(ScheduledAction action) const {
  auto cancel = SingleAssignmentDisposable::create();
  // Queue blocks are copyable; the move-only action travels behind a pointer.
  auto shared = std::make_shared<ScheduledAction>(std::move(action));
  queue->async([cancel, shared] {
    if (cancel->isDisposed()) return;
    cancel->setDisposable((*shared)());
  });
  return cancel;
}

Ref<Disposable> DispatchQueueConfiguration::scheduleRelative(DispatchTimeInterval dueTime,
                                                             ScheduledAction action) const {
  const dispatch::DispatchTime deadline = dispatch::DispatchTime::now() + dueTime;
  auto composite = CompositeDisposable::create();
  auto timer = dispatch::DispatchSource::makeTimerSource(queue);
  timer->schedule(deadline, DispatchTimeInterval::never(), leeway);
  Ref<Cancelable> cancelTimer = makeCancelTimer(timer);
  auto shared = std::make_shared<ScheduledAction>(std::move(action));
  timer->setEventHandler([composite, cancelTimer, shared] {
    if (composite->isDisposed()) return;
    composite->insert((*shared)());
    cancelTimer->dispose();
  });
  timer->resume();
  composite->insert(cancelTimer);
  return composite;
}

Ref<Disposable> DispatchQueueConfiguration::schedulePeriodic(DispatchTimeInterval startAfter,
                                                             DispatchTimeInterval period,
                                                             UniqueFunction<void()> tick) const {
  const dispatch::DispatchTime initial = dispatch::DispatchTime::now() + startAfter;
  auto timer = dispatch::DispatchSource::makeTimerSource(queue);
  timer->schedule(initial, period, leeway);
  Ref<Cancelable> cancelTimer = makeCancelTimer(timer);
  auto shared = std::make_shared<UniqueFunction<void()>>(std::move(tick));
  timer->setEventHandler([cancelTimer, shared] {
    if (cancelTimer->isDisposed()) return;
    (*shared)();
  });
  timer->resume();
  return cancelTimer;
}

}  // namespace rv
