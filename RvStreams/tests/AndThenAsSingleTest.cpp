#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "RvStreams/AsSingle.h"
#include "RvStreams/ElementAt.h"
#include "RvStreams/PrimitiveSequence.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::makeError;
using test::record;
using test::RecordingObserver;
using test::TestSource;
using Log = std::vector<std::string>;

// --- andThen ---

TEST(AndThen, FailingCompletableNeverSubscribesTheSecond) {
  auto second = TestSource<int>::create();
  auto recorder = record(Completable::error(makeError("first")).andThen(Single<int>(second)));
  EXPECT_EQ(recorder->descriptions(), (Log{"error(first)"}));
  EXPECT_EQ(second->subscriptionCount(), 0);
}

TEST(AndThen, SecondIsSubscribedOnceAfterTheCompletionAndItsEventsAreTheResult) {
  auto completable = TestSource<Never>::create();
  auto second = TestSource<int>::create();
  Single<int> single = Completable(completable).andThen(Single<int>(second));
  auto recorder = record(single);
  EXPECT_EQ(second->subscriptionCount(), 0);
  completable->onCompleted();
  EXPECT_EQ(completable->observerCount(), 0);  // the finished subscription is let go
  EXPECT_EQ(second->subscriptionCount(), 1);
  second->onNext(5);
  second->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(5)", "completed"}));
}

TEST(AndThen, ObservableSecondDeliversEveryElementThenEnds) {
  auto second = TestSource<int>::create();
  Ref<Observable<int>> result = Completable::empty().andThen(second);
  auto recorder = RecordingObserver<int>::create();
  result->subscribe(recorder);
  second->onNext(1);
  second->onNext(2);
  second->onNext(3);
  second->onCompleted();
  second->onNext(4);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "next(3)", "completed"}));
  EXPECT_EQ(second->observerCount(), 0);

  auto subject = PublishSubject<int>::create();
  auto fromSubject = RecordingObserver<int>::create();
  auto subscription = Completable::empty().andThen(subject)->subscribe(fromSubject);
  subject->onNext(9);
  EXPECT_EQ(fromSubject->descriptions(), (Log{"next(9)"}));
  subscription->dispose();
}

TEST(AndThen, DisposingWhileTheCompletableRunsNeverSubscribesTheSecond) {
  auto completable = TestSource<Never>::create();
  auto second = TestSource<int>::create();
  auto subscription = Completable(completable)
                          .andThen(Maybe<int>(second))
                          .asObservable()
                          ->subscribe(RecordingObserver<int>::create());
  subscription->dispose();
  EXPECT_EQ(completable->observerCount(), 0);
  completable->onCompleted();
  EXPECT_EQ(second->subscriptionCount(), 0);
}

TEST(AndThen, DisposingWhileTheSecondRunsDisposesIt) {
  auto second = TestSource<Never>::create();
  auto recorder = RecordingObserver<Never>::create();
  auto subscription =
      Completable::empty().andThen(Completable(second)).asObservable()->subscribe(recorder);
  EXPECT_EQ(second->observerCount(), 1);
  subscription->dispose();
  EXPECT_EQ(second->observerCount(), 0);
  second->onCompleted();
  EXPECT_TRUE(recorder->recorded().empty());
}

TEST(AndThen, ChainsKeepTheShapeOfTheLastSequence) {
  Log log;
  auto step = [&](std::string name) {
    return Completable::empty().doOn({.onSubscribe = [&log, name] { log.push_back(name); }});
  };
  Maybe<int> maybe = step("a").andThen(step("b")).andThen(Maybe<int>::just(1));
  EXPECT_EQ(record(maybe)->descriptions(), (Log{"next(1)", "completed"}));
  EXPECT_EQ(log, (Log{"a", "b"}));
}

// --- conversions ---

TEST(AsSingle, OneElementWithoutCompletionEmitsNothing) {
  auto source = TestSource<int>::create();
  auto single = record(source | asSingle());
  auto maybe = record(source | asMaybe());
  source->onNext(1);
  EXPECT_TRUE(single->recorded().empty());
  EXPECT_TRUE(maybe->recorded().empty());
  source->onCompleted();
  EXPECT_EQ(single->descriptions(), (Log{"next(1)", "completed"}));
  EXPECT_EQ(maybe->descriptions(), (Log{"next(1)", "completed"}));
}

TEST(AsSingle, SecondElementFailsAtOnceAndEndsTheSourceSubscription) {
  for (bool maybe : {false, true}) {
    auto source = TestSource<int>::create();
    auto recorder = maybe ? record(source | asMaybe()) : record(source | asSingle());
    source->onNext(1);
    source->onNext(2);
    EXPECT_EQ(source->observerCount(), 0);
    source->onNext(3);
    source->onCompleted();
    EXPECT_EQ(recorder->descriptions(), (Log{"error(Sequence contains more than one element.)"}))
        << (maybe ? "asMaybe" : "asSingle");
  }
}

TEST(AsSingle, EmptySourceFailsAsSingleAndCompletesAsMaybe) {
  EXPECT_EQ(record(empty<int>() | asSingle())->descriptions(),
            (Log{"error(Sequence doesn't contain any elements.)"}));
  EXPECT_EQ(record(empty<int>() | asMaybe())->descriptions(), (Log{"completed"}));
}

TEST(AsSingle, ErrorAfterAnElementDropsTheElement) {
  for (bool maybe : {false, true}) {
    auto source = TestSource<int>::create();
    auto recorder = maybe ? record(source | asMaybe()) : record(source | asSingle());
    source->onNext(1);
    source->onError(makeError("e"));
    EXPECT_EQ(recorder->descriptions(), (Log{"error(e)"}));
  }
}

TEST(AsSingle, FirstDoesNotWaitForTheCompletion) {
  auto source = TestSource<int>::create();
  Single<std::optional<int>> first = source | rv::first();
  auto recorder = record(first);
  source->onNext(4);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(Optional(4))", "completed"}));
  EXPECT_EQ(source->observerCount(), 0);
  EXPECT_EQ(record(empty<int>() | rv::first())->descriptions(), (Log{"next(nil)", "completed"}));
}

}  // namespace
}  // namespace rv
