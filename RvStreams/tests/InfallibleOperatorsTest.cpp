#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "RvStreams/Infallible.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::completedAt;
using test::elements;
using test::nextAt;
using test::record;
using test::Recorded;
using test::TestScheduler;
using DTI = DispatchTimeInterval;
using Events = std::vector<Recorded<int>>;
using Log = std::vector<std::string>;

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
