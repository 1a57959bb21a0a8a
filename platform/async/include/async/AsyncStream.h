#pragma once

// Asynchronous streams fed through a continuation: `AsyncStream<T>` ends
// normally, `AsyncThrowingStream<T>` may end with an error. The build callable
// receives the continuation while the stream is constructed; the producer
// keeps copies of it and calls `yield` and `finish` from any thread. One task
// at a time iterates the stream:
//
//   async::AsyncStream<int> stream([](auto continuation) { ... });
//   auto it = stream.makeAsyncIterator();
//   while (std::optional<int> element = co_await it.next()) { ... }
//
// Termination: the stream finishes when the producer calls `finish` (the
// consumer still receives the buffered elements, then the end or the error),
// and is cancelled when the iterating task is cancelled while it iterates or
// when the last copy of the stream and of its iterators is dropped before it
// finished (the buffer is then discarded and `next` returns the end). The
// termination handler learns which of the two happened, once.
//
// A coroutine destroyed while it waits in `next` (a program's own coroutine
// types can be) is no longer the consumer: the stream goes on for the next
// one, which also gets what was handed to the destroyed one and not taken;
// if the coroutine held the last copy, the stream is cancelled as above. As
// for any coroutine, nothing may resume it while it is being destroyed: the
// stream resumes a consumer only by a job of its task's executor (of the
// global executor outside any task).

#include <coroutine>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "async/TaskState.h"
#include "base/Mutex.h"

namespace async {

enum class BufferingPolicy {
  // Every element is kept until the consumer takes it; nothing is dropped.
  unbounded,
};

enum class Termination { finished, cancelled };

enum class YieldResult {
  // The element was buffered or handed to the waiting consumer.
  enqueued,
  // The stream had already terminated: the element was discarded.
  terminated,
};

namespace detail {

[[noreturn]] void secondConsumer() noexcept;

template <class T>
class StreamCore : public std::enable_shared_from_this<StreamCore<T>> {
 public:
  // What a suspended `next` receives.
  struct Slot {
    std::optional<T> element;
    std::exception_ptr error;
  };

  YieldResult yield(T element) {
    HandOver handOver;
    {
      base::LockGuard guard(mutex_);
      if (terminated_) return YieldResult::terminated;
      if (!consumerWaits()) {
        buffer_.push_back(std::move(element));
        return YieldResult::enqueued;
      }
      waiter_.slot->element.emplace(std::move(element));
      handOver = handOverLocked();
    }
    continueLater(handOver);
    return YieldResult::enqueued;
  }

  void finish(std::exception_ptr error) {
    std::function<void(Termination)> handler;
    HandOver handOver;
    {
      base::LockGuard guard(mutex_);
      if (terminated_) return;
      terminated_ = true;
      reason_ = Termination::finished;
      handler = std::exchange(onTermination_, nullptr);
      if (consumerWaits()) {
        // A waiting consumer means the buffer is empty: it gets the end now.
        waiter_.slot->error = error;
        handOver = handOverLocked();
      } else {
        error_ = error;
      }
    }
    if (handler) handler(Termination::finished);
    continueLater(handOver);
  }

  void cancel() {
    std::function<void(Termination)> handler;
    HandOver handOver;
    std::deque<T> discarded;
    {
      base::LockGuard guard(mutex_);
      if (terminated_) return;
      terminated_ = true;
      reason_ = Termination::cancelled;
      handler = std::exchange(onTermination_, nullptr);
      discarded.swap(buffer_);
      if (consumerWaits()) handOver = handOverLocked();
    }
    if (handler) handler(Termination::cancelled);
    continueLater(handOver);
  }

  void setOnTermination(std::function<void(Termination)> handler) {
    Termination reason;
    {
      base::LockGuard guard(mutex_);
      if (!terminated_) {
        onTermination_ = std::move(handler);
        return;
      }
      reason = reason_;
    }
    // Too late to wait for it: tell the handler at once, so that what it holds
    // is released.
    if (handler) handler(reason);
  }

  // Takes what `next` can have without waiting. Returns false and registers
  // the waiter when there is nothing yet.
  bool takeOrWait(Slot& slot, std::coroutine_handle<> handle, std::shared_ptr<TaskState> task) {
    base::LockGuard guard(mutex_);
    if (!buffer_.empty()) {
      slot.element.emplace(std::move(buffer_.front()));
      buffer_.pop_front();
      return true;
    }
    if (terminated_) {
      slot.error = std::exchange(error_, nullptr);  // thrown once, then the end
      return true;
    }
    if (waiter_.handle) secondConsumer();
    waiter_ = Waiter{handle, std::move(task), &slot};
    return false;
  }

  // The waiter registered with `slot` is gone (its coroutine was destroyed
  // while it waited): it is no longer the consumer, and what it was handed
  // but never took is the next consumer's, unless the stream was cancelled.
  void withdraw(Slot& slot) {
    base::LockGuard guard(mutex_);
    if (waiter_.slot != &slot) return;
    if (handedOver_) {
      handedOver_ = false;
      if (slot.element) {
        if (!terminated_ || reason_ == Termination::finished) {
          buffer_.push_front(std::move(*slot.element));
        }
      } else if (slot.error) {
        error_ = std::move(slot.error);
      }
    }
    waiter_ = Waiter{};
  }

 private:
  struct Waiter {
    std::coroutine_handle<> handle;
    std::shared_ptr<TaskState> task;
    Slot* slot = nullptr;
  };

  // An answer put in the waiter's slot, and the job that continues it.
  struct HandOver {
    std::shared_ptr<TaskState> task;
    uint64_t number = 0;
  };

  bool consumerWaits() const KX_REQUIRES(mutex_) { return waiter_.handle && !handedOver_; }

  HandOver handOverLocked() KX_REQUIRES(mutex_) {
    handedOver_ = true;
    return HandOver{waiter_.task, ++handOvers_};
  }

  // The waiter is continued by a job of its task, if it still waits for this
  // answer when the job runs: its coroutine may have been destroyed meanwhile,
  // and a new consumer may be waiting for another answer.
  void continueLater(const HandOver& handOver) {
    if (handOver.number == 0) return;
    runLater(handOver.task, [core = this->shared_from_this(), number = handOver.number] {
      std::coroutine_handle<> handle;
      {
        base::LockGuard guard(core->mutex_);
        if (!core->handedOver_ || core->handOvers_ != number) return;
        handle = core->waiter_.handle;
        core->waiter_ = Waiter{};
        core->handedOver_ = false;
      }
      handle.resume();
    });
  }

  base::Mutex mutex_;
  std::deque<T> buffer_ KX_GUARDED_BY(mutex_);
  bool terminated_ KX_GUARDED_BY(mutex_) = false;
  Termination reason_ KX_GUARDED_BY(mutex_) = Termination::finished;
  std::exception_ptr error_ KX_GUARDED_BY(mutex_);
  std::function<void(Termination)> onTermination_ KX_GUARDED_BY(mutex_);
  // The consumer waiting in `next`; handed over once its slot holds its
  // answer, until the job that continues it runs.
  Waiter waiter_ KX_GUARDED_BY(mutex_);
  bool handedOver_ KX_GUARDED_BY(mutex_) = false;
  uint64_t handOvers_ KX_GUARDED_BY(mutex_) = 0;
};

// The consumer side's hold on a stream: when the last copy of the stream and
// of its iterators goes, a stream that has not finished is cancelled.
template <class T>
class ConsumerLink {
 public:
  explicit ConsumerLink(std::shared_ptr<StreamCore<T>> core) : core_(std::move(core)) {}
  ~ConsumerLink() { core_->cancel(); }
  ConsumerLink(const ConsumerLink&) = delete;
  ConsumerLink& operator=(const ConsumerLink&) = delete;
  const std::shared_ptr<StreamCore<T>>& core() const noexcept { return core_; }

 private:
  std::shared_ptr<StreamCore<T>> core_;
};

// The awaiter of `next`: installs a cancellation handler on the iterating
// task (cancelling the task cancels the stream) for the time of the wait.
//
// It refers to the stream by a plain pointer that the iterator keeps alive,
// and holds nothing else that is copied in: g++ 12's straight-line vectoriser
// miscompiles a loop that builds an awaiter from a two-word value loaded in
// the coroutine's frame (such as a shared pointer copied from the iterator)
// on each pass, using the value before it is loaded from the second pass on.
template <class T, bool Throwing>
class NextAwaiter {
 public:
  explicit NextAwaiter(StreamCore<T>& core) noexcept : core_(&core) {}
  NextAwaiter(const NextAwaiter&) = delete;
  NextAwaiter& operator=(const NextAwaiter&) = delete;
  ~NextAwaiter() {
    if (task_) task_->removeCancellationHandler(cancelKey_);
    // Destroyed while suspended here: its coroutine was destroyed.
    if (waiting_) core_->withdraw(slot_);
  }

  bool await_ready() const noexcept { return false; }

  bool await_suspend(std::coroutine_handle<> awaiting) {
    task_ = currentTaskShared();
    if (task_) {
      // Runs at once if the task is already cancelled: the stream is then
      // terminated before we look at it.
      cancelKey_ = task_->addCancellationHandler([weak = core_->weak_from_this()] {
        if (auto strong = weak.lock()) strong->cancel();
      });
    }
    waiting_ = true;
    // Registering as the waiter publishes this coroutine: from then on it may
    // be resumed on another thread, so nothing of this awaiter is touched
    // after `takeOrWait`.
    return !core_->takeOrWait(slot_, awaiting, task_);
  }

  std::optional<T> await_resume() {
    waiting_ = false;
    if (task_) {
      task_->removeCancellationHandler(cancelKey_);
      task_.reset();
    }
    if constexpr (Throwing) {
      if (slot_.error) std::rethrow_exception(slot_.error);
    }
    return std::move(slot_.element);
  }

 private:
  StreamCore<T>* core_;
  std::shared_ptr<TaskState> task_;
  uint64_t cancelKey_ = 0;
  bool waiting_ = false;
  typename StreamCore<T>::Slot slot_;
};

template <class T, bool Throwing>
class BasicStream {
 public:
  // The producer's handle. Copies feed the same stream; all members are safe
  // to call from any thread, also after the stream terminated (then they do
  // nothing).
  class Continuation {
   public:
    explicit Continuation(std::shared_ptr<StreamCore<T>> core) : core_(std::move(core)) {}

    YieldResult yield(T element) const { return core_->yield(std::move(element)); }

    // Ends the stream normally once the consumer took what is buffered.
    void finish() const { core_->finish(nullptr); }

    // Ends the stream with `error` (if not null), thrown to the consumer once
    // it took what is buffered.
    template <bool B = Throwing>
    requires B void finish(std::exception_ptr error) const { core_->finish(std::move(error)); }

    // The handler called once when the stream terminates, on the thread that
    // terminates it, with the reason. Replaces any earlier handler. Set after
    // the stream terminated, it is called at once with the reason.
    void setOnTermination(std::function<void(Termination)> handler) const {
      core_->setOnTermination(std::move(handler));
    }

   private:
    std::shared_ptr<StreamCore<T>> core_;
  };

  class Iterator {
   public:
    explicit Iterator(std::shared_ptr<ConsumerLink<T>> link) : link_(std::move(link)) {}

    // Awaits the next element: an element, or the end (nullopt). A throwing
    // stream throws its error once in place of the end. The iterator must
    // outlive the await (a temporary one does).
    NextAwaiter<T, Throwing> next() const { return NextAwaiter<T, Throwing>(*link_->core()); }

   private:
    std::shared_ptr<ConsumerLink<T>> link_;
  };

  using Element = T;

  template <class Build>
  BasicStream(BufferingPolicy policy, Build&& build)
      : link_(std::make_shared<ConsumerLink<T>>(std::make_shared<StreamCore<T>>())) {
    (void)policy;  // unbounded is the only policy
    build(Continuation(link_->core()));
  }

  template <class Build>
  requires std::is_invocable_v<Build&, Continuation>
  explicit BasicStream(Build&& build)
      : BasicStream(BufferingPolicy::unbounded, std::forward<Build>(build)) {}

  Iterator makeAsyncIterator() const { return Iterator(link_); }

 private:
  std::shared_ptr<ConsumerLink<T>> link_;
};

}  // namespace detail

template <class T>
using AsyncStream = detail::BasicStream<T, false>;

template <class T>
using AsyncThrowingStream = detail::BasicStream<T, true>;

}  // namespace async
