#pragma once

// Shared sequences: observable sequences whose type carries three promises.
// They never fail, they deliver on their strategy's scheduler (the main
// queue unless SharingScheduler is mocked), and all their subscribers share
// one subscription to the source. `Driver` replays the latest element to
// each subscriber that joins while connected; `Signal` replays nothing.
//
// A SharedSequence is a value whose only member is the shared observable:
// copying it copies the reference, so copies share one subscription. Nothing
// checks the promises at run time; they hold because every value is built
// through the creation functions here, the operators, or the conversions of
// SharedSequenceConversions.h, which catch errors and move delivery onto the
// scheduler.
//
//   auto count = source | rv::asDriverOnErrorJustReturn(0);
//   auto text = count.map([](int n) { return std::to_string(n); });
//   auto d = text.drive(label.text());               // main thread only
//   auto e = clicks.emit({.onNext = [](const Unit&) { ... }});   // a Signal
//   auto both = rv::combineLatest(count, text);      // a Driver of tuples

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvCocoa/BindingTargets.h"
#include "RvCocoa/SharingScheduler.h"
#include "RvRelay/BehaviorRelay.h"
#include "RvRelay/PublishRelay.h"
#include "RvRelay/ReplayRelay.h"
#include "RvStreams/CombineLatest.h"
#include "RvStreams/Concat.h"
#include "RvStreams/Debounce.h"
#include "RvStreams/Debug.h"
#include "RvStreams/Deferred.h"
#include "RvStreams/Delay.h"
#include "RvStreams/DistinctUntilChanged.h"
#include "RvStreams/Do.h"
#include "RvStreams/FixedArity.h"
#include "RvStreams/FlatMapLatest.h"
#include "RvStreams/From.h"
#include "RvStreams/Infallible.h"
#include "RvStreams/Just.h"
#include "RvStreams/MainScheduler.h"
#include "RvStreams/Map.h"
#include "RvStreams/Merge.h"
#include "RvStreams/Observable.h"
#include "RvStreams/Scan.h"
#include "RvStreams/Share.h"
#include "RvStreams/Skip.h"
#include "RvStreams/StartWith.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/SubscribeOn.h"
#include "RvStreams/Throttle.h"
#include "RvStreams/Timer.h"
#include "RvStreams/WithLatestFrom.h"
#include "RvStreams/WithUnretained.h"
#include "RvStreams/Zip.h"
#include "async/AsyncStream.h"

namespace rv {

// A family of shared sequences: the scheduler it delivers on and how it
// shares one subscription among its subscribers.
template <class S>
concept SharingStrategyProtocol = requires(Ref<Observable<int>> source) {
  { S::scheduler() } -> std::convertible_to<Ref<SchedulerType>>;
  { S::template share<int>(source) } -> std::same_as<Ref<Observable<int>>>;
};

// Replays the latest element to a subscriber that joins while connected.
struct DriverSharingStrategy {
  // SharingScheduler::make(): by default a new MainScheduler per read.
  static Ref<SchedulerType> scheduler() { return SharingScheduler::make(); }
  template <class T>
  static Ref<Observable<T>> share(Ref<Observable<T>> source) {
    return std::move(source) | rv::shareWhileConnected<1>();
  }
};

// Replays nothing: a subscriber sees only what is emitted after it joined.
struct SignalSharingStrategy {
  static Ref<SchedulerType> scheduler() { return SharingScheduler::make(); }
  template <class T>
  static Ref<Observable<T>> share(Ref<Observable<T>> source) {
    return std::move(source) | rv::shareWhileConnected<0>();
  }
};

template <SharingStrategyProtocol Strategy, class T>
class SharedSequence;

template <class T>
using Driver = SharedSequence<DriverSharingStrategy, T>;
template <class T>
using Signal = SharedSequence<SignalSharingStrategy, T>;

// Everything that can present itself as a shared sequence.
template <class S>
concept SharedSequenceConvertible = requires(const std::remove_cvref_t<S>& s) {
  typename std::remove_cvref_t<S>::SharingStrategy;
  typename std::remove_cvref_t<S>::Element;
  {
    s.asSharedSequence()
    } -> std::convertible_to<SharedSequence<typename std::remove_cvref_t<S>::SharingStrategy,
                                            typename std::remove_cvref_t<S>::Element>>;
};

namespace detail {
template <class S>
struct IsSharedSequence : std::false_type {};
template <class Strategy, class T>
struct IsSharedSequence<SharedSequence<Strategy, T>> : std::true_type {};

template <class Strategy>
inline constexpr bool kDriver = std::is_same_v<Strategy, DriverSharingStrategy>;
template <class Strategy>
inline constexpr bool kSignal = std::is_same_v<Strategy, SignalSharingStrategy>;
template <class Strategy>
inline constexpr bool kDriverOrSignal = kDriver<Strategy> || kSignal<Strategy>;

// A collection of shared sequences of exactly the type `Sequence`.
template <class Sources, class Sequence>
concept SharedSequenceRange =
    std::ranges::input_range<const std::remove_cvref_t<Sources>> && std::is_same_v<
        std::remove_cvref_t<std::ranges::range_value_t<const std::remove_cvref_t<Sources>>>,
        Sequence>;

// The shared sequence a flatMap selector returns for an element of T.
template <class Selector, class T>
struct SelectedSharedSequence {
  using Type = std::decay_t<std::invoke_result_t<Selector&, const T&>>;
  static_assert(IsSharedSequence<Type>::value, "the selector must return a shared sequence");
  using SharingStrategy = typename Type::SharingStrategy;
};

// Source sequences of one strategy, for combineLatest and zip.
template <class Strategy>
struct SharedSequenceOfStrategy {
  template <class S>
  struct Is : std::false_type {};
  template <class T>
  struct Is<SharedSequence<Strategy, T>> : std::true_type {};
};

// Why every drive form insists on the main thread.
inline constexpr std::string_view kDriveOffMainThreadMessage =
    "`drive*` family of methods can be only called from `MainThread`.\n"
    "This is required to ensure that the last replayed `Driver` element is delivered on "
    "`MainThread`.\n";
}  // namespace detail

template <SharingStrategyProtocol Strategy, class T>
class SharedSequence {
 public:
  using SharingStrategy = Strategy;
  using Element = T;

  // Shares `source` as the strategy prescribes. `source` must already never
  // fail and deliver on the strategy's scheduler.
  explicit SharedSequence(Ref<Observable<T>> source)
      : source_(Strategy::template share<T>(std::move(source))) {}

  // Wraps `source` as it is: it must already keep every promise, sharing
  // included, or need no sharing.
  static SharedSequence raw(Ref<Observable<T>> source) {
    return SharedSequence(RawTag{}, std::move(source));
  }

  // The shared observable itself.
  const Ref<Observable<T>>& asObservable() const noexcept { return source_; }
  const SharedSequence& asSharedSequence() const noexcept { return *this; }

  // The value itself, for a Driver (no new sharing layer).
  SharedSequence asDriver() const requires std::same_as<Strategy, DriverSharingStrategy> {
    return *this;
  }
  // The value itself, for a Signal.
  SharedSequence asSignal() const requires std::same_as<Strategy, SignalSharingStrategy> {
    return *this;
  }

  // As an Infallible; an error, could one come, would end it with completion.
  Infallible<T> asInfallible() const { return source_ | rv::asInfallible(Infallible<T>::empty()); }

  // An asynchronous stream of the elements, subscribed at once and buffered
  // without limit. It finishes when the sequence completes; cancelling the
  // iterating task (or dropping the stream unfinished) disposes the
  // subscription.
  async::AsyncStream<T> values() const {
    using Continuation = typename async::AsyncStream<T>::Continuation;
    return async::AsyncStream<T>(async::BufferingPolicy::unbounded, [source = source_](
                                                                        Continuation continuation) {
      Ref<Disposable> subscription = rv::subscribe(
          source, SubscribeHandlers<T>{
                      .onNext = [continuation](const T& element) { continuation.yield(element); },
                      .onCompleted = [continuation] { continuation.finish(); },
                      // Only a source that broke the promise ends without
                      // completing (its error goes to the default error
                      // handler): end the stream rather than leave the consumer
                      // waiting for ever.
                      .onDisposed = [continuation] { continuation.finish(); },
                  });
      continuation.setOnTermination([subscription](async::Termination termination) {
        if (termination == async::Termination::cancelled) subscription->dispose();
      });
    });
  }

  // --- creation ---
  // The scheduler is read once, when the function is called.

  // Completes; the subscription happens on the scheduler. Not shared.
  static SharedSequence empty() {
    return raw(rv::empty<T>() | rv::subscribeOn(Strategy::scheduler()));
  }

  // Never emits and never completes.
  static SharedSequence never() { return raw(rv::never<T>()); }

  // Emits `element` and completes; the subscription happens on the
  // scheduler. Not shared: each subscriber gets its own.
  static SharedSequence just(T element) {
    return raw(rv::just(std::move(element)) | rv::subscribeOn(Strategy::scheduler()));
  }

  // Calls `factory()` (returning a SharedSequence of this strategy and
  // element) when a connection starts; subscribers present together share one
  // call.
  template <class Factory>
  static SharedSequence deferred(Factory factory) {
    static_assert(std::is_same_v<std::decay_t<std::invoke_result_t<Factory&>>, SharedSequence>,
                  "the factory must return a shared sequence of the same strategy and element");
    return SharedSequence(rv::deferred(
        [factory = std::move(factory)]() mutable { return factory().asObservable(); }));
  }

  // The elements one by one on the scheduler, then completion. Not shared.
  template <class... Elements>
  requires(std::is_constructible_v<T, Elements&&>&&...) static SharedSequence
      of(Elements&&... elements) {
    std::vector<T> array;
    array.reserve(sizeof...(Elements));
    (array.emplace_back(std::forward<Elements>(elements)), ...);
    return from(std::move(array));
  }

  // The elements of an array or of any multi-pass range (copied in), one by
  // one on the scheduler, then completion. Not shared.
  template <std::ranges::forward_range Sequence>
  requires std::is_same_v<std::ranges::range_value_t<std::decay_t<Sequence>>, T>
  static SharedSequence from(Sequence&& elements) {
    return raw(rv::from(std::forward<Sequence>(elements),
                        Ref<ImmediateSchedulerType>(Strategy::scheduler())));
  }

  // The value if there is one, then completion, on the scheduler. Not shared.
  static SharedSequence fromOptional(std::optional<T> optional) {
    return raw(
        rv::fromOptional(std::move(optional), Ref<ImmediateSchedulerType>(Strategy::scheduler())));
  }

  // 0, 1, 2, ... one per `period` on the scheduler, the first after one
  // period. Shared: subscribers present together share one timer.
  static SharedSequence interval(DispatchTimeInterval period) requires TimerElement<T> {
    return SharedSequence(rv::interval<T>(period, Strategy::scheduler()));
  }

  // 0 after `dueTime`, then 1, 2, ... one per `period`, on the scheduler.
  // Shared.
  static SharedSequence timer(DispatchTimeInterval dueTime,
                              DispatchTimeInterval period) requires TimerElement<T> {
    return SharedSequence(rv::timer<T>(dueTime, period, Strategy::scheduler()));
  }

  // --- static combining ---
  // The sources are SharedSequence values of this strategy and element.

  // The elements of all sources as they arrive.
  template <detail::SharedSequenceRange<SharedSequence> Sources>
  static SharedSequence merge(const Sources& sources) {
    return SharedSequence(rv::merge(sources));
  }
  template <class... Rest>
  requires(std::is_same_v<Rest, SharedSequence>&&...) static SharedSequence
      merge(const SharedSequence& first, const Rest&... rest) {
    return merge(std::vector<SharedSequence>{first, rest...});
  }

  // The sources one after another, each subscribed when the previous one
  // completed. The range is copied and walked afresh by every connection.
  template <detail::SharedSequenceRange<SharedSequence> Sources>
  requires std::ranges::forward_range<const std::remove_cvref_t<Sources>>
  static SharedSequence concat(Sources&& sources) {
    return SharedSequence(rv::concat(std::forward<Sources>(sources)));
  }

  // Once every source has emitted, `resultSelector(const std::vector<T>&)`
  // over their latest elements, in collection order, whenever one emits.
  template <detail::SharedSequenceRange<SharedSequence> Sources, class Selector>
  static auto combineLatest(const Sources& sources, Selector resultSelector) {
    return shareAs<Strategy>(rv::combineLatest(sources, std::move(resultSelector)));
  }
  // The same, each element the vector of the latest elements.
  template <detail::SharedSequenceRange<SharedSequence> Sources>
  static SharedSequence<Strategy, std::vector<T>> combineLatest(const Sources& sources) {
    return shareAs<Strategy>(rv::combineLatest(sources));
  }

  // The n-th element is `resultSelector(const std::vector<T>&)` over the n-th
  // elements of all sources, in collection order.
  template <detail::SharedSequenceRange<SharedSequence> Sources, class Selector>
  static auto zip(const Sources& sources, Selector resultSelector) {
    return shareAs<Strategy>(rv::zip(sources, std::move(resultSelector)));
  }
  // The same, each element the vector of the n-th elements.
  template <detail::SharedSequenceRange<SharedSequence> Sources>
  static SharedSequence<Strategy, std::vector<T>> zip(const Sources& sources) {
    return shareAs<Strategy>(rv::zip(sources));
  }

  // --- operators ---
  // Each applies the observable operator of the same meaning to the source
  // and shares the result anew, so subscribers attached at any step of a
  // chain share the work up to that step. The callables must not throw: a
  // shared sequence has no error path.

  // `selector(const T&) -> R`.
  template <class Selector>
  auto map(Selector selector) const {
    return shareAs<Strategy>(source_ | rv::map(std::move(selector)));
  }

  // The present results of `selector(const T&) -> std::optional<R>`.
  template <class Selector>
  auto compactMap(Selector selector) const {
    return shareAs<Strategy>(source_ | rv::compactMap(std::move(selector)));
  }

  template <class Predicate>
  SharedSequence filter(Predicate predicate) const {
    return SharedSequence(source_ | rv::filter(std::move(predicate)));
  }

  // On a shared sequence of shared sequences: follows only the latest inner
  // one. The result has the inner sequences' strategy.
  auto switchLatest() const requires SharedSequenceConvertible<T> {
    return shareAs<InnerStrategy<T>>(innerSequences() | rv::switchLatest());
  }

  // On a shared sequence of shared sequences: the elements of every inner one.
  auto merge() const requires SharedSequenceConvertible<T> {
    return shareAs<InnerStrategy<T>>(innerSequences() | rv::merge());
  }

  // The same with at most `maxConcurrent` inner sequences subscribed at once;
  // the others wait their turn.
  auto merge(int64_t maxConcurrent) const requires SharedSequenceConvertible<T> {
    return shareAs<InnerStrategy<T>>(innerSequences() | rv::merge(maxConcurrent));
  }

  // `selector(const T&)` returns a SharedSequence of any strategy; the result
  // has that strategy. Follows the latest inner sequence only.
  template <class Selector>
  auto flatMapLatest(Selector selector) const {
    return shareAs<SelectedStrategy<Selector>>(
        rv::asObservable(source_ | rv::flatMapLatest(std::move(selector))));
  }

  // As flatMapLatest, but elements arriving while an inner sequence is
  // active are dropped.
  template <class Selector>
  auto flatMapFirst(Selector selector) const {
    return shareAs<SelectedStrategy<Selector>>(source_ | rv::flatMapFirst(std::move(selector)));
  }

  // As flatMapLatest, but every inner sequence is followed.
  template <class Selector>
  auto flatMap(Selector selector) const {
    return shareAs<SelectedStrategy<Selector>>(source_ | rv::flatMap(std::move(selector)));
  }

  // Side effects around the events and the subscription (the handlers of an
  // Infallible: there is no error to watch).
  SharedSequence doOn(InfallibleDoHandlers<T> h) const {
    return SharedSequence(
        rv::doOn(source_, DoHandlers<T>{.onNext = std::move(h.onNext),
                                        .afterNext = std::move(h.afterNext),
                                        .onCompleted = std::move(h.onCompleted),
                                        .afterCompleted = std::move(h.afterCompleted),
                                        .onSubscribe = std::move(h.onSubscribe),
                                        .onSubscribed = std::move(h.onSubscribed),
                                        .onDispose = std::move(h.onDispose)}));
  }

  // Traces subscription, events and disposal on standard output.
  SharedSequence debug(std::optional<std::string> identifier = std::nullopt,
                       bool trimOutput = false, const char* file = __builtin_FILE(),
                       int line = __builtin_LINE(),
                       const char* function = __builtin_FUNCTION()) const {
    return SharedSequence(source_ |
                          rv::debug(std::move(identifier), trimOutput, file, line, function));
  }

  // Drops an element equal (==) to the previous one.
  SharedSequence distinctUntilChanged() const {
    return SharedSequence(source_ | rv::distinctUntilChanged());
  }

  // `f` is a key selector (const T&) -> K with equatable keys or a comparer
  // (const T&, const T&) -> bool.
  template <class F>
  SharedSequence distinctUntilChanged(F f) const {
    return SharedSequence(source_ | rv::distinctUntilChanged(std::move(f)));
  }

  // Keys from `keySelector`, compared with `comparer`.
  template <class Selector, class Comparer>
  SharedSequence distinctUntilChanged(Selector keySelector, Comparer comparer) const {
    return SharedSequence(source_ |
                          rv::distinctUntilChanged(std::move(keySelector), std::move(comparer)));
  }

  // At most one element per `dueTime`; with `latest`, also the newest element
  // of a window when it ends. The timers run on the strategy's scheduler,
  // read once, now.
  SharedSequence throttle(DispatchTimeInterval dueTime, bool latest) const {
    return SharedSequence(source_ | rv::throttle(dueTime, latest, Strategy::scheduler()));
  }

  // An element once `dueTime` passed without a newer one, timed on the
  // strategy's scheduler.
  SharedSequence debounce(DispatchTimeInterval dueTime) const {
    return SharedSequence(source_ | rv::debounce(dueTime, Strategy::scheduler()));
  }

  // Every event `dueTime` later, on the strategy's scheduler.
  SharedSequence delay(DispatchTimeInterval dueTime) const {
    return SharedSequence(source_ | rv::delay(dueTime, Strategy::scheduler()));
  }

  // Each new accumulated value, starting from `seed`;
  // `accumulator(const A&, const T&) -> A`.
  template <class A, class Accumulator>
  SharedSequence<Strategy, A> scan(A seed, Accumulator accumulator) const {
    return shareAs<Strategy>(source_ | rv::scan(std::move(seed), std::move(accumulator)));
  }

  // Each element combined through `resultSelector(const T&, const U&)` with
  // the latest element of `second`, a shared sequence of this strategy.
  template <SharedSequenceConvertible Second, class Selector>
  requires std::is_same_v<typename Second::SharingStrategy, Strategy>
  auto withLatestFrom(const Second& second, Selector resultSelector) const {
    return shareAs<Strategy>(
        source_ | rv::withLatestFrom(second.asSharedSequence(), std::move(resultSelector)));
  }
  // The latest element of `second` at each element.
  template <SharedSequenceConvertible Second>
  requires std::is_same_v<typename Second::SharingStrategy, Strategy>
  auto withLatestFrom(const Second& second) const {
    return shareAs<Strategy>(source_ | rv::withLatestFrom(second.asSharedSequence()));
  }

  // Drops the first `count` elements.
  SharedSequence skip(int64_t count) const { return SharedSequence(source_ | rv::skip(count)); }

  // `element` first, on every connection, then the source's elements.
  SharedSequence startWith(T element) const {
    return SharedSequence(source_ | rv::startWith(std::move(element)));
  }

  // Each element combined with `object`, held weakly, through
  // `resultSelector(const Ref<Object>&, const T&)`; the first element after
  // the object is gone completes the result.
  template <class Object, class Selector>
  requires detail::kDriverOrSignal<Strategy>
  auto withUnretained(const Ref<Object>& object, Selector resultSelector) const {
    return shareAs<Strategy>(source_ | rv::withUnretained(object, std::move(resultSelector)));
  }
  // The same with (object, element) tuples; the tuple holds the object.
  template <class Object>
  requires detail::kDriverOrSignal<Strategy>
  auto withUnretained(const Ref<Object>& object) const {
    return shareAs<Strategy>(source_ | rv::withUnretained(object));
  }

  // --- drive (Driver only) ---
  // Every form must be called on the main thread and stops the process
  // elsewhere: a Driver replays its latest element at once to a new
  // subscriber, and that element must arrive on the main thread too.

  // Each event to every observer (of T, or of std::optional<T> as present
  // optionals), in the order given. One subscription; the result ends it.
  template <class... Observers>
  requires detail::kDriver<Strategy> &&(sizeof...(Observers) > 0) &&
      (detail::ObserversOf<T, Observers...> || detail::OptionalObserversOf<T, Observers...>)
          Ref<Disposable> drive(const Observers&... observers) const {
    ensureDriveOnMainThread();
    return subscribeObservers(observers...);
  }

  // Each element accepted by every relay (behavior or replay relays, of T or
  // std::optional<T>), in order. Completion does not reach the relays.
  template <class... Relays>
  requires detail::kDriver<Strategy> &&
      (detail::RelaysOf<BehaviorRelay, T, Relays...> || detail::RelaysOf<ReplayRelay, T, Relays...>)
          Ref<Disposable> drive(const Relays&... relays) const {
    ensureDriveOnMainThread();
    return drive({.onNext = detail::acceptingInto<T>(relays...)});
  }

  // Returns `function(source)`: the function builds the connection itself.
  template <class Function>
  requires detail::kDriver<Strategy> && std::is_invocable_v < Function&, const Ref<Observable<T>>
  & > decltype(auto) drive(Function&& function) const {
    ensureDriveOnMainThread();
    return std::invoke(function, source_);
  }

  // Returns `function(source)(curriedArgument)`.
  template <class Function, class Argument>
  requires detail::kDriver<Strategy> && std::is_invocable_v < Function&, const Ref<Observable<T>>
  & > &&std::is_invocable_v<std::invoke_result_t<Function&, const Ref<Observable<T>>&>,
                            Argument&&> decltype(auto)
      drive(Function&& function, Argument&& curriedArgument) const {
    ensureDriveOnMainThread();
    return std::invoke(std::invoke(function, source_), std::forward<Argument>(curriedArgument));
  }

  // Up to three handlers; none for errors, which cannot come. With no
  // handlers the subscription only keeps the sequence connected.
  Ref<Disposable> drive(
      InfallibleSubscribeHandlers<T> handlers = {}) const requires detail::kDriver<Strategy> {
    ensureDriveOnMainThread();
    return subscribeHandlers(std::move(handlers));
  }

  // The same with handlers that receive `object` first, held weakly: once it
  // is gone no handler runs, yet the subscription stays until disposed.
  template <class Object>
  requires detail::kDriver<Strategy> Ref<Disposable> drive(
      const Ref<Object>& object,
      std::type_identity_t<InfallibleSubscribeWithHandlers<Object, T>> handlers)
  const {
    ensureDriveOnMainThread();
    return subscribeHandlers(object, std::move(handlers));
  }

  // --- emit (Signal only; any thread) ---

  // Each event to every observer (of T, or of std::optional<T>), in order.
  template <class... Observers>
  requires detail::kSignal<Strategy> &&(sizeof...(Observers) > 0) &&
      (detail::ObserversOf<T, Observers...> || detail::OptionalObserversOf<T, Observers...>)
          Ref<Disposable> emit(const Observers&... observers) const {
    return subscribeObservers(observers...);
  }

  // Each element accepted by every relay (publish, behavior or replay
  // relays, one kind per call, of T or std::optional<T>), in order.
  template <class... Relays>
  requires detail::kSignal<Strategy> &&
      (detail::RelaysOf<PublishRelay, T, Relays...> ||
       detail::RelaysOf<BehaviorRelay, T, Relays...> || detail::RelaysOf<ReplayRelay, T, Relays...>)
          Ref<Disposable> emit(const Relays&... relays) const {
    return emit({.onNext = detail::acceptingInto<T>(relays...)});
  }

  Ref<Disposable> emit(
      InfallibleSubscribeHandlers<T> handlers = {}) const requires detail::kSignal<Strategy> {
    return subscribeHandlers(std::move(handlers));
  }

  template <class Object>
  requires detail::kSignal<Strategy> Ref<Disposable> emit(
      const Ref<Object>& object,
      std::type_identity_t<InfallibleSubscribeWithHandlers<Object, T>> handlers)
  const { return subscribeHandlers(object, std::move(handlers)); }

 private:
  template <class Inner>
  using InnerStrategy = typename std::decay_t<
      decltype(std::declval<const Inner&>().asSharedSequence())>::SharingStrategy;

  template <class Selector>
  using SelectedStrategy = typename detail::SelectedSharedSequence<Selector, T>::SharingStrategy;

  // Wraps an observable as a shared sequence of strategy `S`, sharing it.
  template <class S, class O>
  static auto shareAs(const O& observable) {
    auto source = rv::asObservable(observable);
    using R = typename decltype(source)::element_type::Element;
    return SharedSequence<S, R>(std::move(source));
  }

  // The elements (convertibles) as SharedSequence values, so that the
  // observable layer subscribes to each one's shared source.
  auto innerSequences() const {
    return source_ | rv::map([](const T& inner) { return inner.asSharedSequence(); });
  }

  static void ensureDriveOnMainThread() {
    MainScheduler::ensureRunningOnMainThread(std::string(detail::kDriveOffMainThreadMessage));
  }

  template <class... Observers>
  Ref<Disposable> subscribeObservers(const Observers&... observers) const {
    if constexpr (detail::ObserversOf<T, Observers...>) {
      return rv::subscribe(asSharedSequence().asObservable(),
                           detail::forwardingToObservers<T>(observers...));
    } else {
      return rv::subscribe(detail::asPresentOptionals(asSharedSequence().asObservable()),
                           detail::forwardingToObservers<std::optional<T>>(observers...));
    }
  }

  // No error handler: an error against the promise goes to
  // Hooks::defaultErrorHandler.
  Ref<Disposable> subscribeHandlers(InfallibleSubscribeHandlers<T> h) const {
    return rv::subscribe(source_, SubscribeHandlers<T>{.onNext = std::move(h.onNext),
                                                       .onCompleted = std::move(h.onCompleted),
                                                       .onDisposed = std::move(h.onDisposed)});
  }

  template <class Object>
  Ref<Disposable> subscribeHandlers(const Ref<Object>& object,
                                    InfallibleSubscribeWithHandlers<Object, T> h) const {
    return rv::subscribe(source_, object,
                         SubscribeWithHandlers<Object, T>{.onNext = std::move(h.onNext),
                                                          .onCompleted = std::move(h.onCompleted),
                                                          .onDisposed = std::move(h.onDisposed)});
  }

  struct RawTag {};
  SharedSequence(RawTag, Ref<Observable<T>> source) : source_(std::move(source)) {}

  Ref<Observable<T>> source_;
};

// combineLatest of two to eight shared sequences of one strategy (element
// types may differ), then optionally a selector taking one `const E&` per
// source in argument order; without one, the element is the tuple of the
// latest elements. The result has the sources' strategy and is shared.
template <class Strategy, class E1, class... Args>
requires(detail::isFixedArityCallOf<
         detail::SharedSequenceOfStrategy<Strategy>::template Is, SharedSequence<Strategy, E1>,
         Args...>()) auto combineLatest(const SharedSequence<Strategy, E1>& source1,
                                        const Args&... rest) {
  auto combined = detail::makeFixedArity<detail::CombineLatest>(source1, rest...);
  return SharedSequence<Strategy, ElementOf<decltype(combined)>>(std::move(combined));
}

// zip of two to eight shared sequences of one strategy: the n-th element is
// the selector over (or the tuple of) the n-th elements of all sources.
template <class Strategy, class E1, class... Args>
requires(detail::isFixedArityCallOf<
         detail::SharedSequenceOfStrategy<Strategy>::template Is, SharedSequence<Strategy, E1>,
         Args...>()) auto zip(const SharedSequence<Strategy, E1>& source1, const Args&... rest) {
  auto zipped = detail::makeFixedArity<detail::Zip>(source1, rest...);
  return SharedSequence<Strategy, ElementOf<decltype(zipped)>>(std::move(zipped));
}

static_assert(sizeof(Driver<int>) == sizeof(Ref<Observable<int>>));
static_assert(sizeof(Signal<int>) == sizeof(Ref<Observable<int>>));

}  // namespace rv
