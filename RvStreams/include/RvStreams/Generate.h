#pragma once

// `generate` runs a state machine: starting from `initialState`, it emits
// the state while `condition` holds, advancing it with `iterate` between
// elements, then completes. One element per scheduled action: each step
// schedules the next by recursive scheduling, so a long sequence never
// deepens the stack and other work on the scheduler runs between elements.
// A throwing `condition` or `iterate` ends the sequence with its error.

#include <type_traits>
#include <utility>

#include "RvStreams/Producer.h"
#include "RvStreams/RecursiveScheduler.h"
#include "RvStreams/Scheduler.h"

namespace rv {

namespace detail {

template <class S, class R, class Condition, class Iterate, class ResultSelector>
class GenerateSink final
    : public Sink<R>,
      public std::enable_shared_from_this<GenerateSink<S, R, Condition, Iterate, ResultSelector>> {
  using Recurse = typename RecursiveImmediateScheduler<bool>::Recurse;

 public:
  GenerateSink(Ref<ObserverType<R>> observer, Ref<Cancelable> cancel, S initialState,
               Condition condition, Iterate iterate, ResultSelector resultSelector)
      : Sink<R>(std::move(observer), std::move(cancel)),
        condition_(std::move(condition)),
        iterate_(std::move(iterate)),
        resultSelector_(std::move(resultSelector)),
        state_(std::move(initialState)) {}

  // The recursion state tells whether this is the first step.
  Ref<Disposable> run(const Ref<ImmediateSchedulerType>& scheduler) {
    return scheduler->scheduleRecursive(
        true, [self = this->shared_from_this()](bool isFirst, const Recurse& recurse) {
          self->step(isFirst, recurse);
        });
  }

 private:
  // The state advances at the start of the next step, only when the sequence
  // goes on: the first element is the initial state itself.
  void step(bool isFirst, const Recurse& recurse) noexcept {
    try {
      if (!isFirst) state_ = iterate_(state_);
      if (condition_(std::as_const(state_))) {
        R result = resultSelector_(std::as_const(state_));
        this->forwardOn(Event<R>::next(std::move(result)));
        recurse(false);
      } else {
        this->forwardStop(Event<R>::completed());
      }
    } catch (...) {
      this->forwardStop(Event<R>::error(std::current_exception()));
    }
  }

  Condition condition_;
  Iterate iterate_;
  ResultSelector resultSelector_;
  S state_;  // touched only by the steps, which never overlap
};

// Each subscription starts from the initial state with its own copies of the
// callables.
template <class S, class R, class Condition, class Iterate, class ResultSelector>
Ref<Observable<R>> makeGenerate(S initialState, Condition condition, Iterate iterate,
                                ResultSelector resultSelector,
                                Ref<ImmediateSchedulerType> scheduler) {
  return makeProducer<R>(
      [initialState = std::move(initialState), condition = std::move(condition),
       iterate = std::move(iterate), resultSelector = std::move(resultSelector),
       scheduler = std::move(scheduler)](Ref<ObserverType<R>> observer, Ref<Cancelable> cancel) {
        return runSink(std::make_shared<GenerateSink<S, R, Condition, Iterate, ResultSelector>>(
                           std::move(observer), std::move(cancel), initialState, condition, iterate,
                           resultSelector),
                       scheduler);
      });
}

struct StateItself {
  template <class S>
  const S& operator()(const S& state) const noexcept {
    return state;
  }
};

}  // namespace detail

// Emits `initialState`, then `iterate(state)` and so on while
// `condition(const S&) -> bool` holds, one element per action on
// `scheduler`; `iterate(const S&) -> S` advances the state.
template <class S, class Condition, class Iterate>
Ref<Observable<S>> generate(S initialState, Condition&& condition,
                            Ref<ImmediateSchedulerType> scheduler, Iterate&& iterate) {
  return detail::makeGenerate<S, S, std::decay_t<Condition>, std::decay_t<Iterate>,
                              detail::StateItself>(
      std::move(initialState), std::forward<Condition>(condition), std::forward<Iterate>(iterate),
      detail::StateItself{}, std::move(scheduler));
}

}  // namespace rv
