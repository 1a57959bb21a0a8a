#pragma once

// A coroutine type of the test's own, as a program's generators, tasks or
// scopes are: it runs as soon as it is called, up to its first suspension,
// and whoever holds it may destroy it while it is suspended (which the
// library's own Task leaves to the coroutine that awaits it).

#include <coroutine>
#include <exception>
#include <memory>
#include <utility>

#include "async/Executor.h"
#include "async/TaskState.h"

namespace async::test {

class Eager {
 public:
  struct promise_type {
    Eager get_return_object() noexcept {
      return Eager(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };

  Eager() noexcept = default;
  explicit Eager(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}
  Eager(Eager&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Eager& operator=(Eager&& other) noexcept {
    Eager(std::move(other)).swap(*this);
    return *this;
  }
  ~Eager() {
    if (handle_) handle_.destroy();
  }

  bool done() const noexcept { return handle_.done(); }

 private:
  void swap(Eager& other) noexcept { std::swap(handle_, other.handle_); }

  std::coroutine_handle<promise_type> handle_;
};

// A task whose jobs run on `executor`, current on the calling thread for the
// scope's lifetime: what an Eager coroutine started there awaits is
// continued by jobs of that executor.
class InTask {
 public:
  explicit InTask(Executor& executor)
      : task_(std::make_shared<TaskState>(executor)), scope_(task_.get()) {}

 private:
  std::shared_ptr<TaskState> task_;
  CurrentTaskScope scope_;
};

}  // namespace async::test
