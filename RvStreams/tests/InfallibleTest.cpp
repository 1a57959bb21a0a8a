#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <string>
#include <tuple>
#include <vector>

#include "RvStreams/Infallible.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/Reports.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::completedAt;
using test::elements;
using test::ErrorHookCapture;
using test::makeError;
using test::nextAt;
using test::Recorded;
using test::RecordingObserver;
using test::ReportCapture;
using test::TestError;
using test::TestScheduler;
using test::TestSource;
using DTI = DispatchTimeInterval;
using Events = std::vector<Recorded<int>>;
using Log = std::vector<std::string>;

template <class T>
auto record(const Infallible<T>& sequence) {
  auto recorder = RecordingObserver<T>::create();
  sequence.asObservable()->subscribe(recorder);
  return recorder;
}

// A source sending `values` and then failing with `text`.
Ref<Observable<int>> failingAfter(std::vector<int> values, std::string text) {
  return create<int>([=](AnyObserver<int> o) -> Ref<Disposable> {
    for (int v : values) o.onNext(v);
    o.onError(makeError(text));
    return Disposables::create();
  });
}

// --- the type, creation and subscription ---

TEST(Infallible, CreateCallsTheClosureOncePerSubscriptionAndStopsAtTheCompletion) {
  int calls = 0;
  auto sequence = Infallible<int>::create([&](InfallibleObserver<int> observer) {
    ++calls;
    observer(InfallibleEvent<int>::next(1));
    observer(InfallibleEvent<int>::next(2));
    observer(InfallibleEvent<int>::completed());
    observer(InfallibleEvent<int>::next(3));
    return Disposables::create();
  });
  EXPECT_EQ(record(sequence)->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
  Log log;
  sequence.subscribe([&](const InfallibleEvent<int>& e) { log.push_back(describe(e)); });
  EXPECT_EQ(log, (Log{"next(1)", "next(2)", "completed"}));
  EXPECT_EQ(calls, 2);
}

TEST(Infallible, EventConvertsToTheEventOfTheSameMeaning) {
  EXPECT_EQ(InfallibleEvent<int>::next(4).event(), Event<int>::next(4));
  EXPECT_EQ(InfallibleEvent<int>::completed().event(), Event<int>::completed());
  EXPECT_TRUE(InfallibleEvent<int>::completed().isCompleted());
  EXPECT_EQ(*InfallibleEvent<int>::next(4).element(), 4);
}

TEST(Infallible, ErrorReachingTheEventHandlerIsReportedAndNotDelivered) {
  ReportCapture report;
  Log log;
  Infallible<int>(failingAfter({1, 2}, "broken")).subscribe([&](const InfallibleEvent<int>& e) {
    log.push_back(describe(e));
  });
  EXPECT_EQ(log, (Log{"next(1)", "next(2)"}));
  const std::string text = report.text();
  const std::string message = ": Infallible must never emit a error event. error: broken\n";
  ASSERT_GE(text.size(), message.size());
  EXPECT_EQ(text.substr(text.size() - message.size()), message);
  EXPECT_NE(text.find("Infallible.h:"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST(Infallible, HandlerSubscriptionPassesAnErrorToTheHook) {
  ErrorHookCapture hook;
  Log log;
  auto d = Infallible<int>(failingAfter({5}, "broken"))
               .subscribe({.onNext = [&](const int& x) { log.push_back(std::to_string(x)); },
                           .onCompleted = [&] { log.push_back("completed"); },
                           .onDisposed = [&] { log.push_back("disposed"); }});
  EXPECT_EQ(log, (Log{"5", "disposed"}));
  EXPECT_EQ(hook.errors(), (Log{"broken"}));
  d->dispose();
}

TEST(Infallible, SubscribeWithObjectRunsNothingOnceTheObjectIsGone) {
  ErrorHookCapture hook;
  auto source = TestSource<int>::create();
  auto object = std::make_shared<int>(10);
  Log log;
  auto d = Infallible<int>(source).subscribe(
      object,
      {.onNext = [&](const Ref<int>& o, const int& x) { log.push_back(std::to_string(*o + x)); },
       .onCompleted = [&](const Ref<int>&) { log.push_back("completed"); },
       .onDisposed = [&](const Ref<int>&) { log.push_back("disposed"); }});
  source->onNext(1);
  object.reset();
  source->onNext(2);
  source->onError(makeError());
  d->dispose();
  EXPECT_EQ(log, (Log{"11"}));
  EXPECT_TRUE(hook.errors().empty());
}

// --- conversions ---

TEST(Infallible, OnErrorJustReturnEndsWithTheElement) {
  Infallible<int> safe = failingAfter({1}, "x") | asInfallibleOnErrorJustReturn(9);
  EXPECT_EQ(record(safe)->descriptions(), (Log{"next(1)", "next(9)", "completed"}));
}

TEST(Infallible, OnErrorFallbackToEmptyEndsWithACompletion) {
  auto subject = PublishSubject<int>::create();
  Infallible<int> safe = subject | asInfallible(Infallible<int>::empty());
  auto recorder = record(safe);
  subject->onNext(1);
  subject->onError(makeError());
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));
}

TEST(Infallible, OnErrorRecoverChoosesTheContinuationForEachError) {
  Log errors;
  auto recover = [&](const Error& e) {
    errors.push_back(describe(e));
    return Infallible<int>(elements({7, 8}));
  };
  Infallible<int> safe = failingAfter({1}, "first") | asInfallibleOnErrorRecover(recover);
  EXPECT_EQ(record(safe)->descriptions(), (Log{"next(1)", "next(7)", "next(8)", "completed"}));
  EXPECT_EQ(record(safe)->descriptions(), (Log{"next(1)", "next(7)", "next(8)", "completed"}));
  EXPECT_EQ(errors, (Log{"first", "first"}));
}

// --- operators ---

TEST(InfallibleOperators, CreationFunctions) {
  EXPECT_EQ(record(Infallible<int>::just(2).map([](int x) { return x * 2; }))->descriptions(),
            (Log{"next(4)", "completed"}));
  EXPECT_EQ(record(Infallible<int>::empty())->descriptions(), (Log{"completed"}));
  EXPECT_TRUE(record(Infallible<int>::never())->recorded().empty());
  EXPECT_EQ(record(Infallible<int>::concat(Infallible<int>::just(1), Infallible<int>::just(2)))
                ->elements(),
            (std::vector<int>{1, 2}));
  EXPECT_EQ(record(Infallible<int>::merge(std::list<Infallible<int>>{Infallible<int>::just(3),
                                                                     Infallible<int>::empty()}))
                ->descriptions(),
            (Log{"next(3)", "completed"}));
}

TEST(InfallibleOperators, OfAndFromProduceTheSameEventsOnTheScheduler) {
  auto scheduler = TestScheduler::create();
  auto fromOf = scheduler->start([&] {
                           return Infallible<int>::of({1, 2, 3}, scheduler);
                         })
                    ->recorded();
  auto scheduler2 = TestScheduler::create();
  auto fromArray = scheduler2
                       ->start([&] {
                         return Infallible<int>::from(std::vector<int>{1, 2, 3}, scheduler2);
                       })
                       ->recorded();
  EXPECT_EQ(fromOf, fromArray);
  EXPECT_EQ(fromOf.size(), 4u);
}

TEST(InfallibleOperators, DeferredCallsItsFactoryPerSubscriptionAndAThrowEndsIt) {
  int calls = 0;
  auto sequence = Infallible<int>::deferred([&] { return Infallible<int>::just(++calls); });
  EXPECT_EQ(record(sequence)->elements(), (std::vector<int>{1}));
  EXPECT_EQ(record(sequence)->elements(), (std::vector<int>{2}));
  auto throwing = Infallible<int>::deferred([]() -> Infallible<int> { throw TestError("f"); });
  EXPECT_EQ(record(throwing)->descriptions(), (Log{"error(f)"}));
}

TEST(InfallibleOperators, ConcatAndStartWith) {
  auto first = Infallible<int>::just(1);
  EXPECT_EQ(record(first.concat(Infallible<int>::just(2)))->descriptions(),
            (Log{"next(1)", "next(2)", "completed"}));
  EXPECT_EQ(record(first.startWith(0))->elements(), (std::vector<int>{0, 1}));
}

struct Tagged {
  std::string key;
  int order;
};

TEST(InfallibleOperators, DistinctUntilChangedForms) {
  EXPECT_EQ(record(Infallible<int>(elements({1, 1, 2, 1})).distinctUntilChanged())->elements(),
            (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(record(Infallible<int>(elements({1, 3, 2, 4})).distinctUntilChanged([](int x) {
              return x % 2;
            }))->elements(),
            (std::vector<int>{1, 2}));
  EXPECT_EQ(record(Infallible<int>(elements({1, 2, 5, 6})).distinctUntilChanged([](int a, int b) {
              return b - a == 1;
            }))->elements(),
            (std::vector<int>{1, 5}));

  auto tagged = Infallible<Tagged>::create([](InfallibleObserver<Tagged> observer) {
    for (auto t : {Tagged{"a", 1}, Tagged{"a", 2}, Tagged{"b", 3}}) {
      observer(InfallibleEvent<Tagged>::next(t));
    }
    observer(InfallibleEvent<Tagged>::completed());
    return Disposables::create();
  });
  std::vector<int> orders;
  tagged.distinctUntilChanged(&Tagged::key).subscribe({.onNext = [&](const Tagged& t) {
    orders.push_back(t.order);
  }});
  EXPECT_EQ(orders, (std::vector<int>{1, 3}));
}

TEST(InfallibleOperators, WithUnretainedCompletesOnceTheObjectIsGone) {
  auto subject = PublishSubject<int>::create();
  auto object = std::make_shared<std::string>("o");
  Log log;
  // The handler keeps nothing of the pair, so the object can go.
  Infallible<int>(subject).withUnretained(object).subscribe(
      {.onNext =
           [&](const std::tuple<Ref<std::string>, int>& pair) {
             log.push_back(*std::get<0>(pair) + std::to_string(std::get<1>(pair)));
           },
       .onCompleted = [&] { log.push_back("completed"); }});
  subject->onNext(1);
  object.reset();
  EXPECT_EQ(log, (Log{"o1"}));
  subject->onNext(2);
  EXPECT_EQ(log, (Log{"o1", "completed"}));
  EXPECT_FALSE(subject->hasObservers());
}

TEST(InfallibleOperators, FlatteningKeepsTheInnerEvents) {
  auto twice = [](int x) { return Infallible<int>(elements({x, x})); };
  auto source = Infallible<int>(elements({1, 2}));
  EXPECT_EQ(record(source.flatMap(twice))->elements(), (std::vector<int>{1, 1, 2, 2}));
  EXPECT_EQ(record(source.concatMap(twice))->elements(), (std::vector<int>{1, 1, 2, 2}));
  EXPECT_EQ(record(source.flatMapLatest(twice))->elements(), (std::vector<int>{1, 1, 2, 2}));
  EXPECT_EQ(record(source.flatMapFirst(twice))->elements(), (std::vector<int>{1, 1, 2, 2}));
}

TEST(InfallibleOperators, ScanTakeSkipAndLatest) {
  auto source = Infallible<int>(elements({1, 2, 3, 4}));
  EXPECT_EQ(record(source.scan(0, [](int a, int x) { return a + x; }))->elements(),
            (std::vector<int>{1, 3, 6, 10}));
  EXPECT_EQ(
      record(source.scanInto(std::string(), [](std::string& a, int x) { a += std::to_string(x); }))
          ->elements(),
      (std::vector<std::string>{"1", "12", "123", "1234"}));
  EXPECT_EQ(record(source.take(2))->elements(), (std::vector<int>{1, 2}));
  EXPECT_EQ(record(source.takeWhile([](int x) { return x < 3; }))->elements(),
            (std::vector<int>{1, 2}));
  EXPECT_EQ(
      record(source.takeUntil([](int x) { return x == 2; }, TakeBehavior::inclusive))->elements(),
      (std::vector<int>{1, 2}));
  EXPECT_EQ(record(source.skipWhile([](int x) { return x < 3; }))->elements(),
            (std::vector<int>{3, 4}));

  auto trigger = PublishSubject<int>::create();
  auto subject = PublishSubject<int>::create();
  auto recorder = record(Infallible<int>(subject).takeUntil(Infallible<int>(trigger)));
  subject->onNext(1);
  trigger->onNext(0);
  subject->onNext(2);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));

  auto second = PublishSubject<int>::create();
  auto combined = record(Infallible<int>(subject).withLatestFrom(
      Infallible<int>(second), [](int a, int b) { return a * 10 + b; }));
  subject->onNext(1);
  second->onNext(2);
  subject->onNext(3);
  EXPECT_EQ(combined->elements(), (std::vector<int>{32}));
  subject->onCompleted();
}

TEST(InfallibleOperators, TimeOperatorsRunOnTheScheduler) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(212, 2), nextAt(230, 3), completedAt<int>(300)});
  auto debounced =
      scheduler->start([&] { return Infallible<int>(xs).debounce(DTI::seconds(5), scheduler); });
  EXPECT_EQ(debounced->recorded(), (Events{nextAt(217, 2), nextAt(235, 3), completedAt<int>(300)}));

  auto scheduler2 = TestScheduler::create();
  auto ys = scheduler2->createHotObservable<int>(
      {nextAt(210, 1), nextAt(212, 2), nextAt(230, 3), completedAt<int>(300)});
  auto taken =
      scheduler2->start([&] { return Infallible<int>(ys).takeFor(DTI::seconds(20), scheduler2); });
  EXPECT_EQ(taken->recorded(), (Events{nextAt(210, 1), nextAt(212, 2), completedAt<int>(220)}));

  auto scheduler3 = TestScheduler::create();
  auto zs = scheduler3->createHotObservable<int>(
      {nextAt(210, 1), nextAt(212, 2), nextAt(230, 3), completedAt<int>(300)});
  auto throttled = scheduler3->start(
      [&] { return Infallible<int>(zs).throttle(DTI::seconds(5), false, scheduler3); });
  EXPECT_EQ(throttled->recorded(), (Events{nextAt(210, 1), nextAt(230, 3), completedAt<int>(300)}));
}

TEST(InfallibleOperators, DoAndShare) {
  Log log;
  auto subject = PublishSubject<int>::create();
  auto shared = Infallible<int>(subject)
                    .doOn({.onNext = [&](const int& x) { log.push_back(std::to_string(x)); },
                           .onSubscribe = [&] { log.push_back("subscribe"); }})
                    .share();
  auto a = shared.subscribe({});
  auto b = shared.subscribe({});
  subject->onNext(1);
  EXPECT_EQ(log, (Log{"subscribe", "1"}));
  a->dispose();
  b->dispose();
  EXPECT_FALSE(subject->hasObservers());
}

}  // namespace
}  // namespace rv
