#pragma once

// The shared state of one running task: its executor, its cancellation flag
// and the cancellation handlers installed on it. Every coroutine awaited
// (directly or through other coroutines) by the task's root belongs to it.

#include <atomic>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "async/Executor.h"
#include "base/Mutex.h"

namespace async {

class TaskState : public std::enable_shared_from_this<TaskState> {
 public:
  // `executor` must outlive every job of the task.
  explicit TaskState(Executor& executor) : executor_(&executor) {}
  virtual ~TaskState() = default;
  TaskState(const TaskState&) = delete;
  TaskState& operator=(const TaskState&) = delete;

  Executor& executor() const noexcept { return *executor_; }

  bool isCancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

  // Marks the task cancelled and runs, on the calling thread, every handler
  // installed at that moment, each once. Later calls do nothing.
  void cancel();

  // Installs `handler`. If the task is already cancelled the handler runs at
  // once on the calling thread and 0 is returned; otherwise it runs on the
  // thread that cancels the task, unless it is removed first. Returns the key
  // to remove it with. The handler may still be running (on the cancelling
  // thread) when `removeCancellationHandler` returns: what it touches must be
  // kept alive by the handler itself.
  uint64_t addCancellationHandler(std::function<void()> handler);
  void removeCancellationHandler(uint64_t key);

  // Continues the coroutine `handle` of this task as a job of its executor.
  void schedule(std::coroutine_handle<> handle);

  // The task whose job the calling thread is running; null outside any task.
  static TaskState* current() noexcept;

 private:
  friend class CurrentTaskScope;

  Executor* executor_;
  std::atomic<bool> cancelled_{false};
  base::Mutex mutex_;
  uint64_t nextKey_ KX_GUARDED_BY(mutex_) = 1;
  std::vector<std::pair<uint64_t, std::shared_ptr<std::function<void()>>>> handlers_
      KX_GUARDED_BY(mutex_);
};

// Makes `task` the calling thread's current task for its lifetime.
class CurrentTaskScope {
 public:
  explicit CurrentTaskScope(TaskState* task) noexcept;
  ~CurrentTaskScope();
  CurrentTaskScope(const CurrentTaskScope&) = delete;
  CurrentTaskScope& operator=(const CurrentTaskScope&) = delete;

 private:
  TaskState* previous_;
};

// Whether the current task has been cancelled (false outside any task).
bool isCancelled() noexcept;

// Throws CancellationError if the current task has been cancelled.
void checkCancellation();

namespace detail {
// The current task's shared state (null outside any task).
std::shared_ptr<TaskState> currentTaskShared() noexcept;

// Runs `step` as a job of `task`'s executor, with `task` current, or of the
// global executor when the waiting coroutine runs outside any task. A step
// that continues a waiting coroutine first asks the waited-on object whether
// the coroutine still waits: one destroyed meanwhile has withdrawn.
template <class Step>
void runLater(const std::shared_ptr<TaskState>& task, Step step) {
  if (task) {
    task->executor().enqueue([task, step = std::move(step)]() mutable {
      CurrentTaskScope scope(task.get());
      step();
    });
  } else {
    globalExecutor().enqueue(std::move(step));
  }
}
}  // namespace detail

}  // namespace async
