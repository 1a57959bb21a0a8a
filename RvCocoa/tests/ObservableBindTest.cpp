#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "RvCocoa/ObservableBind.h"
#include "RvStreams/Binder.h"
#include "RvStreams/Infallible.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestSource;

class ObservableBindTest : public ::rv::test::MainQueueTest {};

TEST_F(ObservableBindTest, AnErrorReachingAnElementHandlerIsReportedAndEndsTheBinding) {
  auto source = PublishSubject<int>::create();
  std::vector<int> seen;
  auto d = source | rv::bind([&](const int& x) { seen.push_back(x); });
  source->onNext(1);
  ::testing::internal::CaptureStdout();
  source->onError(test::makeError("broken pipe"));
  const std::string printed = ::testing::internal::GetCapturedStdout();
  source->onNext(2);

  EXPECT_EQ(seen, std::vector<int>{1}) << "nothing after the error";
  EXPECT_NE(printed.find("ObservableBind.h:"), std::string::npos) << printed;
  const std::string tail = "Binding error: " + describe(test::makeError("broken pipe")) + "\n";
  ASSERT_GE(printed.size(), tail.size());
  EXPECT_EQ(printed.substr(printed.size() - tail.size()), tail);
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1);
  d->dispose();
}

TEST_F(ObservableBindTest, ObserversGetEveryEventErrorsIncludedInTheOrderGiven) {
  auto source = PublishSubject<int>::create();
  std::vector<std::string> order;
  auto logging = [&order](std::string name) {
    return AnyObserver<int>(
        [&order, name](const Event<int>& e) { order.push_back(name + " " + describe(e)); });
  };
  auto recorder = RecordingObserver<int>::create();
  auto optional = RecordingObserver<std::optional<int>>::create();
  auto d = source | rv::bindTo(logging("first"), recorder, logging("second"));
  auto e = source | rv::bindTo(optional);
  source->onNext(1);
  source->onError(test::makeError());

  const std::string error = describe(test::failed<int>(test::makeError()));
  EXPECT_EQ(order, (std::vector<std::string>{"first next(1)", "second next(1)", "first " + error,
                                             "second " + error}));
  EXPECT_EQ(recorder->descriptions(), (std::vector<std::string>{"next(1)", error}));
  EXPECT_EQ(optional->elements(), std::vector<std::optional<int>>{1});
  EXPECT_EQ(optional->stopCount(), 1);
  d->dispose();
  e->dispose();
}

TEST_F(ObservableBindTest, ABinderIsAnObserverLikeAnyOther) {
  auto source = PublishSubject<int>::create();
  auto label = std::make_shared<std::string>();
  Binder<int> text(label, [](std::string& l, int x) { l = std::to_string(x); });
  auto d = source | rv::bindTo(text);
  source->onNext(7);
  drain();
  EXPECT_EQ(*label, "7");
  d->dispose();
}

TEST_F(ObservableBindTest, AnElementHandlerWithAReleasedObjectDropsElementsButStaysSubscribed) {
  auto source = PublishSubject<int>::create();
  auto owner = std::make_shared<std::vector<int>>();
  std::vector<int>* raw = owner.get();
  int calls = 0;
  auto d = source | rv::bind(owner, [&](const Ref<std::vector<int>>& o, const int& x) {
             ++calls;
             o->push_back(x);
           });
  source->onNext(1);
  EXPECT_EQ(*raw, std::vector<int>{1});
  owner.reset();
  source->onNext(2);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(source->hasObservers()) << "the binding lives until disposed";
  d->dispose();
  EXPECT_FALSE(source->hasObservers());
}

TEST_F(ObservableBindTest, AnEmptyObserverListStillSubscribes) {
  auto source = PublishSubject<int>::create();
  auto d = source | rv::bindTo();
  EXPECT_TRUE(source->hasObservers());
  source->onNext(1);
  d->dispose();
  EXPECT_FALSE(source->hasObservers());

  auto infallible = Infallible<int>(source);
  auto e = infallible | rv::bindTo();
  EXPECT_TRUE(source->hasObservers());
  e->dispose();
}

TEST_F(ObservableBindTest, AnInfallibleFeedsRelaysInOrderAndLeavesThemAfterCompletion) {
  auto source = PublishSubject<int>::create();
  Infallible<int> infallible(source);
  auto optional = BehaviorRelay<std::optional<int>>::create(std::nullopt);
  auto log = ReplayRelay<int>::createUnbound();
  auto published = PublishRelay<int>::create();
  auto publishedSeen = RecordingObserver<int>::create();
  auto keep = published->asObservable()->subscribe(publishedSeen);
  auto a = infallible | rv::bindTo(optional);
  auto b = infallible | rv::bindTo(log, log);
  auto c = infallible | rv::bindTo(published);
  source->onNext(1);
  source->onNext(2);
  source->onCompleted();

  EXPECT_EQ(optional->value(), std::optional<int>(2));
  auto replayed = RecordingObserver<int>::create();
  auto r = log->asObservable()->subscribe(replayed);
  EXPECT_EQ(replayed->elements(), (std::vector<int>{1, 1, 2, 2}));
  EXPECT_EQ(replayed->stopCount(), 0) << "the completion does not reach a relay";
  EXPECT_EQ(publishedSeen->elements(), (std::vector<int>{1, 2}));
  EXPECT_EQ(publishedSeen->stopCount(), 0);
  for (const auto& d : {a, b, c, r, keep}) d->dispose();
}

TEST_F(ObservableBindTest, AnInfallibleFeedsObserversAndElementHandlers) {
  auto source = PublishSubject<int>::create();
  Infallible<int> infallible(source);
  auto plain = RecordingObserver<int>::create();
  auto optional = RecordingObserver<std::optional<int>>::create();
  std::vector<int> seen;
  auto a = infallible | rv::bindTo(plain);
  auto b = infallible | rv::bindTo(optional);
  auto c = infallible | rv::bind([&](const int& x) { seen.push_back(x); });
  source->onNext(3);
  source->onCompleted();
  EXPECT_EQ(plain->descriptions(), (std::vector<std::string>{"next(3)", "completed"}));
  EXPECT_EQ(optional->descriptions(), (std::vector<std::string>{"next(Optional(3))", "completed"}));
  EXPECT_EQ(seen, std::vector<int>{3});
  for (const auto& d : {a, b, c}) d->dispose();
}

TEST_F(ObservableBindTest, BinderFunctionsReceiveTheSequenceItself) {
  auto source = TestSource<int>::create();
  Ref<Observable<int>> observable = source;
  auto subscribeTwice = [](const auto& sequence) {
    auto one = rv::subscribe(sequence, [](const Event<int>&) {});
    auto two = rv::subscribe(sequence, [](const Event<int>&) {});
    return std::vector<Ref<Disposable>>{one, two};
  };
  auto both = observable | rv::bindTo(subscribeTwice);
  EXPECT_EQ(source->subscriptionCount(), 2) << "no sharing in between";
  for (const auto& d : both) d->dispose();

  Infallible<int> infallible(source);
  bool gotInfallible = false;
  auto sum =
      infallible | rv::bindTo(
                       [&](const auto& sequence) {
                         gotInfallible =
                             std::is_same_v<std::decay_t<decltype(sequence)>, Infallible<int>>;
                         return [](int x) { return x + 1; };
                       },
                       41);
  EXPECT_EQ(sum, 42);
  EXPECT_TRUE(gotInfallible);
  EXPECT_EQ(source->subscriptionCount(), 2) << "the curried form subscribes nothing itself";
}

}  // namespace
}  // namespace rv
