#pragma once

// retryWhen(notificationHandler): resubscribes to the source after an error,
// but only when a trigger built by the caller from the stream of errors
// emits.
//
//   source | rv::retryWhen([](Ref<Observable<Error>> errors) {
//     return errors | rv::map([](const Error&) { return Unit{}; });
//   })
//
// The handler is called once per subscription. Each failed attempt sends its
// error into the error stream and waits for the trigger: an element starts the
// next attempt, a completion or error of the trigger ends the output with that
// completion or error. `retryWhen<E>(handler)` retries only errors holding an
// exception of type E (handed to the stream as an E); any other error is
// delivered at once. Attempts start only through the tail-recursive sink's
// gate, so a trigger answering at once never nests attempts on the stack.

#include <optional>
#include <type_traits>
#include <utility>

#include "RvStreams/AsyncLock.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/TailRecursiveSink.h"

namespace rv {

namespace detail {

// The E an error holds, if it holds one; every error when E is Error.
template <class E>
std::optional<E> errorOfType(const Error& error) {
  if constexpr (std::is_same_v<E, Error>) {
    return error;
  } else {
    try {
      std::rethrow_exception(error);
    } catch (const E& typed) {
      return typed;
    } catch (...) {
      return std::nullopt;
    }
  }
}

template <class T, class E, class Trigger>
class RetryWhenSequenceSink final
    : public TailRecursiveSink<T, typename InfiniteSequence<Ref<Observable<T>>>::Iterator> {
  using Base = TailRecursiveSink<T, typename InfiniteSequence<Ref<Observable<T>>>::Iterator>;

 public:
  using Base::Base;

  // Builds the trigger from the error stream and subscribes the notifier to
  // it, then starts the first attempt. A throwing handler delivers its error.
  template <class Handler>
  Ref<Disposable> run(const Ref<Observable<T>>& source, Handler& handler) {
    Ref<Observable<Trigger>> trigger;
    try {
      trigger = rv::asObservable(handler(Ref<Observable<E>>(errorSubject_)));
    } catch (...) {
      this->forwardStop(Event<T>::error(std::current_exception()));
      return Disposables::create();
    }
    Ref<Disposable> triggerSubscription = trigger->subscribe(notifier_);
    Ref<Disposable> subscription =
        Base::run({InfiniteSequence<Ref<Observable<T>>>(source).makeIterator(), std::nullopt});
    return Disposables::create(std::move(subscription), std::move(triggerSubscription));
  }

 protected:
  // Reached only if the sources run out.
  void done() noexcept override {
    if (lastError_) {
      Error error = std::move(*lastError_);
      lastError_.reset();
      this->forwardStop(Event<T>::error(std::move(error)));
    } else {
      this->forwardStop(Event<T>::completed());
    }
  }

  std::optional<typename Base::SequenceGenerator> extract(const Ref<Observable<T>>&) override {
    return std::nullopt;
  }

  Ref<Disposable> subscribeToNext(const Ref<Observable<T>>& source) override {
    auto subscription = SingleAssignmentDisposable::create();
    auto iter = std::make_shared<Iter>(self(), subscription);
    subscription->setDisposable(source->subscribe(iter));
    return iter;
  }

 private:
  // The observer of one attempt. Disposing it ends the attempt and its wait
  // for the trigger.
  class Iter final : public ObserverType<T>,
                     public Disposable,
                     public std::enable_shared_from_this<Iter> {
   public:
    Iter(Ref<RetryWhenSequenceSink> parent, Ref<SingleAssignmentDisposable> subscription)
        : parent_(std::move(parent)), subscription_(std::move(subscription)) {}

    void on(const Event<T>& event) noexcept override {
      RetryWhenSequenceSink& parent = *parent_;
      const Error* error = event.error();
      if (error == nullptr) {
        if (event.isNext()) {
          parent.forwardOn(event);
        } else {
          parent.forwardStop(event);
        }
        return;
      }
      parent.lastError_ = *error;
      std::optional<E> typed = errorOfType<E>(*error);
      if (!typed) {
        parent.forwardStop(event);
        return;
      }
      subscription_->dispose();
      errorHandlerSubscription_->setDisposable(
          parent.notifier_->subscribe(std::make_shared<TriggerSink>(this->shared_from_this())));
      parent.errorSubject_->onNext(std::move(*typed));
    }

    void dispose() noexcept override {
      subscription_->dispose();
      errorHandlerSubscription_->dispose();
    }

    RetryWhenSequenceSink& parent() const noexcept { return *parent_; }

   private:
    Ref<RetryWhenSequenceSink> parent_;
    Ref<SingleAssignmentDisposable> errorHandlerSubscription_ =
        SingleAssignmentDisposable::create();
    Ref<SingleAssignmentDisposable> subscription_;
  };

  // The observer of the trigger for one failed attempt.
  class TriggerSink final : public ObserverType<Trigger> {
   public:
    explicit TriggerSink(Ref<Iter> parent) : parent_(std::move(parent)) {}

    void on(const Event<Trigger>& event) noexcept override {
      RetryWhenSequenceSink& sink = parent_->parent();
      if (event.isNext()) {
        sink.lastError_.reset();
        sink.schedule(TailRecursiveSinkCommand::moveNext);
      } else if (const Error* error = event.error()) {
        sink.forwardStop(Event<T>::error(*error));
      } else {
        sink.forwardStop(Event<T>::completed());  // the pending source error is dropped
      }
    }

   private:
    Ref<Iter> parent_;
  };

  Ref<RetryWhenSequenceSink> self() {
    return std::static_pointer_cast<RetryWhenSequenceSink>(this->shared_from_this());
  }

  std::optional<Error> lastError_;
  Ref<PublishSubject<E>> errorSubject_ = PublishSubject<E>::create();
  Ref<PublishSubject<Trigger>> notifier_ = PublishSubject<Trigger>::create();
};

template <class E, class Handler>
struct RetryWhenOp : SourceOperator<RetryWhenOp<E, Handler>> {
  using Trigger = ElementOf<std::invoke_result_t<Handler&, Ref<Observable<E>>>>;
  Handler notificationHandler;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<RetryWhenSequenceSink<T, E, Trigger>>(std::move(observer),
                                                                          std::move(cancel)),
                   source, notificationHandler);
  }
};

}  // namespace detail

// `notificationHandler(Ref<Observable<E>> errors)` returns the trigger
// sequence; see the top of this header.
template <class E = Error, class Handler>
detail::RetryWhenOp<E, std::decay_t<Handler>> retryWhen(Handler&& notificationHandler) {
  return {{}, std::forward<Handler>(notificationHandler)};
}

}  // namespace rv
