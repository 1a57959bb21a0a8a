#pragma once

// A sequence whose type promises it never fails: elements and possibly one
// completion, no error. A value whose only member is the wrapped observable.
//
// Sequences come in only through `create` (whose events have no error case),
// through the operators below (each keeps the promise of its input) and
// through the three conversions at the end, which turn an error of any
// sequence into something else. Should an error reach an infallible
// subscriber all the same, it is reported on standard output, not delivered.
//
// Every operator unwraps, applies the observable operator of the same
// meaning and wraps the result; nothing is subscribed until the result is:
//
//   Infallible<int>::just(2).map([](int x) { return x * 2; })
//       .subscribe({.onNext = [](const int& x) { ... }});

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <ranges>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "RvStreams/Catch.h"
#include "RvStreams/CombineLatest.h"
#include "RvStreams/Concat.h"
#include "RvStreams/Create.h"
#include "RvStreams/Debounce.h"
#include "RvStreams/Debug.h"
#include "RvStreams/Deferred.h"
#include "RvStreams/DistinctUntilChanged.h"
#include "RvStreams/Do.h"
#include "RvStreams/ErrorReport.h"
#include "RvStreams/FixedArity.h"
#include "RvStreams/FlatMapLatest.h"
#include "RvStreams/From.h"
#include "RvStreams/Just.h"
#include "RvStreams/Map.h"
#include "RvStreams/Merge.h"
#include "RvStreams/Observable.h"
#include "RvStreams/Scan.h"
#include "RvStreams/Share.h"
#include "RvStreams/Skip.h"
#include "RvStreams/SkipTakeTime.h"
#include "RvStreams/StartWith.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/Take.h"
#include "RvStreams/Throttle.h"
#include "RvStreams/WithLatestFrom.h"
#include "RvStreams/WithUnretained.h"
#include "RvStreams/Zip.h"

namespace rv {

// One event of an Infallible: next with an element, or completed.
template <class T>
class InfallibleEvent {
 public:
  static InfallibleEvent next(T element) { return InfallibleEvent(std::move(element)); }
  static InfallibleEvent completed() { return InfallibleEvent(std::nullopt); }

  bool isCompleted() const noexcept { return !element_.has_value(); }
  // The element of a next event; null for completed.
  const T* element() const noexcept { return element_ ? &*element_ : nullptr; }

  // The Event of the same meaning; never an error.
  Event<T> event() const { return element_ ? Event<T>::next(*element_) : Event<T>::completed(); }

 private:
  explicit InfallibleEvent(std::optional<T> element) : element_(std::move(element)) {}

  std::optional<T> element_;
};

// "next(<element>)" or "completed".
template <class T>
std::string describe(const InfallibleEvent<T>& event) {
  return describe(event.event());
}

// The event function handed to the closure of Infallible::create.
template <class T>
using InfallibleObserver = std::function<void(InfallibleEvent<T>)>;

template <class T>
struct InfallibleSubscribeHandlers {
  std::function<void(const T&)> onNext{};
  std::function<void()> onCompleted{};
  // Runs once: after the completion, or when the subscription is disposed.
  std::function<void()> onDisposed{};
};

template <class Object, class T>
struct InfallibleSubscribeWithHandlers {
  std::function<void(const Ref<Object>&, const T&)> onNext{};
  std::function<void(const Ref<Object>&)> onCompleted{};
  std::function<void(const Ref<Object>&)> onDisposed{};
};

template <class T>
struct InfallibleDoHandlers {
  std::function<void(const T&)> onNext{};     // before the element is forwarded
  std::function<void(const T&)> afterNext{};  // after it is forwarded
  std::function<void()> onCompleted{};
  std::function<void()> afterCompleted{};
  std::function<void()> onSubscribe{};   // must not throw
  std::function<void()> onSubscribed{};  // must not throw
  std::function<void()> onDispose{};     // must not throw
};

template <class T>
class Infallible;

namespace detail {
template <class S>
struct IsInfallibleValue : std::false_type {};
template <class T>
struct IsInfallibleValue<Infallible<T>> : std::true_type {};

template <class S, class T>
concept InfallibleRange = std::ranges::forward_range<const S> &&
    std::is_same_v<std::remove_cvref_t<std::ranges::range_value_t<const S>>, Infallible<T>>;
}  // namespace detail

template <class T>
class Infallible {
 public:
  using Element = T;

  // Wraps `source` without checking anything: the caller answers for the
  // promise.
  explicit Infallible(Ref<Observable<T>> source) : source_(std::move(source)) {}

  // The very observable the sequence was made from.
  const Ref<Observable<T>>& asObservable() const noexcept { return source_; }

  // --- creation ---

  // An Infallible from `subscribe(InfallibleObserver<T>) -> Ref<Disposable>`,
  // called once per subscription. Nothing passes after the completion.
  template <class Subscribe>
  requires std::is_invocable_r_v<Ref<Disposable>, Subscribe&,
                                 InfallibleObserver<T>> static Infallible
  create(Subscribe subscribe) {
    return Infallible(rv::create<T>(
        [subscribe = std::move(subscribe)](AnyObserver<T> observer) mutable -> Ref<Disposable> {
          return subscribe(InfallibleObserver<T>([observer](InfallibleEvent<T> event) mutable {
            if (const T* element = event.element()) {
              observer.onNext(*element);
            } else {
              observer.onCompleted();
            }
          }));
        }));
  }

  static Infallible just(T element) { return Infallible(rv::just(std::move(element))); }

  // Delivers the element and the completion on `scheduler`.
  static Infallible just(T element, Ref<ImmediateSchedulerType> scheduler) {
    return Infallible(rv::just(std::move(element), scheduler));
  }

  static Infallible never() { return Infallible(rv::never<T>()); }

  // Completes at once.
  static Infallible empty() { return Infallible(rv::empty<T>()); }

  // Calls `factory()` on every subscription and subscribes to the Infallible
  // it returns. A factory that throws ends that subscription with the error.
  template <class Factory>
  static Infallible deferred(Factory factory) {
    static_assert(std::is_same_v<std::decay_t<std::invoke_result_t<Factory&>>, Infallible>,
                  "the factory must return an Infallible of the same element");
    return Infallible(rv::deferred(
        [factory = std::move(factory)]() mutable { return factory().asObservable(); }));
  }

  // The listed elements, one per action on `scheduler`, then completion.
  static Infallible of(std::initializer_list<T> elements, Ref<ImmediateSchedulerType> scheduler) {
    return Infallible(rv::of(elements, std::move(scheduler)));
  }

  // The elements of `elements` (an array or any multi-pass range, copied in),
  // one per action on `scheduler`, then completion.
  template <std::ranges::forward_range Sequence>
  requires std::is_same_v<std::ranges::range_value_t<std::decay_t<Sequence>>, T>
  static Infallible from(Sequence&& elements, Ref<ImmediateSchedulerType> scheduler) {
    return Infallible(rv::from(std::forward<Sequence>(elements), std::move(scheduler)));
  }

  // The sequences one after another.
  template <detail::InfallibleRange<T> Sources>
  static Infallible concat(const Sources& sources) {
    return Infallible(rv::concat(observables(sources)));
  }
  template <class... Rest>
  requires(std::is_same_v<Rest, Infallible>&&...) static Infallible
      concat(const Infallible& first, const Infallible& second, const Rest&... rest) {
    return concat(std::vector<Infallible>{first, second, rest...});
  }

  // The sequences' elements as they arrive.
  template <detail::InfallibleRange<T> Sources>
  static Infallible merge(const Sources& sources) {
    return Infallible(rv::merge(observables(sources)));
  }
  template <class... Rest>
  requires(std::is_same_v<Rest, Infallible>&&...) static Infallible
      merge(const Infallible& first, const Rest&... rest) {
    return merge(std::vector<Infallible>{first, rest...});
  }

  // Once every Infallible of `sources` has emitted, emits
  // `resultSelector(const std::vector<T>&)` over their latest elements, in
  // collection order, whenever one of them emits.
  template <detail::InfallibleRange<T> Sources, class Selector>
  static auto combineLatest(const Sources& sources, Selector resultSelector) {
    return wrap(rv::combineLatest(sources, std::move(resultSelector)));
  }

  // The same, each element the vector of the latest elements.
  template <detail::InfallibleRange<T> Sources>
  static Infallible<std::vector<T>> combineLatest(const Sources& sources) {
    return wrap(rv::combineLatest(sources));
  }

  // --- subscription ---

  // Subscribes `handler(InfallibleEvent<T>)`. An error, should one reach it
  // against the promise, is reported on standard output and not handed on;
  // the subscription then ends. The handler must not throw.
  template <class Handler>
  requires std::is_invocable_v<Handler&, InfallibleEvent<T>> Ref<Disposable> subscribe(
      Handler handler)
  const {
    return rv::subscribe(source_, [handler = std::move(handler)](const Event<T>& event) mutable {
      if (const T* element = event.element()) {
        handler(InfallibleEvent<T>::next(*element));
      } else if (const Error* error = event.error()) {
        reportInfallibleError(*error, __FILE__, __LINE__);
      } else {
        handler(InfallibleEvent<T>::completed());
      }
    });
  }

  // Subscribes optional handlers. An error against the promise goes to
  // Hooks::defaultErrorHandler. Disposing the result ends the subscription
  // and runs onDisposed once.
  Ref<Disposable> subscribe(InfallibleSubscribeHandlers<T> h) const {
    return rv::subscribe(source_, SubscribeHandlers<T>{.onNext = std::move(h.onNext),
                                                       .onCompleted = std::move(h.onCompleted),
                                                       .onDisposed = std::move(h.onDisposed)});
  }

  // The same with handlers that receive `object` first, held weakly: once it
  // is gone no handler runs (not even onDisposed). An error against the
  // promise is dropped.
  template <class Object>
  Ref<Disposable> subscribe(
      const Ref<Object>& object,
      std::type_identity_t<InfallibleSubscribeWithHandlers<Object, T>> h) const {
    return rv::subscribe(source_, object,
                         SubscribeWithHandlers<Object, T>{.onNext = std::move(h.onNext),
                                                          .onCompleted = std::move(h.onCompleted),
                                                          .onDisposed = std::move(h.onDisposed)});
  }

  // --- operators ---

  template <class Predicate>
  Infallible filter(Predicate predicate) const {
    return Infallible(source_ | rv::filter(std::move(predicate)));
  }

  template <class F>
  auto map(F transform) const {
    return wrap(source_ | rv::map(std::move(transform)));
  }

  // Keeps the present results of `transform(const T&) -> std::optional<R>`.
  template <class F>
  auto compactMap(F transform) const {
    return wrap(source_ | rv::compactMap(std::move(transform)));
  }

  // Drops an element equal (==) to the previous one.
  Infallible distinctUntilChanged() const {
    return Infallible(source_ | rv::distinctUntilChanged());
  }

  // `f` is a key selector (const T&) -> K with equatable keys, a comparer
  // (const T&, const T&) -> bool, or a pointer to a member compared with ==.
  template <class F>
  Infallible distinctUntilChanged(F f) const {
    return Infallible(source_ | rv::distinctUntilChanged(std::move(f)));
  }

  template <class Selector, class Comparer>
  Infallible distinctUntilChanged(Selector keySelector, Comparer comparer) const {
    return Infallible(source_ |
                      rv::distinctUntilChanged(std::move(keySelector), std::move(comparer)));
  }

  Infallible debounce(DispatchTimeInterval dueTime, Ref<SchedulerType> scheduler) const {
    return Infallible(source_ | rv::debounce(dueTime, std::move(scheduler)));
  }

  Infallible throttle(DispatchTimeInterval dueTime, bool latest,
                      Ref<SchedulerType> scheduler) const {
    return Infallible(source_ | rv::throttle(dueTime, latest, std::move(scheduler)));
  }

  // The selectors return any sequence that converts to an observable; an
  // error of such a sequence passes into the result.
  template <class Selector>
  auto flatMap(Selector selector) const {
    return wrap(source_ | rv::flatMap(std::move(selector)));
  }
  template <class Selector>
  auto flatMapLatest(Selector selector) const {
    return wrap(rv::asObservable(source_ | rv::flatMapLatest(std::move(selector))));
  }
  template <class Selector>
  auto flatMapFirst(Selector selector) const {
    return wrap(source_ | rv::flatMapFirst(std::move(selector)));
  }
  template <class Selector>
  auto concatMap(Selector selector) const {
    return wrap(source_ | rv::concatMap(std::move(selector)));
  }

  // This sequence, then `second` (any sequence of the same element type).
  template <ObservableConvertible Second>
  Infallible concat(const Second& second) const {
    static_assert(std::is_same_v<ElementOf<Second>, T>, "concat of another element type");
    return Infallible(rv::concat(source_, rv::asObservable(second)));
  }

  Infallible doOn(InfallibleDoHandlers<T> h) const {
    return Infallible(rv::doOn(source_, DoHandlers<T>{.onNext = std::move(h.onNext),
                                                      .afterNext = std::move(h.afterNext),
                                                      .onCompleted = std::move(h.onCompleted),
                                                      .afterCompleted = std::move(h.afterCompleted),
                                                      .onSubscribe = std::move(h.onSubscribe),
                                                      .onSubscribed = std::move(h.onSubscribed),
                                                      .onDispose = std::move(h.onDispose)}));
  }

  // `accumulator(A& accumulated, const T& element)` changes it in place.
  template <class A, class F>
  Infallible<A> scanInto(A seed, F accumulator) const {
    return Infallible<A>(source_ | rv::scanInto(std::move(seed), std::move(accumulator)));
  }

  // `accumulator(const A& accumulated, const T& element) -> A`.
  template <class A, class F>
  Infallible<A> scan(A seed, F accumulator) const {
    return Infallible<A>(source_ | rv::scan(std::move(seed), std::move(accumulator)));
  }

  Infallible startWith(T element) const {
    return Infallible(source_ | rv::startWith(std::move(element)));
  }

  // Elements until `other` (an Infallible or any other sequence) emits.
  template <ObservableConvertible Other>
  Infallible takeUntil(const Other& other) const {
    return Infallible(source_ | rv::takeUntil(other));
  }

  // Elements until `predicate(const T&)` holds.
  template <class Predicate>
  requires(!ObservableConvertible<Predicate>) Infallible
      takeUntil(Predicate predicate, TakeBehavior behavior)
  const { return Infallible(source_ | rv::takeUntil(std::move(predicate), behavior)); }

  // Elements while `predicate(const T&)` holds.
  template <class Predicate>
  Infallible takeWhile(Predicate predicate, TakeBehavior behavior = TakeBehavior::exclusive) const {
    return Infallible(source_ | rv::takeWhile(std::move(predicate), behavior));
  }

  Infallible take(int64_t count) const { return Infallible(source_ | rv::take(count)); }

  // Elements for `duration` after the subscription.
  Infallible takeFor(DispatchTimeInterval duration, Ref<SchedulerType> scheduler) const {
    return Infallible(source_ | rv::takeFor(duration, std::move(scheduler)));
  }

  template <class Predicate>
  Infallible skipWhile(Predicate predicate) const {
    return Infallible(source_ | rv::skipWhile(std::move(predicate)));
  }

  // Drops elements until `other` emits.
  template <ObservableConvertible Other>
  Infallible skipUntil(const Other& other) const {
    return Infallible(source_ | rv::skipUntil(other));
  }

  Infallible share(int64_t replay = 0,
                   SubjectLifetimeScope scope = SubjectLifetimeScope::whileConnected) const {
    return Infallible(source_ | rv::share(replay, scope));
  }

  // Combines each element with `object` through
  // `resultSelector(const Ref<Object>&, const T&)` while the object lives;
  // the first element after it is gone completes the result.
  template <class Object, class Selector>
  auto withUnretained(const Ref<Object>& object, Selector resultSelector) const {
    return wrap(source_ | rv::withUnretained(object, std::move(resultSelector)));
  }
  template <class Object>
  auto withUnretained(const Ref<Object>& object) const {
    return wrap(source_ | rv::withUnretained(object));
  }

  // Combines each element with the latest of `second`.
  template <class S, class Selector>
  auto withLatestFrom(const Infallible<S>& second, Selector resultSelector) const {
    return wrap(source_ | rv::withLatestFrom(second.asObservable(), std::move(resultSelector)));
  }
  template <class S>
  Infallible<S> withLatestFrom(const Infallible<S>& second) const {
    return Infallible<S>(source_ | rv::withLatestFrom(second.asObservable()));
  }

  // Traces subscription, events and disposal on standard output.
  Infallible debug(std::optional<std::string> identifier = std::nullopt, bool trimOutput = false,
                   const char* file = __builtin_FILE(), int line = __builtin_LINE(),
                   const char* function = __builtin_FUNCTION()) const {
    return Infallible(source_ | rv::debug(std::move(identifier), trimOutput, file, line, function));
  }

 private:
  template <class R>
  static Infallible<R> wrap(Ref<Observable<R>> source) {
    return Infallible<R>(std::move(source));
  }

  template <class Sources>
  static std::vector<Ref<Observable<T>>> observables(const Sources& sources) {
    std::vector<Ref<Observable<T>>> out;
    for (const Infallible& source : sources) out.push_back(source.asObservable());
    return out;
  }

  Ref<Observable<T>> source_;
};

static_assert(sizeof(Infallible<int>) == sizeof(Ref<Observable<int>>));

namespace detail {
// Two to eight Infallibles, then optionally a selector.
template <class... Args>
concept InfallibleFixedArityCall = isFixedArityCallOf<IsInfallibleValue, Args...>();
// The same with the selector.
template <class... Args>
concept InfallibleSelectorCall = InfallibleFixedArityCall<Args...> && endsWithSelector<Args...>();
}  // namespace detail

// combineLatest of two to eight Infallibles, of any element types, then
// optionally a selector taking one `const E&` per source; without a selector
// the element is the tuple of the latest elements. A selector that throws
// breaks the promise: its error reaches the subscriber as any error would.
template <class E1, class... Args>
requires detail::InfallibleFixedArityCall<Infallible<E1>, Args...>
auto combineLatest(const Infallible<E1>& source1, const Args&... rest) {
  auto combined = detail::makeFixedArity<detail::CombineLatest>(source1, rest...);
  return Infallible<ElementOf<decltype(combined)>>(std::move(combined));
}

// zip of two to eight Infallibles, of any element types, and a selector
// taking the n-th element of every source, in source order.
template <class E1, class... Args>
requires detail::InfallibleSelectorCall<Infallible<E1>, Args...>
auto zip(const Infallible<E1>& source1, const Args&... rest) {
  auto zipped = detail::makeFixedArity<detail::Zip>(source1, rest...);
  return Infallible<ElementOf<decltype(zipped)>>(std::move(zipped));
}

namespace detail {

template <class T>
struct AsInfallibleFallbackOp : OperatorTag {
  Infallible<T> fallback;
  template <class S>
  Infallible<T> operator()(const S& source) && {
    static_assert(std::is_same_v<ElementOf<S>, T>, "fallback of another element type");
    return Infallible<T>(rv::asObservable(source) |
                         rv::catchError([fallback = std::move(fallback)](const Error&) {
                           return fallback.asObservable();
                         }));
  }
};

template <class E>
struct AsInfallibleJustReturnOp : OperatorTag {
  E element;
  template <class S>
  Infallible<ElementOf<S>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return Infallible<T>(rv::asObservable(source) | rv::catchAndReturn(T(std::move(element))));
  }
};

template <class Recover>
struct AsInfallibleRecoverOp : OperatorTag {
  Recover recover;
  template <class S>
  Infallible<ElementOf<S>> operator()(const S& source) && {
    using T = ElementOf<S>;
    static_assert(
        std::is_same_v<std::decay_t<std::invoke_result_t<Recover&, const Error&>>, Infallible<T>>,
        "the recovery must return an Infallible of the source's element type");
    return Infallible<T>(rv::asObservable(source) |
                         rv::catchError([recover = std::move(recover)](const Error& error) mutable {
                           return recover(error).asObservable();
                         }));
  }
};

}  // namespace detail

// Converts any sequence to an Infallible that continues with `fallback`
// instead of failing.
template <class T>
detail::AsInfallibleFallbackOp<T> asInfallible(Infallible<T> onErrorFallbackTo) {
  return {{}, std::move(onErrorFallbackTo)};
}

// Converts any sequence to an Infallible that ends with `element` and
// completion instead of failing.
template <class E>
detail::AsInfallibleJustReturnOp<std::decay_t<E>> asInfallibleOnErrorJustReturn(E&& element) {
  return {{}, std::forward<E>(element)};
}

// Converts any sequence to an Infallible that continues with the Infallible
// `recover(const Error&)` returns for the error instead of failing.
template <class Recover>
detail::AsInfallibleRecoverOp<std::decay_t<Recover>> asInfallibleOnErrorRecover(Recover&& recover) {
  return {{}, std::forward<Recover>(recover)};
}

}  // namespace rv
