#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "RvStreams/Infallible.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::elements;
using test::record;
using test::Recorded;
using test::TestError;
using test::TestScheduler;
using Events = std::vector<Recorded<int>>;
using Log = std::vector<std::string>;

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

TEST(InfallibleOperators, FlatteningKeepsTheInnerEvents) {
  auto twice = [](int x) { return Infallible<int>(elements({x, x})); };
  auto source = Infallible<int>(elements({1, 2}));
  EXPECT_EQ(record(source.flatMap(twice))->elements(), (std::vector<int>{1, 1, 2, 2}));
  EXPECT_EQ(record(source.concatMap(twice))->elements(), (std::vector<int>{1, 1, 2, 2}));
  EXPECT_EQ(record(source.flatMapLatest(twice))->elements(), (std::vector<int>{1, 1, 2, 2}));
  EXPECT_EQ(record(source.flatMapFirst(twice))->elements(), (std::vector<int>{1, 1, 2, 2}));
}

}  // namespace
}  // namespace rv
