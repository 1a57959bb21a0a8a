#include "RvStreams/MainScheduler.h"

#include <dispatch/DispatchQueue.h>

#include <utility>

#include "RvStreams/Disposables.h"

namespace rv {
namespace {

using dispatch::DispatchQueue;

struct MainQueueMarker {};

// The key only the main queue carries; made and attached on first use.
const dispatch::DispatchSpecificKey<MainQueueMarker>& mainQueueKey() {
  static const dispatch::DispatchSpecificKey<MainQueueMarker> key = [] {
    dispatch::DispatchSpecificKey<MainQueueMarker> made;
    DispatchQueue::main()->setSpecific(made, MainQueueMarker{});
    return made;
  }();
  return key;
}

// Submits `action` to the main queue; `cancel` keeps it from running once
// disposed and receives its result.
Ref<SingleAssignmentDisposable> submitToMain(ScheduledAction action,
                                             UniqueFunction<void()> afterwards = nullptr) {
  auto cancel = SingleAssignmentDisposable::create();
  auto shared = std::make_shared<ScheduledAction>(std::move(action));
  auto after = std::make_shared<UniqueFunction<void()>>(std::move(afterwards));
  DispatchQueue::main()->async([cancel, shared, after] {
    struct Afterwards {
      UniqueFunction<void()>& run;
      ~Afterwards() {
        if (run) run();
      }
    } afterwards{*after};
    if (!cancel->isDisposed()) cancel->setDisposable((*shared)());
  });
  return cancel;
}

}  // namespace

bool isMainQueue() noexcept { return DispatchQueue::getSpecific(mainQueueKey()).has_value(); }

Ref<MainScheduler> MainScheduler::create() { return std::make_shared<MainScheduler>(PrivateTag{}); }

MainScheduler::MainScheduler(PrivateTag tag)
    : SerialDispatchQueueScheduler(tag, DispatchQueue::main(),
                                   DispatchTimeInterval::nanoseconds(0)) {}

const Ref<MainScheduler>& MainScheduler::instance() {
  static const Ref<MainScheduler>* shared = new Ref<MainScheduler>(create());
  return *shared;
}

const Ref<SerialDispatchQueueScheduler>& MainScheduler::asyncInstance() {
  static const Ref<SerialDispatchQueueScheduler>* shared =
      new Ref<SerialDispatchQueueScheduler>(SerialDispatchQueueScheduler::create(
          DispatchQueue::main(), DispatchTimeInterval::nanoseconds(0)));
  return *shared;
}

void MainScheduler::ensureExecutingOnScheduler(std::optional<std::string> errorMessage,
                                               const char* file, int line) noexcept {
  if (isMainQueue()) return;
  fatalError(errorMessage.value_or("Executing on background thread. Please use "
                                   "`MainScheduler.instance.schedule` to schedule work on main "
                                   "thread."),
             file, line);
}

void MainScheduler::ensureRunningOnMainThread(std::optional<std::string> errorMessage,
                                              const char* file, int line) noexcept {
  if (dispatch::isMainThread()) return;
  fatalError(errorMessage.value_or("Running on background thread."), file, line);
}

Ref<Disposable> MainScheduler::scheduleInternal(ScheduledAction action) {
  // The value before the increment decides, so two callers on the main queue
  // can never both see an idle scheduler.
  const int32_t previous = numberEnqueued_.increment();
  if (isMainQueue() && previous == 0) {
    struct Decrement {
      AtomicInt& counter;
      ~Decrement() { counter.decrement(); }
    } decrement{numberEnqueued_};
    return action();
  }
  // The queued block keeps the scheduler (and so its counter) alive, and
  // counts down in every case, also when the action was disposed unrun.
  auto self = std::static_pointer_cast<MainScheduler>(selfReference());
  return submitToMain(std::move(action), [self] { self->numberEnqueued_.decrement(); });
}

const Ref<ConcurrentMainScheduler>& ConcurrentMainScheduler::instance() {
  static const Ref<ConcurrentMainScheduler>* shared = new Ref<ConcurrentMainScheduler>(
      std::make_shared<ConcurrentMainScheduler>(PrivateTag{}, MainScheduler::instance()));
  return *shared;
}

ConcurrentMainScheduler::ConcurrentMainScheduler(PrivateTag, Ref<MainScheduler> mainScheduler)
    : mainScheduler_(std::move(mainScheduler)) {}

Date ConcurrentMainScheduler::now() const { return Date::now(); }

Ref<Disposable> ConcurrentMainScheduler::scheduleAction(ScheduledAction action) {
  if (isMainQueue()) return action();
  return submitToMain(std::move(action));
}

Ref<Disposable> ConcurrentMainScheduler::scheduleRelativeAction(DispatchTimeInterval dueTime,
                                                                ScheduledAction action) {
  return mainScheduler_->scheduleRelativeAction(dueTime, std::move(action));
}

Ref<Disposable> ConcurrentMainScheduler::schedulePeriodicAction(DispatchTimeInterval startAfter,
                                                                DispatchTimeInterval period,
                                                                UniqueFunction<void()> tick) {
  return mainScheduler_->schedulePeriodicAction(startAfter, period, std::move(tick));
}

}  // namespace rv
