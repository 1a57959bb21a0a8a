#pragma once

// A coroutine type of the test's own, as a program's generators, tasks or
// scopes are: it runs when called, up to its first suspension, and `destroy`
// destroys it there (which the library's Task leaves to its awaiter).

#include <coroutine>
#include <exception>
#include <memory>
#include <utility>

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

  explicit Eager(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}
  Eager(Eager&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  ~Eager() { destroy(); }
  void destroy() {
    if (handle_) std::exchange(handle_, {}).destroy();
  }

 private:
  std::coroutine_handle<promise_type> handle_;
};

// A task on `executor`, current on the calling thread while this lives: what
// an Eager coroutine started meanwhile awaits is continued by its jobs.
struct InTask {
  explicit InTask(Executor& executor)
      : task(std::make_shared<TaskState>(executor)), scope(task.get()) {}
  std::shared_ptr<TaskState> task;
  CurrentTaskScope scope;
};

}  // namespace async::test
