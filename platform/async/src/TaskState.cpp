#include "async/TaskState.h"

#include "async/CancellationError.h"

namespace async {

namespace {
thread_local TaskState* currentTask = nullptr;
}  // namespace

void TaskState::cancel() {
  if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
  std::vector<std::pair<uint64_t, std::shared_ptr<std::function<void()>>>> taken;
  {
    base::LockGuard guard(mutex_);
    taken.swap(handlers_);
  }
  for (auto& entry : taken) (*entry.second)();
}

uint64_t TaskState::addCancellationHandler(std::function<void()> handler) {
  {
    base::LockGuard guard(mutex_);
    // `cancel` sets the flag before it takes the handlers under this mutex, so
    // a handler added after that take sees the flag here.
    if (!isCancelled()) {
      const uint64_t key = nextKey_++;
      handlers_.emplace_back(key, std::make_shared<std::function<void()>>(std::move(handler)));
      return key;
    }
  }
  handler();
  return 0;
}

void TaskState::removeCancellationHandler(uint64_t key) {
  if (key == 0) return;
  std::shared_ptr<std::function<void()>> removed;
  base::LockGuard guard(mutex_);
  for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
    if (it->first == key) {
      removed = std::move(it->second);
      handlers_.erase(it);
      break;
    }
  }
}

void TaskState::schedule(std::coroutine_handle<> handle) {
  executor_->enqueue([self = shared_from_this(), handle] {
    CurrentTaskScope scope(self.get());
    handle.resume();
  });
}

TaskState* TaskState::current() noexcept { return currentTask; }

CurrentTaskScope::CurrentTaskScope(TaskState* task) noexcept : previous_(currentTask) {
  currentTask = task;
}

CurrentTaskScope::~CurrentTaskScope() { currentTask = previous_; }

bool isCancelled() noexcept {
  TaskState* task = TaskState::current();
  return task != nullptr && task->isCancelled();
}

void checkCancellation() {
  if (isCancelled()) throw CancellationError();
}

namespace detail {

std::shared_ptr<TaskState> currentTaskShared() noexcept {
  TaskState* task = TaskState::current();
  return task != nullptr ? task->shared_from_this() : nullptr;
}

}  // namespace detail

}  // namespace async
