#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RvStreams/Map.h"
#include "RvStreams/Share.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::elements;
using test::makeError;
using test::RecordingObserver;
using test::TestSource;
using Log = std::vector<std::string>;

// The hand-driven source behind a sink, as real sources are: the sink ends its
// subscription after a stop event.
Ref<Observable<int>> behindSink(const Ref<TestSource<int>>& source) {
  return source | filter([](const int&) { return true; });
}

TEST(ShareWhileConnected, ReplayOneGivesTheLastElementToLateObserversUntilDisconnected) {
  auto source = TestSource<int>::create();
  auto shared = source | share(1);
  auto a = RecordingObserver<int>::create();
  auto da = shared->subscribe(a);
  source->onNext(1);
  source->onNext(2);
  auto b = RecordingObserver<int>::create();
  auto db = shared->subscribe(b);
  EXPECT_EQ(b->descriptions(), (Log{"next(2)"}));
  source->onNext(3);
  EXPECT_EQ(a->descriptions(), (Log{"next(1)", "next(2)", "next(3)"}));
  EXPECT_EQ(b->descriptions(), (Log{"next(2)", "next(3)"}));
  da->dispose();
  db->dispose();
  EXPECT_EQ(source->observerCount(), 0);

  auto c = RecordingObserver<int>::create();
  auto dc = shared->subscribe(c);
  EXPECT_EQ(source->subscriptionCount(), 2);
  EXPECT_TRUE(c->events().empty());  // a new connection starts without an element
  dc->dispose();
}

TEST(ShareWhileConnected, ReplayZeroGivesLateObserversOnlyLaterElements) {
  auto source = TestSource<int>::create();
  auto shared = source | share();
  auto a = RecordingObserver<int>::create();
  auto da = shared->subscribe(a);
  source->onNext(1);
  auto b = RecordingObserver<int>::create();
  auto db = shared->subscribe(b);
  source->onNext(2);
  EXPECT_EQ(a->descriptions(), (Log{"next(1)", "next(2)"}));
  EXPECT_EQ(b->descriptions(), (Log{"next(2)"}));
  EXPECT_EQ(source->subscriptionCount(), 1);
  da->dispose();
  db->dispose();
}

TEST(ShareWhileConnected, FirstObserverIsRegisteredBeforeASynchronousSourceEmits) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2}) | share(1))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
}

TEST(ShareWhileConnected, CompletionReachesCurrentObserversOnceAndALaterObserverResubscribes) {
  for (int64_t replay : {0, 1}) {
    auto source = TestSource<int>::create();
    auto shared = behindSink(source) | share(replay);
    auto a = RecordingObserver<int>::create();
    auto b = RecordingObserver<int>::create();
    auto da = shared->subscribe(a);
    auto db = shared->subscribe(b);
    source->onNext(1);
    source->onCompleted();
    EXPECT_EQ(a->descriptions(), (Log{"next(1)", "completed"}));
    EXPECT_EQ(b->descriptions(), (Log{"next(1)", "completed"}));
    da->dispose();  // after the stop: nothing changes
    da->dispose();

    auto c = RecordingObserver<int>::create();
    auto dc = shared->subscribe(c);
    EXPECT_EQ(source->subscriptionCount(), 2);
    EXPECT_TRUE(c->events().empty());  // no element survives a stop
    source->onNext(2);
    EXPECT_EQ(c->descriptions(), (Log{"next(2)"}));
    db->dispose();
    dc->dispose();
    EXPECT_EQ(source->observerCount(), 0);
  }
}

TEST(ShareWhileConnected, DisposingOneObserverTwiceKeepsTheOthersConnected) {
  auto source = TestSource<int>::create();
  auto shared = source | share(1);
  auto a = RecordingObserver<int>::create();
  auto b = RecordingObserver<int>::create();
  auto da = shared->subscribe(a);
  auto db = shared->subscribe(b);
  da->dispose();
  da->dispose();
  EXPECT_EQ(source->observerCount(), 1);
  source->onNext(1);
  EXPECT_EQ(b->descriptions(), (Log{"next(1)"}));
  db->dispose();
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(ShareWhileConnected, ErrorReachesEveryObserver) {
  auto source = TestSource<int>::create();
  auto shared = behindSink(source) | share();
  auto a = RecordingObserver<int>::create();
  auto b = RecordingObserver<int>::create();
  shared->subscribe(a);
  shared->subscribe(b);
  source->onError(makeError("boom"));
  EXPECT_EQ(a->descriptions(), (Log{"error(boom)"}));
  EXPECT_EQ(b->descriptions(), (Log{"error(boom)"}));
}

TEST(ShareWhileConnected, ReplayThreeUsesAFreshReplaySubjectPerConnection) {
  auto source = TestSource<int>::create();
  auto shared = source | share(3);
  auto a = RecordingObserver<int>::create();
  auto da = shared->subscribe(a);
  for (int i = 1; i <= 4; ++i) source->onNext(i);
  auto b = RecordingObserver<int>::create();
  auto db = shared->subscribe(b);
  EXPECT_EQ(b->descriptions(), (Log{"next(2)", "next(3)", "next(4)"}));
  da->dispose();
  db->dispose();
  auto c = RecordingObserver<int>::create();
  auto dc = shared->subscribe(c);
  EXPECT_TRUE(c->events().empty());
  EXPECT_EQ(source->subscriptionCount(), 2);
  dc->dispose();
}

TEST(ShareWhileConnected, NegativeReplayKeepsNothing) {
  auto source = TestSource<int>::create();
  auto shared = source | share(-2);
  auto a = RecordingObserver<int>::create();
  auto da = shared->subscribe(a);
  source->onNext(1);
  auto b = RecordingObserver<int>::create();
  auto db = shared->subscribe(b);
  EXPECT_TRUE(b->events().empty());
  source->onNext(2);
  EXPECT_EQ(b->descriptions(), (Log{"next(2)"}));
  da->dispose();
  db->dispose();
}

TEST(ShareForever, ReplayZeroReconnectsThroughTheSameSubjectUntilTheSourceStops) {
  auto source = TestSource<int>::create();
  auto shared = source | share(0, SubjectLifetimeScope::forever);
  auto a = RecordingObserver<int>::create();
  auto da = shared->subscribe(a);
  da->dispose();
  auto b = RecordingObserver<int>::create();
  auto db = shared->subscribe(b);
  EXPECT_EQ(source->subscriptionCount(), 2);
  source->onNext(1);
  source->onCompleted();
  EXPECT_EQ(b->descriptions(), (Log{"next(1)", "completed"}));

  auto c = RecordingObserver<int>::create();
  shared->subscribe(c);
  EXPECT_EQ(c->descriptions(), (Log{"completed"}));
  EXPECT_EQ(source->subscriptionCount(), 2);
}

TEST(ShareForever, ReplayThreeKeepsOneReplaySubjectForLife) {
  auto source = TestSource<int>::create();
  auto shared = source | share(3, SubjectLifetimeScope::forever);
  auto a = RecordingObserver<int>::create();
  auto da = shared->subscribe(a);
  for (int i = 1; i <= 4; ++i) source->onNext(i);
  da->dispose();
  auto b = RecordingObserver<int>::create();
  auto db = shared->subscribe(b);
  EXPECT_EQ(b->descriptions(), (Log{"next(2)", "next(3)", "next(4)"}));
  EXPECT_EQ(source->subscriptionCount(), 2);
  source->onCompleted();
  auto c = RecordingObserver<int>::create();
  shared->subscribe(c);
  EXPECT_EQ(c->descriptions(), (Log{"next(2)", "next(3)", "next(4)", "completed"}));
  EXPECT_EQ(source->subscriptionCount(), 2);
  db->dispose();
}

}  // namespace
}  // namespace rv
