#pragma once

// Checked continuations: the bridge from callback code into a coroutine.
//
//   auto start = [&](async::CheckedContinuation<int> continuation) {
//     startWork([continuation](int result) { continuation.resume(result); });
//   };
//   int v = co_await async::withCheckedThrowingContinuation<int>("value", std::move(start));
//
// (The body is a named local, not a lambda inside the `co_await`: async/Task.h
// says why g++ 12 needs that.)
//
// The body runs while the awaiting coroutine suspends. The continuation must
// be resumed exactly once, from any thread: resuming it a second time stops
// the process. A resume made while the body still runs lets the coroutine go
// on at once after the body returns; a later one (the coroutine has
// suspended) is posted to the awaiting task's executor, never run on the
// resuming thread's stack.

#include <atomic>
#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "async/TaskState.h"

namespace async {

namespace detail {

[[noreturn]] void resumedTwice(const char* function) noexcept;

template <class T>
class ContinuationState : public std::enable_shared_from_this<ContinuationState<T>> {
 public:
  explicit ContinuationState(const char* function) : function_(function) {}

  // Phases: the body is running; the body returned and the coroutine is
  // suspended; the continuation was resumed in one of those, and in the
  // second the coroutine is continued by a job; or the coroutine was
  // destroyed while it waited.
  enum Phase : int {
    inBody,
    resumedInBody,
    suspended,
    resumedLate,
    continued,
    withdrawn,
  };

  template <class... V>
  void resume(std::exception_ptr error, V&&... value) {
    if (resumed_.exchange(true, std::memory_order_acq_rel)) resumedTwice(function_);
    if constexpr (!std::is_void_v<T>) {
      if (!error) value_.emplace(std::forward<V>(value)...);
    }
    error_ = error;
    int expected = inBody;
    if (phase_.compare_exchange_strong(expected, resumedInBody, std::memory_order_acq_rel)) return;
    expected = suspended;
    // Withdrawn: nobody waits for the outcome any more.
    if (!phase_.compare_exchange_strong(expected, resumedLate, std::memory_order_acq_rel)) return;
    runLater(task_, [self = this->shared_from_this()] {
      int late = resumedLate;
      if (self->phase_.compare_exchange_strong(late, continued, std::memory_order_acq_rel)) {
        self->handle_.resume();
      }
    });
  }

  void prepare(std::coroutine_handle<> handle, std::shared_ptr<TaskState> task) {
    handle_ = handle;
    task_ = std::move(task);
  }

  // Called once the body returned: true if the coroutine must now suspend.
  bool suspendAfterBody() {
    int expected = inBody;
    return phase_.compare_exchange_strong(expected, suspended, std::memory_order_acq_rel);
  }

  // The awaiting coroutine is being destroyed: if it waits, a resume still to
  // come, or one whose job has not run yet, continues nothing.
  void withdraw() noexcept {
    int phase = phase_.load(std::memory_order_acquire);
    while ((phase == suspended || phase == resumedLate) &&
           !phase_.compare_exchange_weak(phase, withdrawn, std::memory_order_acq_rel)) {
    }
  }

  T take() {
    if (error_) std::rethrow_exception(error_);
    if constexpr (!std::is_void_v<T>) return std::move(*value_);
  }

 private:
  const char* function_;
  std::atomic<bool> resumed_{false};
  std::atomic<int> phase_{inBody};
  std::coroutine_handle<> handle_;
  std::shared_ptr<TaskState> task_;
  std::exception_ptr error_;
  std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value_{};
};

}  // namespace detail

// A handle on a suspended coroutine that awaits a T (or an error). Copies
// share the one continuation. T is not `std::exception_ptr`.
template <class T>
class CheckedContinuation {
  static_assert(!std::is_same_v<std::remove_cv_t<T>, std::exception_ptr>);

 public:
  explicit CheckedContinuation(std::shared_ptr<detail::ContinuationState<T>> state)
      : state_(std::move(state)) {}

  // Resumes the coroutine returning `value`.
  template <class U = T>
  requires(!std::is_void_v<U>) void resume(U value) const {
    state_->resume(nullptr, std::move(value));
  }
  // Resumes the coroutine (the awaited type is void).
  template <class U = T>
  requires std::is_void_v<U>
  void resume() const { state_->resume(nullptr); }
  // Resumes the coroutine throwing `error` (not null).
  void resume(std::exception_ptr error) const { state_->resume(std::move(error)); }

 private:
  std::shared_ptr<detail::ContinuationState<T>> state_;
};

template <class T, class Body>
class CheckedContinuationAwaiter {
 public:
  CheckedContinuationAwaiter(const char* function, Body body)
      : state_(std::make_shared<detail::ContinuationState<T>>(function)), body_(std::move(body)) {}
  CheckedContinuationAwaiter(const CheckedContinuationAwaiter&) = delete;
  CheckedContinuationAwaiter& operator=(const CheckedContinuationAwaiter&) = delete;
  // Destroyed while suspended here: its coroutine was destroyed.
  ~CheckedContinuationAwaiter() { state_->withdraw(); }

  bool await_ready() const noexcept { return false; }

  // The body must not throw: a continuation it handed out could still be
  // resumed later, so an escaping exception ends the process.
  bool await_suspend(std::coroutine_handle<> awaiting) noexcept {
    state_->prepare(awaiting, detail::currentTaskShared());
    // Our own reference: once the phase says "suspended", a resume on another
    // thread may continue and destroy the coroutine (this awaiter with it)
    // before this function has returned.
    std::shared_ptr<detail::ContinuationState<T>> state = state_;
    body_(CheckedContinuation<T>(state));
    return state->suspendAfterBody();
  }

  T await_resume() { return state_->take(); }

 private:
  std::shared_ptr<detail::ContinuationState<T>> state_;
  Body body_;
};

// Suspends the calling coroutine and calls `body` with a continuation for it;
// `function` names the caller in the message of a double resume.
template <class T, class Body>
CheckedContinuationAwaiter<T, std::decay_t<Body>> withCheckedThrowingContinuation(
    const char* function, Body&& body) {
  return CheckedContinuationAwaiter<T, std::decay_t<Body>>(function, std::forward<Body>(body));
}

}  // namespace async
