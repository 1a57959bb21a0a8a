#pragma once

// `Task<T>`: a lazy, move-only coroutine producing a T or throwing. Nothing
// runs until the task is awaited (`co_await std::move(task)`) by another
// coroutine, or started with `spawn`. An awaited task runs as part of the
// awaiting coroutine's task: same executor, same cancellation.
//
//   async::Task<int> answer() { co_return 42; }
//   async::Task<int> twice() { co_return 2 * co_await answer(); }
//
// g++ 12 miscompiles a lambda, a braced aggregate or a `?:` of class type
// made inside a `co_await` operand, arguments of the awaited call included: it
// destroys that temporary twice, or hands on a copy it never made. Make such
// values named locals first (a temporary made by a constructor or returned by
// a function, such as `answer()`, is fine):
//
//   auto onCancel = [state] { state->stop(); };
//   co_await async::withTaskCancellationHandler(work(), std::move(onCancel));
//
// An awaited task runs inline, as a call does, until it finishes or
// suspends, while fewer than `detail::kMaxInlineRuns` awaited tasks run
// inline on this thread, one inside the other (and, where the transfer below
// is a jump, while they took under 1 KiB of its stack). One that finished
// lets the awaiting coroutine go on without suspending, so a loop of awaits
// at those depths takes no stack, whatever the optimisation. Deeper, an awaited task
// is started by symmetric transfer, and its end transfers back: where the
// compiler makes the transfer a jump (clang; g++ at -O2, -O3 or -Os without
// the sanitizers), nesting of any depth and a loop at any depth take no
// stack either; elsewhere each transfer keeps a frame until the executor's
// job is over. A task that suspended continues its awaiter by a transfer too,
// from a job of the executor, which runs tasks inline again from no depth.

#include <atomic>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace async {

template <class T = void>
class Task;

namespace detail {

// How many awaited tasks this thread runs inline, one inside the other; past
// `kMaxInlineRuns` they are started by symmetric transfer, which takes no
// stack where the compiler makes it a jump. A task run inline takes a call's
// stack (some 50 bytes optimised, 200 to 400 unoptimised, up to 1.4 KiB under
// AddressSanitizer), so the bound keeps what nesting of any depth takes from
// a thread's stack under 1 KiB optimised.
inline constexpr int kMaxInlineRuns = 16;
inline constinit thread_local int tInlineRuns = 0;

// Where the transfer is a jump, a chain of tasks took one level's stack
// before inline runs, however much each level's body keeps on the stack
// (clang keeps there what does not live across a suspension, such as a
// buffer used before the await). So there the inline runs also stop once the
// thread's stack is more than kInlineStackBytes below where the outermost
// began: a chain takes at most that and one level more than it did.
// Elsewhere each transfer kept a frame, much as an inline run does, and the
// count alone bounds them. (A program whose files are built both ways may run either bound;
// each holds what that build held before.)
#if defined(__clang__) || \
    (defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__))
inline constexpr std::uintptr_t kInlineStackBytes = 1024;
#else
inline constexpr std::uintptr_t kInlineStackBytes = UINTPTR_MAX;
#endif
inline constinit thread_local std::uintptr_t tInlineBase = 0;

// Stand-ins for std::suspend_always and std::suspend_never, which are
// aggregates: g++ 12 destroys the members of an aggregate awaiter prvalue
// twice, so no awaiter of ours is one.
class SuspendAlways {
 public:
  SuspendAlways() noexcept {}
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<>) const noexcept {}
  void await_resume() const noexcept {}
};

class SuspendNever {
 public:
  SuspendNever() noexcept {}
  bool await_ready() const noexcept { return true; }
  void await_suspend(std::coroutine_handle<>) const noexcept {}
  void await_resume() const noexcept {}
};

class PromiseBase {
 public:
  // The end of the task hands control back to whoever awaited it, if that
  // one is suspended by then (symmetric transfer).
  class FinalAwaiter {
   public:
    FinalAwaiter() noexcept {}
    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> self) noexcept {
      PromiseBase& promise = self.promise();
      if (promise.meeting_.exchange(finished, std::memory_order_acq_rel) == awaiterSuspended) {
        return promise.continuation_;
      }
      // The awaiter runs the task inline and sees that it finished when the
      // run returns, or has not suspended its coroutine yet and lets it go on
      // when it does; or its coroutine was destroyed.
      return std::noop_coroutine();
    }
    void await_resume() const noexcept {}
  };

  SuspendAlways initial_suspend() noexcept { return {}; }
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { error_ = std::current_exception(); }

  // Runs the task on this thread until it finishes or first suspends, if
  // fewer than kMaxInlineRuns tasks run inline here already and they took no
  // more than kInlineStackBytes: true if it finished (then the awaiting
  // coroutine goes on without suspending). False if it suspended, or was not
  // started.
  template <class P>
  static bool runInline(std::coroutine_handle<P> task) noexcept {
    if (tInlineRuns >= kMaxInlineRuns) return false;
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (tInlineRuns == 0) {
      tInlineBase = here;
    } else if ((tInlineBase > here ? tInlineBase - here : here - tInlineBase) > kInlineStackBytes) {
      return false;
    }
    PromiseBase& promise = task.promise();
    promise.meeting_.store(running, std::memory_order_relaxed);
    ++tInlineRuns;
    task.resume();
    --tInlineRuns;
    return promise.meeting_.load(std::memory_order_acquire) == finished;
  }

  // Called by the awaiter once its coroutine is suspended: what to continue.
  // A task not started yet is started by symmetric transfer; one that
  // suspended while run inline continues the awaiting coroutine when it
  // finishes, unless it has finished meanwhile on another thread.
  template <class P>
  static std::coroutine_handle<> onAwaiterSuspended(std::coroutine_handle<P> task,
                                                    std::coroutine_handle<> awaiting) noexcept {
    PromiseBase& promise = task.promise();
    promise.continuation_ = awaiting;
    switch (promise.meeting_.exchange(awaiterSuspended, std::memory_order_acq_rel)) {
      case notStarted:
        return task;
      case finished:
        return awaiting;
      default:
        // From here the task may finish on another thread and continue the
        // awaiting coroutine: nothing of the awaiter or the task is touched.
        return std::noop_coroutine();
    }
  }

  // The awaiting coroutine was destroyed while it waited: the task, if it
  // ever finishes, continues nothing.
  void abandon() noexcept {
    int expected = awaiterSuspended;
    meeting_.compare_exchange_strong(expected, abandoned, std::memory_order_acq_rel);
  }

 protected:
  // Where the awaiter and the end of the task meet: whichever of the two
  // comes second continues the awaiting coroutine.
  enum Meeting : int { notStarted, running, awaiterSuspended, finished, abandoned };

  std::coroutine_handle<> continuation_;
  std::exception_ptr error_;
  std::atomic<int> meeting_{notStarted};
};

template <class T>
class Promise final : public PromiseBase {
 public:
  Task<T> get_return_object() noexcept;

  template <class U>
  requires std::is_convertible_v<U&&, T>
  void return_value(U&& value) { value_.emplace(std::forward<U>(value)); }

  T take() {
    if (error_) std::rethrow_exception(error_);
    return std::move(*value_);
  }

 private:
  std::optional<T> value_;
};

template <>
class Promise<void> final : public PromiseBase {
 public:
  Task<void> get_return_object() noexcept;
  void return_void() noexcept {}
  void take() {
    if (error_) std::rethrow_exception(error_);
  }
};

}  // namespace detail

template <class T>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::Promise<T>;
  using Handle = std::coroutine_handle<promise_type>;
  using Result = T;

  Task() noexcept = default;
  explicit Task(Handle handle) noexcept : handle_(handle) {}
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      if (handle_) handle_.destroy();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }

  bool valid() const noexcept { return static_cast<bool>(handle_); }

  class Awaiter {
   public:
    explicit Awaiter(Handle handle) noexcept : handle_(handle) {}
    Awaiter(const Awaiter&) = delete;
    Awaiter& operator=(const Awaiter&) = delete;
    ~Awaiter() {
      if (waiting_) handle_.promise().abandon();
    }

    // The task runs inline here, before the awaiting coroutine suspends, so
    // that one that finished costs no suspension and no transfer. Whether it
    // ran, and whether it finished, is read from the task's promise, where
    // the task's end meets the awaiter, not kept in this awaiter.
    bool await_ready() noexcept { return detail::PromiseBase::runInline(handle_); }

    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
      waiting_ = true;
      return detail::PromiseBase::onAwaiterSuspended(handle_, awaiting);
    }

    T await_resume() {
      waiting_ = false;
      return handle_.promise().take();
    }

   private:
    Handle handle_;
    bool waiting_ = false;
  };

  // Runs the task to its end as part of the awaiting coroutine. The task
  // object must stay alive until the await is over (a temporary does).
  Awaiter operator co_await() && noexcept { return Awaiter(handle_); }

 private:
  Handle handle_;
};

namespace detail {
template <class T>
Task<T> Promise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}
}  // namespace detail

}  // namespace async
