#pragma once

// Unstructured tasks: `spawn` starts a Task on an executor and returns a
// handle through which it can be cancelled and its result awaited or waited
// for. Dropping the handle does not stop the task.
//
//   auto handle = async::spawn(work(), executor);
//   handle.cancel();
//   int result = co_await handle.value();   // from another coroutine
//   int result = async::syncWait(handle);   // from a plain thread

#include <condition_variable>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "async/Executor.h"
#include "async/Task.h"
#include "async/TaskState.h"
#include "base/Mutex.h"

namespace async {

namespace detail {

// The state of a spawned task: its cancellation state and, once it ended,
// its result.
template <class T>
class JobState final : public TaskState {
 public:
  using TaskState::TaskState;

  template <class... V>
  void finish(std::exception_ptr error, V&&... value) {
    std::vector<std::pair<uint64_t, std::shared_ptr<TaskState>>> waiting;
    {
      base::LockGuard guard(mutex_);
      if constexpr (!std::is_void_v<T>) {
        if (!error) value_.emplace(std::forward<V>(value)...);
      }
      error_ = error;
      done_ = true;
      for (const Waiter& waiter : waiters_) waiting.emplace_back(waiter.key, waiter.task);
    }
    finished_.notify_all();
    auto self = std::static_pointer_cast<JobState>(shared_from_this());
    for (auto& [key, task] : waiting) {
      // A waiter destroyed before this job runs has withdrawn.
      runLater(task, [self, key = key] {
        if (std::coroutine_handle<> handle = self->takeWaiter(key)) handle.resume();
      });
    }
  }

  bool isFinished() const {
    base::LockGuard guard(mutex_);
    return done_;
  }

  // Registers `handle` to continue when the task ends, setting `key` to what
  // withdraws it; false if the task already has (then nothing is registered).
  bool addWaiter(std::coroutine_handle<> handle, std::shared_ptr<TaskState> waitingTask,
                 uint64_t& key) {
    base::LockGuard guard(mutex_);
    if (done_) return false;
    key = nextWaiterKey_++;
    waiters_.push_back(Waiter{key, handle, std::move(waitingTask)});
    return true;
  }

  // Withdraws the waiter `key` (its coroutine was destroyed while it waited).
  void removeWaiter(uint64_t key) { (void)takeWaiter(key); }

  void blockUntilFinished() {
    if (auto* manual = dynamic_cast<ManualExecutor*>(&executor())) {
      manual->runUntil([this] { return isFinished(); });
      return;
    }
    base::LockGuard lock(mutex_);
    mutex_.wait(finished_, [this]() KX_REQUIRES(mutex_) { return done_; });
  }

  // The result; only once the task has ended.
  T result() const {
    base::LockGuard guard(mutex_);
    if (error_) std::rethrow_exception(error_);
    if constexpr (!std::is_void_v<T>) return *value_;
  }

 private:
  mutable base::Mutex mutex_;
  std::condition_variable finished_;
  bool done_ KX_GUARDED_BY(mutex_) = false;
  std::exception_ptr error_ KX_GUARDED_BY(mutex_);
  std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value_ KX_GUARDED_BY(mutex_){};
  struct Waiter {
    uint64_t key;
    std::coroutine_handle<> handle;
    std::shared_ptr<TaskState> task;
  };

  // The waiter `key`, which is no longer registered; null if it was not.
  std::coroutine_handle<> takeWaiter(uint64_t key) {
    base::LockGuard guard(mutex_);
    for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
      if (it->key == key) {
        std::coroutine_handle<> handle = it->handle;
        waiters_.erase(it);
        return handle;
      }
    }
    return nullptr;
  }

  // Coroutines waiting for the end, until the job that continues each runs.
  std::vector<Waiter> waiters_ KX_GUARDED_BY(mutex_);
  uint64_t nextWaiterKey_ KX_GUARDED_BY(mutex_) = 1;
};

// The root coroutine of a spawned task: it awaits the task and stores the
// outcome, then destroys itself.
class RootCoroutine {
 public:
  struct promise_type {
    RootCoroutine get_return_object() noexcept {
      return RootCoroutine(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    SuspendAlways initial_suspend() noexcept { return {}; }
    SuspendNever final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };

  explicit RootCoroutine(std::coroutine_handle<promise_type> handle) noexcept : handle(handle) {}
  std::coroutine_handle<promise_type> handle;
};

template <class T>
RootCoroutine runRoot(Task<T> task, std::shared_ptr<JobState<T>> state) {
  std::exception_ptr error;
  if constexpr (std::is_void_v<T>) {
    try {
      co_await std::move(task);
    } catch (...) {
      error = std::current_exception();
    }
    state->finish(error);
  } else {
    std::optional<T> value;
    try {
      value.emplace(co_await std::move(task));
    } catch (...) {
      error = std::current_exception();
    }
    if (error) {
      state->finish(error);
    } else {
      state->finish(nullptr, std::move(*value));
    }
  }
}

}  // namespace detail

template <class T>
class TaskHandle {
 public:
  explicit TaskHandle(std::shared_ptr<detail::JobState<T>> state) : state_(std::move(state)) {}

  // Requests cancellation: sets the task's flag and runs its cancellation
  // handlers on the calling thread. What the task does about it is its own
  // business. Safe from any thread, any number of times.
  void cancel() const { state_->cancel(); }
  bool isCancelled() const noexcept { return state_->isCancelled(); }
  bool isFinished() const { return state_->isFinished(); }

  class ValueAwaiter {
   public:
    explicit ValueAwaiter(std::shared_ptr<detail::JobState<T>> state) : state_(std::move(state)) {}
    ValueAwaiter(const ValueAwaiter&) = delete;
    ValueAwaiter& operator=(const ValueAwaiter&) = delete;
    // Destroyed while suspended here: its coroutine was destroyed.
    ~ValueAwaiter() {
      if (key_ != 0) state_->removeWaiter(key_);
    }
    bool await_ready() const { return state_->isFinished(); }
    bool await_suspend(std::coroutine_handle<> awaiting) {
      return state_->addWaiter(awaiting, detail::currentTaskShared(), key_);
    }
    T await_resume() {
      key_ = 0;
      return state_->result();
    }

   private:
    std::shared_ptr<detail::JobState<T>> state_;
    uint64_t key_ = 0;
  };

  // Awaits the task's result (returned or thrown) from another coroutine.
  // May be awaited any number of times; T must be copyable.
  ValueAwaiter value() const { return ValueAwaiter(state_); }

  const std::shared_ptr<detail::JobState<T>>& state() const noexcept { return state_; }

 private:
  std::shared_ptr<detail::JobState<T>> state_;
};

// Starts `task` as a new task of its own (no parent, not cancelled with its
// creator) whose jobs run on `executor`. The first job is enqueued at once;
// nothing runs on the caller's stack.
template <class T>
TaskHandle<T> spawn(Task<T> task, Executor& executor = globalExecutor()) {
  auto state = std::make_shared<detail::JobState<T>>(executor);
  detail::RootCoroutine root = detail::runRoot<T>(std::move(task), state);
  state->schedule(root.handle);
  return TaskHandle<T>(std::move(state));
}

// Blocks the calling thread until the task ended and returns its result (or
// rethrows its error). For a task on a ManualExecutor the calling thread runs
// that executor's jobs meanwhile. Never call it from a job of the executor the
// task runs on.
template <class T>
T syncWait(const TaskHandle<T>& handle) {
  handle.state()->blockUntilFinished();
  return handle.state()->result();
}

// Spawns `task` on `executor` and blocks until it ended (see above).
template <class T>
T syncWait(Task<T> task, Executor& executor = globalExecutor()) {
  return syncWait(spawn(std::move(task), executor));
}

}  // namespace async
