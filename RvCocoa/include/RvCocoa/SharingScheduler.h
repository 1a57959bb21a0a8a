#pragma once

// The process-wide provider of the scheduler on which Driver and Signal
// deliver and run their timers. By default each read creates a new
// MainScheduler; tests swap the provider for the duration of one action:
//
//   SharingScheduler::mock(testScheduler, [&] {
//     auto driver = source | rv::asDriverOnErrorJustReturn(0);  // on testScheduler
//   });

#include <functional>
#include <type_traits>
#include <utility>

#include "RvStreams/Base.h"
#include "RvStreams/Scheduler.h"

namespace rv {

class SharingScheduler {
 public:
  using Factory = std::function<Ref<SchedulerType>()>;

  SharingScheduler() = delete;

  // The scheduler for one use: the current factory's result. With the
  // initial factory, a new MainScheduler on every call (never a shared one).
  // Any thread.
  static Ref<SchedulerType> make();

  // The current factory.
  static Factory factory();

  // Runs `action` with `makeScheduler` as the factory, then puts the previous
  // factory back, also when the action throws (the exception passes on
  // unchanged). Nested calls restore in reverse order. Swapping the factory
  // while other threads build shared sequences is outside the contract: keep
  // mock calls on one thread.
  template <class Action>
  requires std::is_invocable_v<Action&>
  static void mock(Factory makeScheduler, Action&& action) {
    Restore restore(replace(std::move(makeScheduler)));
    action();
  }

  // The same with a factory that returns `scheduler` itself on every call.
  template <class Action>
  requires std::is_invocable_v<Action&>
  static void mock(Ref<SchedulerType> scheduler, Action&& action) {
    mock(Factory([scheduler = std::move(scheduler)] { return scheduler; }), action);
  }

 private:
  // Puts `saved` back when destroyed.
  class Restore {
   public:
    explicit Restore(Ref<const Factory> saved) : saved_(std::move(saved)) {}
    Restore(const Restore&) = delete;
    Restore& operator=(const Restore&) = delete;
    ~Restore() { replace(std::move(saved_)); }

   private:
    Ref<const Factory> saved_;
  };

  // Stores `factory`, returns the one it replaces.
  static Ref<const Factory> replace(Factory factory);
  static Ref<const Factory> replace(Ref<const Factory> factory);
};

}  // namespace rv
