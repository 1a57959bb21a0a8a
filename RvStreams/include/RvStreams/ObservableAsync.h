#pragma once

// Bridges between observable sequences and the async/await runtime:
//
//   for a task:      auto stream = rv::values(source);      // AsyncThrowingStream
//                    auto it = stream.makeAsyncIterator();
//                    while (auto element = co_await it.next()) { ... }
//
//   for observers:   auto observable = rv::asObservable(asyncSequence);
//
// `values` subscribes at once and buffers without limit; the subscription
// ends when the source ends or when the consumer gives up (its task is
// cancelled, or the stream is dropped before it finished). `asObservable`
// iterates the sequence in a task of its own per subscription; disposing the
// subscription cancels that task.

#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "RvStreams/Create.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Observable.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Subscribe.h"
#include "async/AsyncSequence.h"
#include "async/AsyncStream.h"
#include "async/CancellationError.h"
#include "async/Executor.h"
#include "async/Spawn.h"
#include "async/Task.h"

namespace rv {

// A new asynchronous stream of the elements of `source` for each call. The
// source's error is thrown by the iteration once the elements before it were
// taken; a subscription that ends without a stop event finishes the stream
// with CancellationError.
template <ObservableConvertible S>
async::AsyncThrowingStream<ElementOf<S>> values(const S& source) {
  using T = ElementOf<S>;
  using Continuation = typename async::AsyncThrowingStream<T>::Continuation;
  return async::AsyncThrowingStream<T>(
      async::BufferingPolicy::unbounded, [&source](Continuation continuation) {
        // Written by the stop handlers, read by the disposal handler, which may
        // run on the consumer's thread when it cancels.
        auto isFinished = std::make_shared<std::atomic<bool>>(false);
        Ref<Disposable> subscription = rv::subscribe(
            rv::asObservable(source),
            SubscribeHandlers<T>{
                .onNext = [continuation](const T& element) { continuation.yield(element); },
                .onError =
                    [continuation, isFinished](const Error& error) {
                      isFinished->store(true);
                      continuation.finish(error);
                    },
                .onCompleted =
                    [continuation, isFinished] {
                      isFinished->store(true);
                      continuation.finish();
                    },
                .onDisposed =
                    [continuation, isFinished] {
                      if (!isFinished->load()) {
                        continuation.finish(std::make_exception_ptr(async::CancellationError()));
                      }
                    },
            });
        // A stream that finished leaves the subscription alone: the source has
        // already ended it.
        continuation.setOnTermination([subscription](async::Termination termination) {
          if (termination == async::Termination::cancelled) subscription->dispose();
        });
      });
}

namespace detail {

template <class T, class Sequence>
async::Task<void> iterateAsyncSequence(Sequence sequence, AnyObserver<T> observer) {
  Error failure;
  try {
    auto iterator = sequence.makeAsyncIterator();
    while (true) {
      std::optional<T> element = co_await iterator.next();
      if (!element) break;
      observer.on(Event<T>::next(std::move(*element)));
    }
  } catch (...) {
    // A cancellation error is an error like any other.
    failure = std::current_exception();
  }
  if (failure) {
    observer.on(Event<T>::error(std::move(failure)));
  } else {
    observer.on(Event<T>::completed());
  }
}

}  // namespace detail

// An observable that iterates `sequence` in a new task on `executor` for each
// subscription: each element becomes a next event, the end completed, a
// failure of the iteration an error event. Disposing the subscription only
// requests the task's cancellation; the sequence decides how it ends, and
// what the task sends after the disposal is dropped. `executor` must outlive
// the subscriptions.
template <async::AsyncSequence Sequence>
Ref<Observable<async::AsyncElementOf<Sequence>>> asObservable(
    Sequence sequence, async::Executor& executor = async::globalExecutor()) {
  using T = async::AsyncElementOf<Sequence>;
  return rv::create<T>(
      [sequence = std::move(sequence), &executor](AnyObserver<T> observer) -> Ref<Disposable> {
        async::TaskHandle<void> task =
            async::spawn(detail::iterateAsyncSequence<T>(sequence, std::move(observer)), executor);
        return Disposables::create([task] { task.cancel(); });
      });
}

}  // namespace rv
