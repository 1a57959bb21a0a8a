#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "RvStreams/FlatMapLatest.h"
#include "RvStreams/Infallible.h"
#include "RvStreams/Just.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;
using Inner = Ref<Observable<int>>;

// A misbehaving source: keeps every observer after its subscription is
// disposed and can still send to it; optionally sends `onDispose` to it while
// being disposed.
class StickySource final : public Observable<int> {
 public:
  explicit StickySource(std::optional<int> onDispose = std::nullopt) : onDispose_(onDispose) {}
  Ref<Disposable> subscribe(Ref<ObserverType<int>> observer) override {
    observers_.push_back(observer);
    auto onDispose = onDispose_;
    return Disposables::create([observer, onDispose] {
      if (onDispose) observer->onNext(*onDispose);
    });
  }
  void push(const Event<int>& event) {
    for (auto& o : observers_) o->on(event);
  }

 private:
  std::optional<int> onDispose_;
  std::vector<Ref<ObserverType<int>>> observers_;
};

struct SwitchFixture : ::testing::Test {
  Ref<TestSource<Inner>> outer = TestSource<Inner>::create();
  Ref<RecordingObserver<int>> recorder = RecordingObserver<int>::create();
  Ref<Disposable> subscription = (outer | switchLatest())->subscribe(recorder);

  Ref<TestSource<int>> emitInner() {
    auto inner = TestSource<int>::create();
    outer->onNext(inner);
    return inner;
  }
  void TearDown() override { subscription->dispose(); }
};

TEST_F(SwitchFixture, OuterCompletionWaitsForTheActiveInner) {
  auto inner = emitInner();
  outer->onCompleted();
  inner->onNext(1);
  EXPECT_EQ(recorder->completedCount(), 0);
  inner->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));
}

TEST_F(SwitchFixture, OuterCompletionWithoutElementsCompletesAtOnce) {
  outer->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST_F(SwitchFixture, CompletedInnerThenANewOneIsFollowed) {
  auto first = emitInner();
  first->onNext(1);
  first->onCompleted();
  auto second = emitInner();
  second->onNext(2);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)"}));
  outer->onCompleted();
  EXPECT_EQ(recorder->completedCount(), 0);
  second->onCompleted();
  EXPECT_EQ(recorder->completedCount(), 1);
}

TEST_F(SwitchFixture, ANewInnerReplacesAndUnsubscribesThePreviousOne) {
  auto first = emitInner();
  auto second = emitInner();
  EXPECT_EQ(first->observerCount(), 0);
  second->onNext(2);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(2)"}));
}

TEST_F(SwitchFixture, ReplacedInnerEmittingWhileBeingDisposedOrLaterIsIgnored) {
  auto sticky = std::make_shared<StickySource>(99);
  outer->onNext(sticky);
  sticky->push(Event<int>::next(1));
  emitInner();  // disposing the sticky subscription makes it emit 99
  sticky->push(Event<int>::next(2));
  sticky->push(Event<int>::error(makeError("late")));
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)"}));
}

TEST_F(SwitchFixture, ErrorOfTheLatestInnerOrOfTheOuterEndsTheOutput) {
  auto inner = emitInner();
  inner->onError(makeError("inner"));
  EXPECT_EQ(recorder->descriptions(), (Log{"error(inner)"}));
  EXPECT_EQ(outer->observerCount(), 0);

  auto second = RecordingObserver<int>::create();
  auto other = TestSource<Inner>::create();
  auto d = (other | switchLatest())->subscribe(second);
  auto alive = TestSource<int>::create();
  other->onNext(alive);
  other->onError(makeError("outer"));
  EXPECT_EQ(second->descriptions(), (Log{"error(outer)"}));
  EXPECT_EQ(alive->observerCount(), 0);
}

TEST(FlatMapLatest, FailingSelectorEndsWithItsErrorAndDisposesTheCurrentInner) {
  auto outer = TestSource<int>::create();
  auto inner = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = (outer | flatMapLatest([&](const int& x) -> Inner {
              if (x == 2) throw TestError("selector");
              return inner;
            }))->subscribe(recorder);
  outer->onNext(1);
  inner->onNext(10);
  outer->onNext(2);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(10)", "error(selector)"}));
  EXPECT_EQ(inner->observerCount(), 0);
  EXPECT_EQ(outer->observerCount(), 0);
}

TEST(FlatMapLatest, MapsEachElementToItsSequence) {
  auto outer = TestSource<int>::create();
  auto recorder = RecordingObserver<std::string>::create();
  auto d = (outer | flatMapLatest([](const int& x) {
              return just(std::to_string(x));
            }))->subscribe(recorder);
  outer->onNext(1);
  outer->onNext(2);
  outer->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
}

TEST(FlatMapLatest, InfallibleWithInfallibleInnersStaysInfallible) {
  auto source = Infallible<int>(test::elements({1, 2}));
  auto result = source | flatMapLatest([](const int& x) { return Infallible<int>(just(x * 3)); });
  static_assert(std::is_same_v<decltype(result), Infallible<int>>);
  auto recorder = RecordingObserver<int>::create();
  result.asObservable()->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(3)", "next(6)", "completed"}));

  auto plain = source | flatMapLatest([](const int& x) { return just(x); });
  static_assert(std::is_same_v<decltype(plain), Ref<Observable<int>>>);
}

}  // namespace
}  // namespace rv
