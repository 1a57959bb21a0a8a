#pragma once

// `withTaskCancellationHandler(operation, onCancel)`: runs `operation` as part
// of the current task with `onCancel` installed as the task's cancellation
// handler for that time. If the task is already cancelled, `onCancel` runs at
// once, before the operation starts; otherwise it runs on the thread that
// cancels the task, at most once, possibly while the operation runs on
// another thread. The handler must not throw and should be quick.

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "async/Task.h"
#include "async/TaskState.h"

namespace async {

namespace detail {
class CancellationRegistration {
 public:
  CancellationRegistration(std::shared_ptr<TaskState> task, std::function<void()> handler)
      : task_(std::move(task)) {
    if (task_) key_ = task_->addCancellationHandler(std::move(handler));
  }
  ~CancellationRegistration() {
    if (task_) task_->removeCancellationHandler(key_);
  }
  CancellationRegistration(const CancellationRegistration&) = delete;
  CancellationRegistration& operator=(const CancellationRegistration&) = delete;

 private:
  std::shared_ptr<TaskState> task_;
  uint64_t key_ = 0;
};
}  // namespace detail

template <class T, class OnCancel>
Task<T> withTaskCancellationHandler(Task<T> operation, OnCancel onCancel) {
  // The body runs when the returned task is awaited, so the current task is
  // the awaiting one; outside any task there is nothing to cancel.
  detail::CancellationRegistration registration(detail::currentTaskShared(),
                                                std::function<void()>(std::move(onCancel)));
  if constexpr (std::is_void_v<T>) {
    co_await std::move(operation);
  } else {
    co_return co_await std::move(operation);
  }
}

}  // namespace async
