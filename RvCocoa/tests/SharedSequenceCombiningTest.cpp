#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "RvCocoa/SharedSequence.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestSource;

// The suite's tests are in three files, one per kind of operator.
using SharedSequenceOperatorsTest = ::rv::test::MainQueueTest;

TEST_F(SharedSequenceOperatorsTest, WithLatestFromAndDoOn) {
  auto source = TestSource<int>::create();
  auto other = TestSource<std::string>::create();
  Driver<int> driver(source);
  Driver<std::string> second(other);
  auto combined = driver.withLatestFrom(
      second, [](int x, const std::string& s) { return s + std::to_string(x); });
  auto latest = driver.withLatestFrom(second);
  static_assert(std::is_same_v<decltype(latest), Driver<std::string>>);
  std::vector<std::string> log;
  auto traced =
      driver.doOn({.onNext = [&](const int& x) { log.push_back("on" + std::to_string(x)); },
                   .afterNext = [&](const int&) { log.push_back("after"); },
                   .onCompleted = [&] { log.push_back("completed"); },
                   .onSubscribe = [&] { log.push_back("subscribe"); },
                   .onSubscribed = [&] { log.push_back("subscribed"); },
                   .onDispose = [&] { log.push_back("dispose"); }});
  auto rCombined = RecordingObserver<std::string>::create();
  auto rLatest = RecordingObserver<std::string>::create();
  auto a = combined.asObservable()->subscribe(rCombined);
  auto b = latest.asObservable()->subscribe(rLatest);
  auto c = traced.asObservable()->subscribe(RecordingObserver<int>::create());
  source->onNext(1);
  other->onNext("a");
  source->onNext(2);
  a->dispose();
  b->dispose();
  c->dispose();
  EXPECT_EQ(rCombined->elements(), std::vector<std::string>{"a2"});
  EXPECT_EQ(rLatest->elements(), std::vector<std::string>{"a"});
  EXPECT_EQ(log, (std::vector<std::string>{"subscribe", "subscribed", "on1", "after", "on2",
                                           "after", "dispose"}));
}

TEST_F(SharedSequenceOperatorsTest, CombineLatestIsSharedAndReplaysTheLatestCombination) {
  auto x = TestSource<int>::create();
  auto y = TestSource<std::string>::create();
  int calls = 0;
  Driver<std::string> combined =
      combineLatest(Driver<int>(x), Driver<std::string>(y), [&](int a, const std::string& b) {
        ++calls;
        return b + std::to_string(a);
      });
  auto first = RecordingObserver<std::string>::create();
  auto second = RecordingObserver<std::string>::create();
  auto a = combined.asObservable()->subscribe(first);
  auto b = combined.asObservable()->subscribe(second);
  x->onNext(1);
  y->onNext("a");
  x->onNext(2);
  auto late = RecordingObserver<std::string>::create();
  auto c = combined.asObservable()->subscribe(late);

  EXPECT_EQ(x->subscriptionCount(), 1);
  EXPECT_EQ(y->subscriptionCount(), 1);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(first->elements(), (std::vector<std::string>{"a1", "a2"}));
  EXPECT_EQ(second->elements(), first->elements());
  EXPECT_EQ(late->elements(), std::vector<std::string>{"a2"});
  a->dispose();
  b->dispose();
  c->dispose();
}

TEST_F(SharedSequenceOperatorsTest, TupleFormsKeepArgumentOrderAndSignalSourcesGiveASignal) {
  auto x = TestSource<int>::create();
  auto y = TestSource<std::string>::create();
  auto z = TestSource<double>::create();
  auto latest = combineLatest(Signal<int>(x), Signal<std::string>(y), Signal<double>(z));
  auto zipped = zip(Signal<int>(x), Signal<std::string>(y), Signal<double>(z));
  using Tuple = std::tuple<int, std::string, double>;
  static_assert(std::is_same_v<decltype(latest), Signal<Tuple>>);
  static_assert(std::is_same_v<decltype(zipped), Signal<Tuple>>);
  auto rLatest = RecordingObserver<Tuple>::create();
  auto rZipped = RecordingObserver<Tuple>::create();
  auto a = latest.asObservable()->subscribe(rLatest);
  auto b = zipped.asObservable()->subscribe(rZipped);
  x->onNext(1);
  x->onNext(2);
  y->onNext("a");
  z->onNext(0.5);
  EXPECT_EQ(rLatest->elements(), (std::vector<Tuple>{{2, "a", 0.5}}));
  EXPECT_EQ(rZipped->elements(), (std::vector<Tuple>{{1, "a", 0.5}}));
  auto late = RecordingObserver<Tuple>::create();
  auto c = latest.asObservable()->subscribe(late);
  EXPECT_TRUE(late->elements().empty()) << "a Signal replays nothing";
  a->dispose();
  b->dispose();
  c->dispose();
}

TEST_F(SharedSequenceOperatorsTest, CollectionFormsFollowTheCollectionOrder) {
  std::vector<Ref<TestSource<int>>> sources{TestSource<int>::create(), TestSource<int>::create(),
                                            TestSource<int>::create()};
  std::vector<Driver<int>> drivers;
  for (const auto& s : sources) drivers.emplace_back(s);
  auto zipped = Driver<int>::zip(drivers);
  auto summed = Driver<int>::zip(drivers, [](const std::vector<int>& v) { return v[0] - v[2]; });
  auto latest = Driver<int>::combineLatest(drivers);
  auto counted =
      Driver<int>::combineLatest(drivers, [](const std::vector<int>& v) { return v.size(); });
  static_assert(std::is_same_v<decltype(zipped), Driver<std::vector<int>>>);
  static_assert(std::is_same_v<decltype(counted), Driver<size_t>>);
  auto rZipped = RecordingObserver<std::vector<int>>::create();
  auto rSummed = RecordingObserver<int>::create();
  auto rLatest = RecordingObserver<std::vector<int>>::create();
  auto rCounted = RecordingObserver<size_t>::create();
  std::vector<Ref<Disposable>> keep{
      zipped.asObservable()->subscribe(rZipped), summed.asObservable()->subscribe(rSummed),
      latest.asObservable()->subscribe(rLatest), counted.asObservable()->subscribe(rCounted)};
  sources[2]->onNext(30);
  sources[0]->onNext(10);
  sources[1]->onNext(20);
  sources[0]->onNext(11);
  EXPECT_EQ(rZipped->elements(), (std::vector<std::vector<int>>{{10, 20, 30}}));
  EXPECT_EQ(rSummed->elements(), std::vector<int>{-20});
  EXPECT_EQ(rLatest->elements(), (std::vector<std::vector<int>>{{10, 20, 30}, {11, 20, 30}}));
  EXPECT_EQ(rCounted->elements(), (std::vector<size_t>{3, 3}));
  for (const auto& s : sources) EXPECT_EQ(s->subscriptionCount(), 1) << "each Driver is shared";
  for (const auto& d : keep) d->dispose();
}

}  // namespace
}  // namespace rv
