#pragma once

// A scheduler whose clock does not follow the wall clock: scheduled work waits
// in a priority queue ordered by virtual due time (then by scheduling order)
// and runs only when the owner starts the scheduler or advances its clock, on
// the owner's stack. Time-based pipelines run on it deterministically and at
// once: it is how time operators are tested.
//
// Single-threaded by contract and without a lock: scheduling, `start`,
// `advanceTo`, `sleep` and `stop` must be called on the main queue (see
// `isMainQueue`); elsewhere they stop the process. Disposing scheduled work is
// safe from any thread.
//
// Pending recursive and periodic chains hold their scheduler: dispose them
// before letting a scheduler go.

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "RvStreams/CompositeDisposable.h"
#include "RvStreams/Describe.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/MainScheduler.h"
#include "RvStreams/PriorityQueue.h"
#include "RvStreams/Scheduler.h"
#include "RvStreams/SchedulerTime.h"

namespace rv {

// The result of comparing two virtual times, left against right.
enum class VirtualTimeComparison { lessThan, equal, greaterThan };

// Defines a virtual clock: its time and interval types and how they relate to
// dates and seconds.
template <class C>
concept VirtualTimeConverterType = std::copy_constructible<C> &&
    requires(const C& converter, const typename C::VirtualTimeUnit& time,
             const typename C::VirtualTimeIntervalUnit& interval, Date date, double seconds) {
  { converter.convertFromVirtualTime(time) } -> std::same_as<Date>;
  { converter.convertToVirtualTime(date) } -> std::same_as<typename C::VirtualTimeUnit>;
  { converter.convertFromVirtualTimeInterval(interval) } -> std::same_as<double>;
  {
    converter.convertToVirtualTimeInterval(seconds)
    } -> std::same_as<typename C::VirtualTimeIntervalUnit>;
  { converter.offsetVirtualTime(time, interval) } -> std::same_as<typename C::VirtualTimeUnit>;
  { converter.compareVirtualTime(time, time) } -> std::same_as<VirtualTimeComparison>;
};

namespace detail {
// A date as "2001-01-01 00:00:00 +0000" (UTC).
std::string describeDate(Date date);

template <class T>
std::string describeVirtualTime(const T& time) {
  if constexpr (std::is_same_v<T, Date>) {
    return describeDate(time);
  } else {
    return describe(time);
  }
}
}  // namespace detail

// One piece of work waiting on a virtual-time scheduler.
template <class VirtualTime>
class VirtualSchedulerItem final : public Cancelable {
 public:
  VirtualSchedulerItem(ScheduledAction action, VirtualTime time, int64_t id)
      : time(std::move(time)), id(id), action_(std::move(action)) {}

  // Runs the action (once) and keeps its result for disposal.
  void invoke() noexcept {
    ScheduledAction action;
    {
      base::LockGuard guard(mutex_);
      action = std::move(action_);
      action_ = nullptr;
    }
    if (action) disposable_->setDisposable(action());
  }

  // Makes the item dead, or disposes the action's result when it already ran.
  // The action is let go at once: a dead item may wait in the queue for a
  // long time, and what its action holds must not wait with it.
  void dispose() noexcept override {
    disposable_->dispose();
    ScheduledAction released;
    {
      base::LockGuard guard(mutex_);
      released = std::move(action_);
      action_ = nullptr;
    }
  }

  bool isDisposed() const noexcept override { return disposable_->isDisposed(); }

  // The textual form of the due time.
  std::string debugDescription() const { return detail::describeVirtualTime(time); }

  const VirtualTime time;
  // The scheduler's sequence number at scheduling: orders items due together.
  const int64_t id;

 private:
  base::Mutex mutex_;
  ScheduledAction action_ KX_GUARDED_BY(mutex_);
  const Ref<SingleAssignmentDisposable> disposable_ = SingleAssignmentDisposable::create();
};

template <VirtualTimeConverterType Converter>
class VirtualTimeScheduler : public SchedulerType {
 public:
  using VirtualTime = typename Converter::VirtualTimeUnit;
  using VirtualTimeInterval = typename Converter::VirtualTimeIntervalUnit;
  using Item = VirtualSchedulerItem<VirtualTime>;

  static Ref<VirtualTimeScheduler> create(VirtualTime initialClock, Converter converter) {
    return std::make_shared<VirtualTimeScheduler>(std::move(initialClock), std::move(converter));
  }

  // Use `create` (or a subclass's); public for std::make_shared.
  VirtualTimeScheduler(VirtualTime initialClock, Converter converter)
      : currentClock_(std::move(initialClock)),
        converter_(std::move(converter)),
        schedulerQueue_(
            [converter = converter_](const Ref<Item>& a, const Ref<Item>& b) {
              switch (converter.compareVirtualTime(a->time, b->time)) {
                case VirtualTimeComparison::lessThan:
                  return true;
                case VirtualTimeComparison::greaterThan:
                  return false;
                case VirtualTimeComparison::equal:
                  break;
              }
              return a->id < b->id;
            },
            [](const Ref<Item>& a, const Ref<Item>& b) { return a == b; }) {}

  // The virtual clock.
  virtual VirtualTime clock() const { return currentClock_; }

  const Converter& converter() const noexcept { return converter_; }

  // SchedulerType:
  // The clock as a date.
  Date now() const override { return converter_.convertFromVirtualTime(clock()); }
  // Due now: after the items already due at the current time.
  Ref<Disposable> scheduleAction(ScheduledAction action) override {
    return scheduleRelativeAction(DispatchTimeInterval::microseconds(0), std::move(action));
  }
  // Due at `now` plus `dueTime` (a `never` due time gives the distant future),
  // converted to virtual time and passed through `adjustScheduledTime`.
  Ref<Disposable> scheduleRelativeAction(DispatchTimeInterval dueTime,
                                         ScheduledAction action) override {
    const Date time = addingDispatchInterval(now(), dueTime);
    return scheduleAbsoluteVirtualAction(adjustScheduledTime(converter_.convertToVirtualTime(time)),
                                         std::move(action));
  }

  // Due `dueTime` (virtual) after the clock.
  virtual Ref<Disposable> scheduleRelativeVirtualAction(VirtualTimeInterval dueTime,
                                                        ScheduledAction action) {
    return scheduleAbsoluteVirtualAction(converter_.offsetVirtualTime(clock(), dueTime),
                                         std::move(action));
  }

  // Due at `time`; a time before the clock is accepted and simply comes first.
  // Disposing the result makes the item dead (or disposes the action's result
  // when it already ran).
  virtual Ref<Disposable> scheduleAbsoluteVirtualAction(VirtualTime time, ScheduledAction action) {
    MainScheduler::ensureExecutingOnScheduler();
    auto compositeDisposable = CompositeDisposable::create();
    auto item = std::make_shared<Item>(std::move(action), std::move(time), nextId_);
    if (__builtin_add_overflow(nextId_, 1, &nextId_)) fatalError("Arithmetic overflow");
    schedulerQueue_.enqueue(item);
    compositeDisposable->insert(item);
    return compositeDisposable;
  }

  template <class State, class Action>
  Ref<Disposable> scheduleRelativeVirtual(State state, VirtualTimeInterval dueTime, Action action) {
    return scheduleRelativeVirtualAction(std::move(dueTime),
                                         bind(std::move(state), std::move(action)));
  }

  // The due time an item scheduled relative to now really gets; unchanged
  // here, subclasses may move it.
  virtual VirtualTime adjustScheduledTime(VirtualTime time) const { return time; }

  // Runs every live item in due order, moving the clock forward to each one's
  // time, until none is left or `stop` is called; items scheduled meanwhile
  // join the same run. Called while running (from inside an action), returns
  // at once.
  virtual void start() {
    MainScheduler::ensureExecutingOnScheduler();
    if (running_) return;
    running_ = true;
    while (running_) {
      Ref<Item> next = findNext();
      if (!next) break;
      if (compare(next->time, currentClock_) == VirtualTimeComparison::greaterThan) {
        currentClock_ = next->time;
      }
      next->invoke();
      schedulerQueue_.remove(next);
    }
    running_ = false;
  }

  // The first live item of the queue, dropping dead ones found ahead of it;
  // null when none is left. The item stays queued.
  virtual Ref<Item> findNext() {
    while (std::optional<Ref<Item>> head = schedulerQueue_.peek()) {
      if (!(*head)->isDisposed()) return *head;
      schedulerQueue_.remove(*head);
    }
    return nullptr;
  }

  // Runs the live items due at or before `target` as `start` does, then sets
  // the clock to `target`, also when that lies before the clock. Called while
  // running (from inside an action) it stops the process.
  virtual void advanceTo(VirtualTime target) {
    MainScheduler::ensureExecutingOnScheduler();
    if (running_) fatalError("Scheduler is already running");
    running_ = true;
    while (running_) {
      Ref<Item> next = findNext();
      if (!next) break;
      if (compare(next->time, target) == VirtualTimeComparison::greaterThan) break;
      if (compare(next->time, currentClock_) == VirtualTimeComparison::greaterThan) {
        currentClock_ = next->time;
      }
      next->invoke();
      schedulerQueue_.remove(next);
    }
    currentClock_ = std::move(target);
    running_ = false;
  }

  // Moves the clock forward by `interval` without running anything; items
  // that fall due meanwhile run at the next `start` or `advanceTo`. A negative
  // interval stops the process.
  virtual void sleep(VirtualTimeInterval interval) {
    MainScheduler::ensureExecutingOnScheduler();
    VirtualTime sleepTo = converter_.offsetVirtualTime(clock(), interval);
    if (compare(sleepTo, clock()) == VirtualTimeComparison::lessThan) {
      fatalError("Can't sleep to past.");
    }
    currentClock_ = std::move(sleepTo);
  }

  // Ends a `start` or `advanceTo` in progress after the item being run.
  virtual void stop() {
    MainScheduler::ensureExecutingOnScheduler();
    running_ = false;
  }

  // The queued items' due times, in the queue's internal order.
  std::string debugDescription() const {
    std::string out = "[";
    bool first = true;
    for (const Ref<Item>& item : schedulerQueue_.elements()) {
      if (!first) out += ", ";
      first = false;
      out += item->debugDescription();
    }
    return out + "]";
  }

 private:
  VirtualTimeComparison compare(const VirtualTime& a, const VirtualTime& b) const {
    return converter_.compareVirtualTime(a, b);
  }

  template <class State, class Action>
  static ScheduledAction bind(State state, Action action) {
    return [state = std::move(state), action = std::move(action)]() mutable -> Ref<Disposable> {
      return action(std::move(state));
    };
  }

  bool running_ = false;
  VirtualTime currentClock_;
  const Converter converter_;
  PriorityQueue<Ref<Item>> schedulerQueue_;
  int64_t nextId_ = 0;
};

}  // namespace rv
