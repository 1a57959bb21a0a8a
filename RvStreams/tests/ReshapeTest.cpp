#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "RvStreams/Decode.h"
#include "RvStreams/Enumerated.h"
#include "RvStreams/Materialize.h"
#include "RvStreams/Reduce.h"
#include "RvStreams/SerialDisposable.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::elements;
using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

auto plus = [](const int& a, const int& b) { return a + b; };

TEST(Reduce, EmitsTheFoldOnlyAtCompletion) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | reduce(0, plus))->subscribe(recorder);
  source->onNext(1);
  source->onNext(2);
  source->onNext(3);
  EXPECT_TRUE(recorder->events().empty());
  source->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(6)", "completed"}));
}

TEST(Reduce, EmptySourceEmitsTheMappedSeed) {
  auto recorder = RecordingObserver<std::string>::create();
  (elements({}) | reduce(5, plus, [](int a) {
     return "seed " + std::to_string(a);
   }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(seed 5)", "completed"}));
}

TEST(Reduce, EachSubscriptionStartsFromTheSeed) {
  auto reduced = elements({1, 2}) | reduce(10, plus);
  auto a = RecordingObserver<int>::create();
  auto b = RecordingObserver<int>::create();
  reduced->subscribe(a);
  reduced->subscribe(b);
  EXPECT_EQ(a->descriptions(), (Log{"next(13)", "completed"}));
  EXPECT_EQ(b->descriptions(), (Log{"next(13)", "completed"}));
}

TEST(Reduce, FailingCallablesAndSourceErrorsEndWithTheirError) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | reduce(0, [](const int& a, const int& x) {
     if (x == 2) throw TestError("accumulator");
     return a + x;
   }))->subscribe(recorder);
  source->onNext(1);
  source->onNext(2);
  source->onNext(3);
  source->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"error(accumulator)"}));
  EXPECT_EQ(source->observerCount(), 0);

  auto mapping = RecordingObserver<int>::create();
  (elements({1}) | reduce(0, plus, [](int) -> int {
     throw TestError("mapResult");
   }))->subscribe(mapping);
  EXPECT_EQ(mapping->descriptions(), (Log{"error(mapResult)"}));

  auto failing = RecordingObserver<int>::create();
  (error<int>(makeError("source")) | reduce(0, plus))->subscribe(failing);
  EXPECT_EQ(failing->descriptions(), (Log{"error(source)"}));
}

TEST(ToArray, CollectsEverythingIntoOneSingleElement) {
  auto single = elements({1, 2, 3}) | toArray();
  static_assert(std::is_same_v<decltype(single), Single<std::vector<int>>>);
  auto recorder = RecordingObserver<std::vector<int>>::create();
  single.asObservable()->subscribe(recorder);
  ASSERT_EQ(recorder->elements().size(), 1u);
  EXPECT_EQ(recorder->elements()[0], (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(recorder->completedCount(), 1);

  auto empty = RecordingObserver<std::vector<int>>::create();
  (elements({}) | toArray()).asObservable()->subscribe(empty);
  ASSERT_EQ(empty->elements().size(), 1u);
  EXPECT_TRUE(empty->elements()[0].empty());
}

TEST(ToArray, NeverCompletingSourceEmitsNothingAndErrorsDiscardTheList) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<std::vector<int>>::create();
  auto d = (source | toArray()).asObservable()->subscribe(recorder);
  source->onNext(1);
  EXPECT_TRUE(recorder->events().empty());
  source->onError(makeError("boom"));
  ASSERT_EQ(recorder->events().size(), 1u);
  EXPECT_EQ(describe(*recorder->events()[0].error()), "boom");
}

TEST(Enumerated, PairsElementsWithPositionsFromZero) {
  auto source = TestSource<std::string>::create();
  auto recorder = RecordingObserver<IndexedElement<std::string>>::create();
  (source | enumerated())->subscribe(recorder);
  source->onNext("a");
  source->onNext("b");
  source->onNext("c");
  source->onCompleted();
  EXPECT_EQ(recorder->descriptions(),
            (Log{"next((index: 0, element: a))", "next((index: 1, element: b))",
                 "next((index: 2, element: c))", "completed"}));
}

TEST(Enumerated, PositionExhaustionEndsWithOverflow) {
  auto recorder = RecordingObserver<IndexedElement<int>>::create();
  auto cancel = SerialDisposable::create();
  auto sink = std::make_shared<detail::EnumeratedSink<int, IndexedElement<int>, int>>(
      recorder, cancel, 0, std::numeric_limits<int64_t>::max() - 1);
  sink->on(Event<int>::next(1));
  sink->on(Event<int>::next(2));
  sink->on(Event<int>::next(3));
  ASSERT_EQ(recorder->events().size(), 2u);
  EXPECT_EQ(recorder->events()[0].element()->index, std::numeric_limits<int64_t>::max() - 1);
  EXPECT_EQ(describe(*recorder->events()[1].error()), "Arithmetic overflow occurred.");
  EXPECT_TRUE(cancel->isDisposed());
}

TEST(Materialize, TurnsEveryEventIntoAnElementThenCompletes) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<Event<int>>::create();
  (source | materialize())->subscribe(recorder);
  source->onNext(1);
  source->onError(makeError("e"));
  EXPECT_EQ(recorder->descriptions(), (Log{"next(next(1))", "next(error(e))", "completed"}));

  auto empty = RecordingObserver<Event<int>>::create();
  (elements({}) | materialize())->subscribe(empty);
  EXPECT_EQ(empty->descriptions(), (Log{"next(completed)", "completed"}));
}

TEST(Dematerialize, ReversesMaterialize) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | materialize() | dematerialize())->subscribe(recorder);
  source->onNext(1);
  source->onNext(2);
  source->onError(makeError("e"));
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "error(e)"}));
}

TEST(Dematerialize, CarriedStopEndsTheOutputWhileTheOuterRuns) {
  auto source = TestSource<Event<int>>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | dematerialize())->subscribe(recorder);
  source->onNext(Event<int>::completed());
  source->onNext(Event<int>::next(1));
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
  EXPECT_EQ(source->observerCount(), 0);
}

// A JSON decoder: the decoded value, or the JSON library's own error.
struct JsonDecoder {
  template <class R>
  R decode(const Data& data) const {
    return nlohmann::json::parse(data.begin(), data.end()).get<R>();
  }
};

Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }

TEST(Decode, DecodesEachBufferAndEndsWithTheDecodersError) {
  auto source = TestSource<Data>::create();
  auto recorder = RecordingObserver<std::vector<int>>::create();
  (source | decode<std::vector<int>>(JsonDecoder{}))->subscribe(recorder);
  source->onNext(bytes("[1, 2]"));
  source->onNext(bytes("{oops"));
  source->onNext(bytes("[3]"));
  auto events = recorder->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(*events[0].element(), (std::vector<int>{1, 2}));
  ASSERT_NE(events[1].error(), nullptr);
  EXPECT_THROW(std::rethrow_exception(*events[1].error()), nlohmann::json::parse_error);
  EXPECT_EQ(source->observerCount(), 0);
}

}  // namespace
}  // namespace rv
