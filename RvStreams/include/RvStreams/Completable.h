#pragma once

// Completable: completion or one error, never an element. Its source is an
// observable of Never, so a next event cannot even be formed. Completables
// run one after another with `concat`, all at once with `zip`, and are
// followed by another sequence with `andThen`.

#include <functional>
#include <optional>
#include <ranges>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/AndThen.h"
#include "RvStreams/Concat.h"
#include "RvStreams/Create.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Do.h"
#include "RvStreams/ErrorReport.h"
#include "RvStreams/Just.h"
#include "RvStreams/Merge.h"
#include "RvStreams/PrimitiveSequence.h"
#include "RvStreams/Subscribe.h"

namespace rv {

// The outcome of a Completable: an error, or completed (no error).
class CompletableEvent {
 public:
  static CompletableEvent error(Error error) { return CompletableEvent(std::move(error)); }
  static CompletableEvent completed() { return CompletableEvent(std::nullopt); }

  bool isCompleted() const noexcept { return !error_.has_value(); }
  // The error of an error; null for completed.
  const Error* error() const noexcept { return error_ ? &*error_ : nullptr; }

 private:
  explicit CompletableEvent(std::optional<Error> error) : error_(std::move(error)) {}

  std::optional<Error> error_;
};

// "error(<error>)" or "completed".
inline std::string describe(const CompletableEvent& event) {
  if (const Error* x = event.error()) return "error(" + describe(*x) + ")";
  return "completed";
}

// Receives the outcome of a Completable. Only the first call counts.
using CompletableObserver = std::function<void(CompletableEvent)>;

struct CompletableSubscribeHandlers {
  std::function<void()> onCompleted{};
  // Without it, the error goes to Hooks::defaultErrorHandler.
  std::function<void(const Error&)> onError{};
  // Runs once: after the outcome, or when the subscription is disposed.
  std::function<void()> onDisposed{};
};

template <class Object>
struct CompletableSubscribeWithHandlers {
  std::function<void(const Ref<Object>&)> onCompleted{};
  std::function<void(const Ref<Object>&, const Error&)> onError{};
  std::function<void(const Ref<Object>&)> onDisposed{};
};

struct CompletableDoHandlers {
  std::function<void(const Error&)> onError{};  // before the error is forwarded
  std::function<void(const Error&)> afterError{};
  std::function<void()> onCompleted{};  // before the completion is forwarded
  std::function<void()> afterCompleted{};
  std::function<void()> onSubscribe{};   // must not throw
  std::function<void()> onSubscribed{};  // must not throw
  std::function<void()> onDispose{};     // must not throw
};

namespace detail {

template <class S>
concept CompletableRange = std::ranges::forward_range<const S> &&
    std::is_same_v<std::remove_cvref_t<std::ranges::range_value_t<const S>>, Completable>;

template <class T>
class PrimitiveSequenceOperators<CompletableTrait, T> {
  static_assert(std::is_same_v<T, Never>, "a Completable has no elements");
  // Completable, spelled so that it depends on T: the sequence type derives
  // from this class, so it is complete only once this class is.
  using Self = PrimitiveSequence<CompletableTrait, T>;

 public:
  // A Completable from `subscribe(CompletableObserver) -> Ref<Disposable>`,
  // called once per subscription. The first outcome wins.
  template <class Subscribe>
  requires std::is_invocable_r_v<Ref<Disposable>, Subscribe&, CompletableObserver> static Self
  create(Subscribe subscribe) {
    return Self(rv::create<Never>(
        [subscribe = std::move(subscribe)](AnyObserver<Never> observer) mutable -> Ref<Disposable> {
          return subscribe(CompletableObserver([observer](CompletableEvent event) mutable {
            if (const Error* error = event.error()) {
              observer.onError(*error);
            } else {
              observer.onCompleted();
            }
          }));
        }));
  }

  // Subscribes `observer(CompletableEvent)`, which receives one outcome. The
  // observer must not throw.
  template <class Observer>
  requires std::is_invocable_v<Observer&, CompletableEvent> Ref<Disposable> subscribe(
      Observer observer)
  const {
    return rv::subscribe(self(), [observer = std::move(observer),
                                  stopped = false](const Event<Never>& event) mutable {
      if (stopped) return;
      stopped = true;
      if (const Error* error = event.error()) {
        observer(CompletableEvent::error(*error));
      } else if (event.isCompleted()) {
        observer(CompletableEvent::completed());
      } else {
        fatalError("Completables can't emit values");
      }
    });
  }

  // Subscribes optional handlers. Disposing the result ends the subscription
  // and runs onDisposed once.
  Ref<Disposable> subscribe(CompletableSubscribeHandlers handlers) const {
    Ref<Disposable> disposable =
        handlers.onDisposed ? Ref<Disposable>(Disposables::create(std::move(handlers.onDisposed)))
                            : Disposables::create();
    Ref<Disposable> subscription =
        subscribe([onCompleted = std::move(handlers.onCompleted),
                   onError = std::move(handlers.onError), disposable](CompletableEvent event) {
          if (const Error* error = event.error()) {
            if (onError) {
              onError(*error);
            } else {
              Hooks::defaultErrorHandler()({}, *error);
            }
          } else if (onCompleted) {
            onCompleted();
          }
          disposable->dispose();
        });
    return Disposables::create(std::move(subscription), std::move(disposable));
  }

  // The same with handlers that receive `object` first, held weakly: once it
  // is gone no handler runs (not even onDisposed), and an error without
  // onError is dropped instead of reaching the default error handler.
  template <class Object>
  Ref<Disposable> subscribe(
      const Ref<Object>& object,
      std::type_identity_t<CompletableSubscribeWithHandlers<Object>> h) const {
    Weak<Object> weak = object;
    return subscribe(CompletableSubscribeHandlers{
        .onCompleted = detail::withWeakObject(weak, std::move(h.onCompleted)),
        .onError = detail::withWeakObject(weak, std::move(h.onError)),
        .onDisposed = detail::withWeakObject(weak, std::move(h.onDisposed))});
  }

  static Self error(Error error) { return Self(rv::error<Never>(std::move(error))); }

  static Self never() { return Self(rv::never<Never>()); }

  // Completes at once.
  static Self empty() { return Self(rv::empty<Never>()); }

  // Side effects around the outcome, the subscription and the disposal; a
  // throwing event handler turns into the sequence's error.
  Self doOn(CompletableDoHandlers h) const {
    return Self(rv::doOn(self(), DoHandlers<Never>{.onError = std::move(h.onError),
                                                   .afterError = std::move(h.afterError),
                                                   .onCompleted = std::move(h.onCompleted),
                                                   .afterCompleted = std::move(h.afterCompleted),
                                                   .onSubscribe = std::move(h.onSubscribe),
                                                   .onSubscribed = std::move(h.onSubscribed),
                                                   .onDispose = std::move(h.onDispose)}));
  }

  // This completable, then `second`.
  Self concat(const Self& second) const {
    return concat(std::vector<Self>{static_cast<const Self&>(*this), second});
  }

  // The completables one after another: each is subscribed when the previous
  // one has completed; the first error ends the result. A range that knows
  // its size is read into an array at once; any other is read lazily, one
  // completable per step.
  template <CompletableRange Sources>
  static Self concat(const Sources& sources) {
    if constexpr (std::ranges::sized_range<const Sources>) {
      return Self(rv::concat(observables(sources)));
    } else {
      return Self(rv::concat(sources));
    }
  }

  // The given completables one after another.
  template <class... Rest>
  requires(std::is_same_v<Rest, Self>&&...) static Self
      concat(const Self& first, const Self& second, const Rest&... rest) {
    return concat(std::vector<Self>{first, second, rest...});
  }

  // All completables at once: completes when every one has completed, fails
  // with the first error.
  template <CompletableRange Sources>
  static Self zip(const Sources& sources) {
    return Self(rv::merge(observables(sources)));
  }

  // The given completables at once.
  template <class... Rest>
  requires(std::is_same_v<Rest, Self>&&...) static Self
      zip(const Self& first, const Rest&... rest) {
    return zip(std::vector<Self>{first, rest...});
  }

  // Once this completable has completed, the events of `second`; an error of
  // this completable ends the result and `second` is never subscribed.
  template <class E>
  Single<E> andThen(const Single<E>& second) const {
    return Single<E>(makeConcatCompletable(self(), second.asObservable()));
  }
  template <class E>
  Maybe<E> andThen(const Maybe<E>& second) const {
    return Maybe<E>(makeConcatCompletable(self(), second.asObservable()));
  }
  Self andThen(const Self& second) const {
    return Self(makeConcatCompletable(self(), second.asObservable()));
  }
  template <ObservableConvertible S>
  requires(!IsPrimitiveSequence<S>::value) Ref<Observable<ElementOf<S>>> andThen(const S& second)
  const { return makeConcatCompletable(self(), rv::asObservable(second)); }

 private:
  const Ref<Observable<Never>>& self() const noexcept {
    return static_cast<const Self&>(*this).asObservable();
  }

  template <class Sources>
  static std::vector<Ref<Observable<Never>>> observables(const Sources& sources) {
    std::vector<Ref<Observable<Never>>> out;
    for (const auto& source : sources) out.push_back(rv::asObservable(source));
    return out;
  }
};

}  // namespace detail

static_assert(sizeof(Completable) == sizeof(Ref<Observable<Never>>));

}  // namespace rv
