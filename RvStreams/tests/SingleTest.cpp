#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "RvStreams/PrimitiveSequence.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/Reports.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::completedAt;
using test::CountingDisposable;
using test::errorAt;
using test::ErrorHookCapture;
using test::makeError;
using test::nextAt;
using test::record;
using test::Recorded;
using test::RecordingObserver;
using test::ReportCapture;
using test::Subscription;
using test::TestError;
using test::TestScheduler;
using test::TestSource;
using DTI = DispatchTimeInterval;
using Events = std::vector<Recorded<int>>;
using Subscriptions = std::vector<Subscription>;
using Log = std::vector<std::string>;

// Collects the outcomes a Single subscription reports, as text.
struct Outcomes {
  Log log;
  auto observer() {
    return [this](const SingleEvent<int>& event) { log.push_back(describe(event)); };
  }
};

// --- operators every trait offers ---

TEST(PrimitiveSequence, CopiesShareTheSourceAndEachSubscriptionSubscribesIt) {
  auto source = TestSource<int>::create();
  Single<int> single(source);
  Single<int> copy = single;
  EXPECT_EQ(copy.asObservable(), source);
  auto a = copy.subscribe([](SingleEvent<int>) {});
  auto b = single.subscribe([](SingleEvent<int>) {});
  EXPECT_EQ(source->subscriptionCount(), 2);
  a->dispose();
  b->dispose();
}

TEST(PrimitiveSequence, DeferredCallsTheFactoryOnEverySubscription) {
  int calls = 0;
  auto single = Single<int>::deferred([&] { return Single<int>::just(++calls); });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(record(single)->descriptions(), (Log{"next(1)", "completed"}));
  EXPECT_EQ(record(single)->descriptions(), (Log{"next(2)", "completed"}));
  EXPECT_EQ(calls, 2);
}

TEST(PrimitiveSequence, DeferredFactoryThatThrowsFailsEverySubscription) {
  auto maybe = Maybe<int>::deferred([]() -> Maybe<int> { throw TestError("factory"); });
  EXPECT_EQ(record(maybe)->descriptions(), (Log{"error(factory)"}));
  EXPECT_EQ(record(maybe)->descriptions(), (Log{"error(factory)"}));
}

TEST(PrimitiveSequence, RetryCountsEverySubscriptionTheFirstIncluded) {
  auto scheduler = TestScheduler::create();
  Error error = makeError("boom");
  auto xs = scheduler->createColdObservable<int>({errorAt<int>(10, error)});
  auto once = scheduler->start([&] { return Single<int>(xs).retry(1); });
  EXPECT_EQ(once->recorded(), (Events{errorAt<int>(210, error)}));
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{200, 210}}));

  auto scheduler3 = TestScheduler::create();
  auto ys = scheduler3->createColdObservable<int>({errorAt<int>(10, error)});
  auto thrice = scheduler3->start([&] { return Single<int>(ys).retry(3); });
  EXPECT_EQ(thrice->recorded(), (Events{errorAt<int>(230, error)}));
  EXPECT_EQ(ys->subscriptions(), (Subscriptions{{200, 210}, {210, 220}, {220, 230}}));
}

TEST(PrimitiveSequence, TypedRetryWhenRetriesOnlyErrorsOfItsType) {
  int attempts = 0;
  auto flaky = Single<int>::deferred([&] {
    ++attempts;
    if (attempts == 1) return Single<int>::error(makeError("typed"));
    if (attempts == 2) return Single<int>::error(std::make_exception_ptr(std::runtime_error("x")));
    return Single<int>::just(attempts);
  });
  auto retried =
      flaky.retryWhen<TestError>([](Ref<Observable<TestError>> errors) { return errors; });
  EXPECT_EQ(record(retried)->descriptions(), (Log{"error(x)"}));
  EXPECT_EQ(attempts, 2);
}

TEST(PrimitiveSequence, TimerEmitsZeroOnceForSingleAndMaybe) {
  auto scheduler = TestScheduler::create();
  auto single = scheduler->start([&] { return Single<int>::timer(DTI::seconds(30), scheduler); });
  EXPECT_EQ(single->recorded(), (Events{nextAt(230, 0), completedAt<int>(230)}));

  auto scheduler2 = TestScheduler::create();
  auto maybe = scheduler2->start([&] { return Maybe<int>::timer(DTI::seconds(5), scheduler2); });
  EXPECT_EQ(maybe->recorded(), (Events{nextAt(205, 0), completedAt<int>(205)}));
}

TEST(PrimitiveSequence, CatchContinuesWithTheHandlersSequenceAndAThrowIsTheError) {
  Log handled;
  auto recovered = Single<int>::error(makeError("first")).catchError([&](const Error& e) {
    handled.push_back(describe(e));
    return Single<int>::just(7);
  });
  EXPECT_EQ(record(recovered)->descriptions(), (Log{"next(7)", "completed"}));
  EXPECT_EQ(handled, (Log{"first"}));

  auto rethrown =
      Completable::error(makeError("first")).catchError([](const Error&) -> Completable {
        throw TestError("handler");
      });
  EXPECT_EQ(record(rethrown)->descriptions(), (Log{"error(handler)"}));
}

TEST(PrimitiveSequence, UsingDisposesTheResourceWithTheSubscription) {
  Log log;
  auto resource = CountingDisposable::create("resource", &log);
  auto source = TestSource<int>::create();
  auto single = Single<int>::usingResource([&] { return resource; },
                                           [&](const Ref<CountingDisposable>&) {
                                             log.push_back("factory");
                                             return Single<int>(source);
                                           });
  Outcomes outcomes;
  auto subscription = single.subscribe(outcomes.observer());
  source->onNext(4);
  source->onCompleted();
  EXPECT_EQ(outcomes.log, (Log{"success(4)"}));
  EXPECT_EQ(log, (Log{"factory", "resource"}));
  EXPECT_EQ(resource->count(), 1);
  subscription->dispose();
}

TEST(PrimitiveSequence, TimeShiftingOperatorsKeepTheOutcome) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createColdObservable<int>({nextAt(10, 1), completedAt<int>(10)});
  auto delayed = scheduler->start([&] {
    return Single<int>(xs)
        .delaySubscription(DTI::seconds(5), scheduler)
        .delay(DTI::seconds(20), scheduler);
  });
  EXPECT_EQ(delayed->recorded(), (Events{nextAt(235, 1), completedAt<int>(235)}));
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{205, 215}}));
}

TEST(PrimitiveSequence, TimeoutFailsOrSwitchesToTheOtherSequence) {
  auto scheduler = TestScheduler::create();
  auto slow = scheduler->createColdObservable<int>({nextAt(50, 1), completedAt<int>(50)});
  auto failed =
      scheduler->start([&] { return Single<int>(slow).timeout(DTI::seconds(20), scheduler); });
  ASSERT_EQ(failed->recorded().size(), 1u);
  EXPECT_EQ(failed->recorded()[0].time, 220);
  EXPECT_EQ(describe(failed->recorded()[0].event), "error(Sequence timeout.)");

  auto scheduler2 = TestScheduler::create();
  auto slow2 = scheduler2->createColdObservable<int>({nextAt(50, 1), completedAt<int>(50)});
  auto other = scheduler2->createColdObservable<int>({nextAt(5, 9), completedAt<int>(5)});
  auto switched = scheduler2->start(
      [&] { return Single<int>(slow2).timeout(DTI::seconds(20), Single<int>(other), scheduler2); });
  EXPECT_EQ(switched->recorded(), (Events{nextAt(225, 9), completedAt<int>(225)}));
  EXPECT_EQ(other->subscriptions(), (Subscriptions{{220, 225}}));
}

TEST(PrimitiveSequence, SubscribeOnAndObserveOnGoThroughTheScheduler) {
  auto scheduler = TestScheduler::create();
  for (auto single :
       {Single<int>::just(3).subscribeOn(scheduler), Single<int>::just(3).observeOn(scheduler)}) {
    auto recorder = RecordingObserver<int>::create();
    auto subscription = single.asObservable()->subscribe(recorder);
    EXPECT_TRUE(recorder->recorded().empty());  // nothing inside subscribe
    scheduler->start();
    EXPECT_EQ(recorder->descriptions(), (Log{"next(3)", "completed"}));
    subscription->dispose();
  }
}

// --- Single: creation and subscription ---

TEST(Single, CreateLetsOnlyTheFirstOutcomeThrough) {
  auto single = Single<int>::create([](SingleObserver<int> observer) {
    observer(SingleEvent<int>::success(1));
    observer(SingleEvent<int>::success(2));
    observer(SingleEvent<int>::failure(makeError()));
    return Disposables::create();
  });
  EXPECT_EQ(record(single)->descriptions(), (Log{"next(1)", "completed"}));
  Outcomes outcomes;
  single.subscribe(outcomes.observer());
  EXPECT_EQ(outcomes.log, (Log{"success(1)"}));
}

TEST(Single, CreateRunsTheClosureOncePerSubscriptionAndDisposesItsResource) {
  int calls = 0;
  auto resource = CountingDisposable::create();
  auto single = Single<int>::create([&](SingleObserver<int>) -> Ref<Disposable> {
    ++calls;
    return resource;
  });
  auto a = single.subscribe({});
  auto b = single.subscribe({});
  EXPECT_EQ(calls, 2);
  a->dispose();
  EXPECT_EQ(resource->count(), 1);
  b->dispose();
}

TEST(Single, EmptyCompletionIsReportedAndNoOutcomeIsDelivered) {
  ReportCapture report;
  Outcomes outcomes;
  bool disposed = false;
  Single<int>(empty<int>()).subscribe(outcomes.observer());
  auto d = Single<int>(empty<int>())
               .subscribe({.onSuccess = [&](const int&) { outcomes.log.push_back("onSuccess"); },
                           .onFailure = [&](const Error&) { outcomes.log.push_back("onFailure"); },
                           .onDisposed = [&] { disposed = true; }});
  EXPECT_TRUE(outcomes.log.empty());
  EXPECT_FALSE(disposed);
  const std::string text = report.text();
  const std::string line = "Single.h:";
  const std::string message = ": Singles can't emit a completion event\n";
  EXPECT_NE(text.find(line), std::string::npos) << text;
  ASSERT_GE(text.size(), message.size());
  EXPECT_EQ(text.substr(text.size() - message.size()), message);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
  d->dispose();
  EXPECT_TRUE(disposed);
}

TEST(Single, ElementFollowedByCompletionReportsNothing) {
  ReportCapture report;
  Outcomes outcomes;
  Single<int>::just(5).subscribe(outcomes.observer());
  EXPECT_EQ(outcomes.log, (Log{"success(5)"}));
  EXPECT_EQ(report.text(), "");
}

TEST(Single, ErrorWithoutFailureHandlerGoesToTheHookWithAnEmptyCallStack) {
  ErrorHookCapture hook;
  int disposed = 0;
  Single<int>::error(makeError("lost")).subscribe({.onDisposed = [&] { ++disposed; }});
  EXPECT_EQ(hook.errors(), (Log{"lost"}));
  ASSERT_EQ(hook.stacks().size(), 1u);
  EXPECT_TRUE(hook.stacks()[0].empty());
  EXPECT_EQ(disposed, 1);
}

TEST(Single, OnDisposedRunsExactlyOnceWhateverEndsTheSubscription) {
  ErrorHookCapture hook;
  Log log;
  auto success = Single<int>::just(1).subscribe(
      {.onSuccess = [&](const int& x) { log.push_back("success " + std::to_string(x)); },
       .onDisposed = [&] { log.push_back("disposed"); }});
  success->dispose();
  auto failure =
      Single<int>::error(makeError("e"))
          .subscribe({.onFailure = [&](const Error& e) { log.push_back("failure " + describe(e)); },
                      .onDisposed = [&] { log.push_back("disposed"); }});
  failure->dispose();
  auto early = Single<int>::never().subscribe({.onDisposed = [&] { log.push_back("disposed"); }});
  early->dispose();
  early->dispose();
  EXPECT_EQ(log, (Log{"success 1", "disposed", "failure e", "disposed", "disposed"}));
  EXPECT_TRUE(hook.errors().empty());
}

TEST(Single, SubscribeWithObjectRunsNothingOnceTheObjectIsGone) {
  ErrorHookCapture hook;
  auto source = TestSource<int>::create();
  auto object = std::make_shared<int>(7);
  Log log;
  auto d = Single<int>(source).subscribe(
      object,
      {.onSuccess = [&](const Ref<int>& o, const int& x) { log.push_back(std::to_string(*o + x)); },
       .onDisposed = [&](const Ref<int>&) { log.push_back("disposed"); }});
  object.reset();
  source->onNext(1);
  d->dispose();
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(Single, SubscribeWithObjectDropsAnErrorWithoutFailureHandler) {
  ErrorHookCapture hook;
  auto object = std::make_shared<int>(1);
  Log log;
  Single<int>::error(makeError("dropped")).subscribe(object, {.onDisposed = [&](const Ref<int>& o) {
                                                       log.push_back("disposed " +
                                                                     std::to_string(*o));
                                                     }});
  EXPECT_TRUE(hook.errors().empty());
  EXPECT_EQ(log, (Log{"disposed 1"}));
}

TEST(Single, ScheduledJustDeliversOnTheScheduler) {
  auto scheduler = TestScheduler::create();
  auto res = scheduler->start([&] { return Single<int>::just(4, scheduler); });
  EXPECT_EQ(res->elements(), (std::vector<int>{4}));
  EXPECT_EQ(res->completedCount(), 1);
}

TEST(Single, NeverDeliversNothing) {
  Outcomes outcomes;
  auto d = Single<int>::never().subscribe(outcomes.observer());
  EXPECT_TRUE(outcomes.log.empty());
  d->dispose();
}

// --- Single: operators ---

TEST(Single, FilterRejectingTheElementYieldsAnEmptyMaybe) {
  Maybe<int> rejected = Single<int>::just(1).filter([](int x) { return x > 1; });
  EXPECT_EQ(record(rejected)->descriptions(), (Log{"completed"}));
  Maybe<int> kept = Single<int>::just(2).filter([](int x) { return x > 1; });
  EXPECT_EQ(record(kept)->descriptions(), (Log{"next(2)", "completed"}));
}

TEST(Single, MapAndCompactMapChangeTheElementAndAThrowBecomesTheError) {
  Single<std::string> mapped =
      Single<int>::just(2).map([](int x) { return std::to_string(x * 3); });
  EXPECT_EQ(record(mapped)->elements(), (std::vector<std::string>{"6"}));

  Maybe<int> absent =
      Single<int>::just(2).compactMap([](int) -> std::optional<int> { return std::nullopt; });
  EXPECT_EQ(record(absent)->descriptions(), (Log{"completed"}));

  auto thrown = Single<int>::just(2).map([](int) -> int { throw TestError("map"); });
  EXPECT_EQ(record(thrown)->descriptions(), (Log{"error(map)"}));
}

TEST(Single, FlatMapFamilyContinuesWithTheSelectorsSequence) {
  Single<int> single = Single<int>::just(2).flatMap([](int x) { return Single<int>::just(x + 1); });
  EXPECT_EQ(record(single)->descriptions(), (Log{"next(3)", "completed"}));

  Maybe<int> maybe = Single<int>::just(2).flatMapMaybe([](int) { return Maybe<int>::empty(); });
  EXPECT_EQ(record(maybe)->descriptions(), (Log{"completed"}));

  std::vector<int> seen;
  Completable completable = Single<int>::just(2).flatMapCompletable([&](int x) {
    seen.push_back(x);
    return Completable::empty();
  });
  EXPECT_EQ(record(completable)->descriptions(), (Log{"completed"}));
  EXPECT_EQ(seen, (std::vector<int>{2}));
}

TEST(Single, DoRunsItsHandlersAroundTheOutcome) {
  Log log;
  auto recorder = [&] {
    return makeAnonymousObserver<int>(
        [&](const Event<int>& e) { log.push_back("observer " + describe(e)); });
  };
  SingleDoHandlers<int> handlers{
      .onSuccess = [&](const int& x) { log.push_back("onSuccess " + std::to_string(x)); },
      .afterSuccess = [&](const int& x) { log.push_back("afterSuccess " + std::to_string(x)); },
      .onError = [&](const Error&) { log.push_back("onError"); },
      .onSubscribe = [&] { log.push_back("onSubscribe"); },
      .onSubscribed = [&] { log.push_back("onSubscribed"); },
      .onDispose = [&] { log.push_back("onDispose"); }};
  Single<int>::just(1).doOn(handlers).asObservable()->subscribe(recorder());
  EXPECT_EQ(log, (Log{"onSubscribe", "onSuccess 1", "observer next(1)", "afterSuccess 1",
                      "observer completed", "onSubscribed", "onDispose"}));

  log.clear();
  Single<int>::error(makeError("e")).doOn(handlers).asObservable()->subscribe(recorder());
  EXPECT_EQ(log, (Log{"onSubscribe", "onError", "observer error(e)", "onSubscribed", "onDispose"}));
}

TEST(Single, CatchAndReturnSucceedsWithTheElementOnError) {
  auto single = Single<int>::error(makeError()).catchAndReturn(9);
  EXPECT_EQ(record(single)->descriptions(), (Log{"next(9)", "completed"}));
}

TEST(Single, AsMaybeKeepsTheSourceAndAsCompletableDropsTheElement) {
  auto single = Single<int>::just(3);
  EXPECT_EQ(single.asMaybe().asObservable(), single.asObservable());
  EXPECT_EQ(record(single.asCompletable())->descriptions(), (Log{"completed"}));
  EXPECT_EQ(record(Single<int>::error(makeError("e")).asCompletable())->descriptions(),
            (Log{"error(e)"}));
}

}  // namespace
}  // namespace rv
