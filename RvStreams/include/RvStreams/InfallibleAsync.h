#pragma once

// An infallible sequence as an asynchronous stream that a task iterates:
//
//   auto stream = rv::values(infallible);   // subscribes now
//   auto it = stream.makeAsyncIterator();
//   while (std::optional<int> element = co_await it.next()) { ... }
//
// Elements are buffered without limit until the task takes them; the
// iteration ends after the sequence completes. Cancelling the iterating task,
// or dropping the stream before it finished, disposes the subscription.

#include <utility>

#include "RvStreams/Infallible.h"
#include "async/AsyncStream.h"

namespace rv {

template <class T>
async::AsyncStream<T> values(const Infallible<T>& source) {
  using Continuation = typename async::AsyncStream<T>::Continuation;
  return async::AsyncStream<T>(
      async::BufferingPolicy::unbounded, [&source](Continuation continuation) {
        Ref<Disposable> subscription = source.subscribe(InfallibleSubscribeHandlers<T>{
            .onNext = [continuation](const T& element) { continuation.yield(element); },
            .onCompleted = [continuation] { continuation.finish(); },
            // An error that broke the promise went to the default error
            // handler and ended the subscription: end the iteration too rather
            // than leave the task waiting for ever. After a completion or a
            // cancellation this finish is ignored.
            .onDisposed = [continuation] { continuation.finish(); },
        });
        continuation.setOnTermination([subscription](async::Termination termination) {
          if (termination == async::Termination::cancelled) subscription->dispose();
        });
      });
}

}  // namespace rv
