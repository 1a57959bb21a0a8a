#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RvStreams/Map.h"
#include "RvStreams/Merge.h"
#include "RvStreams/Multicast.h"
#include "RvStreams/Subscribe.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

TEST(RefCount, SharesOneSubscriptionAndReconnectsWithANewSubject) {
  auto source = TestSource<int>::create();
  auto shared = source | publish() | refCount();
  auto a = RecordingObserver<int>::create();
  auto b = RecordingObserver<int>::create();
  auto da = shared->subscribe(a);
  auto db = shared->subscribe(b);
  EXPECT_EQ(source->subscriptionCount(), 1);
  source->onNext(1);
  da->dispose();
  EXPECT_EQ(source->observerCount(), 1);
  source->onNext(2);
  db->dispose();
  EXPECT_EQ(source->observerCount(), 0);
  EXPECT_EQ(a->descriptions(), (Log{"next(1)"}));
  EXPECT_EQ(b->descriptions(), (Log{"next(1)", "next(2)"}));

  auto c = RecordingObserver<int>::create();
  auto dc = shared->subscribe(c);
  EXPECT_EQ(source->subscriptionCount(), 2);
  source->onNext(3);
  EXPECT_EQ(c->descriptions(), (Log{"next(3)"}));
  dc->dispose();
}

TEST(Connectable, ConnectTwiceGivesTheSameConnectionAndDisposingTwiceIsHarmless) {
  auto source = TestSource<int>::create();
  auto connectable = source | publish();
  auto first = connectable->connect();
  auto second = connectable->connect();
  EXPECT_EQ(first, second);
  EXPECT_EQ(source->subscriptionCount(), 1);
  first->dispose();
  first->dispose();
  EXPECT_EQ(source->observerCount(), 0);
  EXPECT_EQ(source->disposeCount(), 1);
}

TEST(Connectable, SubscribersSeeNothingUntilConnected) {
  auto source = TestSource<int>::create();
  auto connectable = source | publish();
  auto recorder = RecordingObserver<int>::create();
  auto d = connectable->subscribe(recorder);
  EXPECT_EQ(source->subscriptionCount(), 0);
  auto connection = connectable->connect();
  source->onNext(1);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)"}));
  connection->dispose();
  d->dispose();
}

TEST(Connectable, AfterCompletionPublishConnectsAgainWithAFreshSubject) {
  auto source = TestSource<int>::create();
  auto connectable = source | publish();
  auto early = RecordingObserver<int>::create();
  auto de = connectable->subscribe(early);
  auto connection = connectable->connect();
  source->onCompleted();
  EXPECT_EQ(early->descriptions(), (Log{"completed"}));
  EXPECT_EQ(source->observerCount(), 0);  // the connection detached itself

  auto late = RecordingObserver<int>::create();
  auto dl = connectable->subscribe(late);
  auto again = connectable->connect();
  EXPECT_NE(again, connection);
  EXPECT_EQ(source->subscriptionCount(), 2);
  source->onNext(5);
  EXPECT_EQ(late->descriptions(), (Log{"next(5)"}));
  again->dispose();
  dl->dispose();
  de->dispose();
}

TEST(Connectable, AfterCompletionMulticastReusesTheStoppedSubject) {
  auto source = TestSource<int>::create();
  auto subject = PublishSubject<int>::create();
  auto connectable = source | multicast(subject);
  auto connection = connectable->connect();
  source->onCompleted();

  auto late = RecordingObserver<int>::create();
  connectable->subscribe(late);
  EXPECT_EQ(late->descriptions(), (Log{"completed"}));
  auto again = connectable->connect();
  EXPECT_EQ(source->subscriptionCount(), 2);
  source->onNext(5);  // reaches the stopped subject, which drops it
  EXPECT_EQ(late->descriptions(), (Log{"completed"}));
  again->dispose();
}

TEST(Connectable, ReplayKeepsTheLastElementsForLateSubscribers) {
  auto source = TestSource<int>::create();
  auto connectable = source | replay(2);
  auto connection = connectable->connect();
  source->onNext(1);
  source->onNext(2);
  source->onNext(3);
  auto recorder = RecordingObserver<int>::create();
  auto d = connectable->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(2)", "next(3)"}));

  auto all = source | replayAll();
  auto allConnection = all->connect();
  source->onNext(4);
  source->onNext(5);
  auto everything = RecordingObserver<int>::create();
  auto de = all->subscribe(everything);
  EXPECT_EQ(everything->descriptions(), (Log{"next(4)", "next(5)"}));
  allConnection->dispose();
  connection->dispose();
  d->dispose();
  de->dispose();
}

TEST(RefCount, LateSubscriberOfAStoppedSubjectGetsTheStopAndDoesNotConnect) {
  auto source = TestSource<int>::create();
  auto subject = PublishSubject<int>::create();
  auto shared = source | multicast(subject) | refCount();
  auto first = RecordingObserver<int>::create();
  shared->subscribe(first);
  source->onCompleted();
  EXPECT_EQ(first->descriptions(), (Log{"completed"}));

  auto late = RecordingObserver<int>::create();
  auto d = shared->subscribe(late);
  EXPECT_EQ(late->descriptions(), (Log{"completed"}));
  EXPECT_EQ(source->subscriptionCount(), 1);
  d->dispose();  // leaves the count alone: no stop
}

TEST(RefCount, AStopEndsTheGenerationForEveryoneAndOldSubscribersLeaveTheNewOneAlone) {
  auto source = TestSource<int>::create();
  auto shared = source | publish() | refCount();
  auto c = RecordingObserver<int>::create();
  Ref<Disposable> dc;
  // The first subscriber starts a new generation from inside its completion
  // handler, before the second subscriber hears of the old one's end.
  auto da = subscribe(shared, {.onCompleted = [&] { dc = shared->subscribe(c); }});
  auto b = RecordingObserver<int>::create();
  auto db = shared->subscribe(b);
  source->onCompleted();
  EXPECT_EQ(b->descriptions(), (Log{"completed"}));
  ASSERT_TRUE(dc);
  EXPECT_EQ(source->subscriptionCount(), 2);
  EXPECT_EQ(source->observerCount(), 1);
  da->dispose();
  db->dispose();
  source->onNext(7);
  EXPECT_EQ(c->descriptions(), (Log{"next(7)"}));
  dc->dispose();  // the new generation's only subscriber disconnects it
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(RefCount, ErrorReachesEverySubscriberOnce) {
  auto source = TestSource<int>::create();
  auto shared = source | publish() | refCount();
  auto a = RecordingObserver<int>::create();
  auto b = RecordingObserver<int>::create();
  shared->subscribe(a);
  shared->subscribe(b);
  source->onError(makeError("boom"));
  EXPECT_EQ(a->descriptions(), (Log{"error(boom)"}));
  EXPECT_EQ(b->descriptions(), (Log{"error(boom)"}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(MulticastSelector, PrivateSubjectAndConnectionPerSubscription) {
  auto source = TestSource<int>::create();
  int subjects = 0;
  auto doubled =
      source | multicast(
                   [&] {
                     ++subjects;
                     return PublishSubject<int>::create();
                   },
                   [](const Ref<Observable<int>>& shared) {
                     return merge(shared, shared | map([](const int& x) { return x * 10; }));
                   });
  auto a = RecordingObserver<int>::create();
  auto b = RecordingObserver<int>::create();
  auto da = doubled->subscribe(a);
  auto db = doubled->subscribe(b);
  EXPECT_EQ(subjects, 2);
  EXPECT_EQ(source->subscriptionCount(), 2);
  source->onNext(1);
  source->onCompleted();
  EXPECT_EQ(a->descriptions(), (Log{"next(1)", "next(10)", "completed"}));
  EXPECT_EQ(b->descriptions(), (Log{"next(1)", "next(10)", "completed"}));
}

TEST(MulticastSelector, FailingSubjectSelectorDeliversOneErrorAndSubscribesNothing) {
  auto source = TestSource<int>::create();
  auto failing =
      source | multicast([]() -> Ref<PublishSubject<int>> { throw TestError("no subject"); },
                         [](const Ref<Observable<int>>& shared) { return shared; });
  auto recorder = RecordingObserver<int>::create();
  failing->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"error(no subject)"}));
  EXPECT_EQ(source->subscriptionCount(), 0);

  auto selectorFails = source | multicast([] { return PublishSubject<int>::create(); },
                                          [](const Ref<Observable<int>>&) -> Ref<Observable<int>> {
                                            throw TestError("no output");
                                          });
  auto second = RecordingObserver<int>::create();
  selectorFails->subscribe(second);
  EXPECT_EQ(second->descriptions(), (Log{"error(no output)"}));
  EXPECT_EQ(source->subscriptionCount(), 0);
}

}  // namespace
}  // namespace rv
