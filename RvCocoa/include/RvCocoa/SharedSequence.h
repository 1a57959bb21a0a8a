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

#include <concepts>
#include <memory>
#include <optional>
#include <ranges>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvCocoa/SharingScheduler.h"
#include "RvStreams/Deferred.h"
#include "RvStreams/From.h"
#include "RvStreams/Infallible.h"
#include "RvStreams/Just.h"
#include "RvStreams/Observable.h"
#include "RvStreams/Share.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/SubscribeOn.h"
#include "RvStreams/Timer.h"
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
    return std::move(source) | rv::share(1, SubjectLifetimeScope::whileConnected);
  }
};

// Replays nothing: a subscriber sees only what is emitted after it joined.
struct SignalSharingStrategy {
  static Ref<SchedulerType> scheduler() { return SharingScheduler::make(); }
  template <class T>
  static Ref<Observable<T>> share(Ref<Observable<T>> source) {
    return std::move(source) | rv::share(0, SubjectLifetimeScope::whileConnected);
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

 private:
  struct RawTag {};
  SharedSequence(RawTag, Ref<Observable<T>> source) : source_(std::move(source)) {}

  Ref<Observable<T>> source_;
};

static_assert(sizeof(Driver<int>) == sizeof(Ref<Observable<int>>));
static_assert(sizeof(Signal<int>) == sizeof(Ref<Observable<int>>));

}  // namespace rv
