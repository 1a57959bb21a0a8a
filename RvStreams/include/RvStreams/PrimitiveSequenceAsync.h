#pragma once

// Awaiting the outcome of a Single, a Maybe or a Completable in a coroutine:
//
//   int element = co_await rv::value(single);                // or throws
//   std::optional<int> maybeElement = co_await rv::value(maybe);
//   co_await rv::value(completable);
//
// The sequence is subscribed when the returned task runs. Cancelling the
// awaiting task disposes the subscription; unless the outcome came first, the
// await then throws `async::CancellationError`. A coroutine destroyed while it
// awaits disposes the subscription too.
//
// Choose the sequence before the await, not with `?:` inside it (async/Task.h
// says why g++ 12 needs that):
//
//   Maybe<int> lookup = cached ? Maybe<int>::just(hit) : fetch(key);
//   std::optional<int> found = co_await rv::value(lookup);

#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "RvStreams/Completable.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Do.h"
#include "RvStreams/Maybe.h"
#include "RvStreams/RvError.h"
#include "RvStreams/Single.h"
#include "async/CancellationError.h"
#include "async/CancellationHandler.h"
#include "async/Continuation.h"
#include "async/Task.h"

namespace rv {

namespace detail {

// Set by whichever handler resumes the continuation first: an outcome on one
// thread and the disposal caused by a cancellation on another may race, and a
// continuation must be resumed once.
using ResumeFlag = std::shared_ptr<std::atomic<bool>>;

inline Error cancellationError() { return std::make_exception_ptr(async::CancellationError()); }

// Suspends in a checked continuation named "value"; `subscribe(continuation)`
// subscribes and returns the subscription, which goes into `disposable`. If
// the cancellation handler disposed `disposable` already, that disposes the
// subscription at once.
template <class R, class Subscribe>
async::Task<R> awaitSubscriptionOutcome(Ref<SingleAssignmentDisposable> disposable,
                                        Subscribe subscribe) {
  auto body = [&](async::CheckedContinuation<R> continuation) {
    disposable->setDisposable(subscribe(std::move(continuation)));
  };
  if constexpr (std::is_void_v<R>) {
    co_await async::withCheckedThrowingContinuation<R>("value", std::move(body));
  } else {
    co_return co_await async::withCheckedThrowingContinuation<R>("value", std::move(body));
  }
}

// Disposes the subscription when the awaiting frame goes, however it goes:
// after the outcome the subscription has ended by itself, and a coroutine
// destroyed while it awaits the outcome gives up on it as a cancelled one does.
class DisposeOnExit {
 public:
  explicit DisposeOnExit(Ref<Disposable> disposable) : disposable_(std::move(disposable)) {}
  DisposeOnExit(const DisposeOnExit&) = delete;
  DisposeOnExit& operator=(const DisposeOnExit&) = delete;
  ~DisposeOnExit() { disposable_->dispose(); }

 private:
  Ref<Disposable> disposable_;
};

template <class R, class Subscribe>
async::Task<R> valueOf(Subscribe subscribe) {
  Ref<SingleAssignmentDisposable> disposable = SingleAssignmentDisposable::create();
  DisposeOnExit disposeOnExit(disposable);
  // Named, not built inside the co_await operand (see async/Task.h).
  async::Task<R> operation = awaitSubscriptionOutcome<R>(disposable, std::move(subscribe));
  auto onCancel = [disposable] { disposable->dispose(); };
  if constexpr (std::is_void_v<R>) {
    co_await async::withTaskCancellationHandler(std::move(operation), std::move(onCancel));
  } else {
    co_return co_await async::withTaskCancellationHandler(std::move(operation),
                                                          std::move(onCancel));
  }
}

}  // namespace detail

// The element of `single`, or its error. A source that completes without an
// element (which a Single must not do: it is reported on standard output)
// makes the await throw RvError::noElements() instead of waiting forever.
template <class T>
async::Task<T> value(const Single<T>& single) {
  return detail::valueOf<T>(
      [single](async::CheckedContinuation<T> continuation) -> Ref<Disposable> {
        auto didResume = std::make_shared<std::atomic<bool>>(false);
        // A source that completes without any element: seen after the Single's
        // own subscription reported it. An element that a disposal racing it kept
        // from the handlers still counts as an element here.
        auto sawElement = std::make_shared<std::atomic<bool>>(false);
        Single<T> checked(rv::doOn(
            single, DoHandlers<T>{.onNext = [sawElement](const T&) { sawElement->store(true); },
                                  .afterCompleted =
                                      [continuation, didResume, sawElement] {
                                        if (sawElement->load()) return;
                                        if (!didResume->exchange(true)) {
                                          continuation.resume(
                                              std::make_exception_ptr(RvError::noElements()));
                                        }
                                      }}));
        return checked.subscribe(SingleSubscribeHandlers<T>{
            .onSuccess =
                [continuation, didResume](const T& element) {
                  if (!didResume->exchange(true)) continuation.resume(element);
                },
            .onFailure =
                [continuation, didResume](const Error& error) {
                  if (!didResume->exchange(true)) continuation.resume(error);
                },
            .onDisposed =
                [continuation, didResume] {
                  if (!didResume->exchange(true)) continuation.resume(detail::cancellationError());
                },
        });
      });
}

// The element of `maybe`, nothing if it completes empty, or its error.
template <class T>
async::Task<std::optional<T>> value(const Maybe<T>& maybe) {
  using R = std::optional<T>;
  return detail::valueOf<R>([maybe](async::CheckedContinuation<R> continuation) -> Ref<Disposable> {
    auto didResume = std::make_shared<std::atomic<bool>>(false);
    auto didEmitElement = std::make_shared<std::atomic<bool>>(false);
    return maybe.subscribe(MaybeSubscribeHandlers<T>{
        .onSuccess =
            [continuation, didResume, didEmitElement](const T& element) {
              didEmitElement->store(true);
              if (!didResume->exchange(true)) continuation.resume(R(element));
            },
        .onError =
            [continuation, didResume](const Error& error) {
              if (!didResume->exchange(true)) continuation.resume(error);
            },
        .onCompleted =
            [continuation, didResume, didEmitElement] {
              if (didEmitElement->load()) return;
              if (!didResume->exchange(true)) continuation.resume(R());
            },
        .onDisposed =
            [continuation, didResume] {
              if (!didResume->exchange(true)) continuation.resume(detail::cancellationError());
            },
    });
  });
}

// Returns when `completable` completes, or throws its error.
inline async::Task<void> value(const Completable& completable) {
  return detail::valueOf<void>(
      [completable](async::CheckedContinuation<void> continuation) -> Ref<Disposable> {
        auto didResume = std::make_shared<std::atomic<bool>>(false);
        return completable.subscribe(CompletableSubscribeHandlers{
            .onCompleted =
                [continuation, didResume] {
                  if (!didResume->exchange(true)) continuation.resume();
                },
            .onError =
                [continuation, didResume](const Error& error) {
                  if (!didResume->exchange(true)) continuation.resume(error);
                },
            .onDisposed =
                [continuation, didResume] {
                  if (!didResume->exchange(true)) continuation.resume(detail::cancellationError());
                },
        });
      });
}

}  // namespace rv
