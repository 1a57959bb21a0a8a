#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "RvStreams/AsyncSubject.h"
#include "RvStreams/BehaviorSubject.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/ReplaySubject.h"
#include "RvStreams/Subscribe.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::makeError;
using test::RecordingObserver;
using Log = std::vector<std::string>;

const char* const kDisposedPrefix = "error(Object `";

bool isDisposedError(const std::string& description) {
  return description.rfind(kDisposedPrefix, 0) == 0 &&
         description.find("` was already disposed.)") != std::string::npos;
}

// --- publish subject -------------------------------------------------------------

TEST(PublishSubject, SubscriberSeesOnlyLaterEvents) {
  auto subject = PublishSubject<int>::create();
  subject->onNext(1);
  auto recorder = RecordingObserver<int>::create();
  auto d = subject->subscribe(recorder);
  subject->onNext(2);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(2)"}));
  d->dispose();
}

TEST(PublishSubject, SubscribingDuringDeliveryMissesThatEvent) {
  auto subject = PublishSubject<int>::create();
  auto late = RecordingObserver<int>::create();
  Ref<Disposable> lateSubscription;
  auto d = subscribe(subject, {.onNext = [&](const int&) {
                       if (!lateSubscription) lateSubscription = subject->subscribe(late);
                     }});
  subject->onNext(1);
  subject->onNext(2);
  EXPECT_EQ(late->descriptions(), (Log{"next(2)"}));
  d->dispose();
  lateSubscription->dispose();
}

TEST(PublishSubject, UnsubscribingDuringDeliveryMayStillGetThatEventButNothingAfter) {
  auto subject = PublishSubject<int>::create();
  auto second = RecordingObserver<int>::create();
  Ref<Disposable> secondSubscription;
  auto d = subscribe(subject, {.onNext = [&](const int&) { secondSubscription->dispose(); }});
  secondSubscription = subject->subscribe(second);
  subject->onNext(1);  // in the snapshot already
  subject->onNext(2);
  EXPECT_EQ(second->descriptions(), (Log{"next(1)"}));
  d->dispose();
}

TEST(PublishSubject, OnlyTheFirstStopEventIsRecordedAndReplayed) {
  auto subject = PublishSubject<int>::create();
  auto recorder = RecordingObserver<int>::create();
  subject->subscribe(recorder);
  subject->onCompleted();
  subject->onError(makeError());
  subject->onNext(3);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
  EXPECT_FALSE(subject->hasObservers());
  auto late = RecordingObserver<int>::create();
  EXPECT_EQ(subject->subscribe(late), Disposables::create());
  EXPECT_EQ(late->descriptions(), (Log{"completed"}));
}

TEST(PublishSubject, DisposeAfterCompletedGivesLaterSubscribersTheDisposedError) {
  auto subject = PublishSubject<int>::create();
  subject->onCompleted();
  subject->dispose();
  EXPECT_TRUE(subject->isDisposed());
  auto late = RecordingObserver<int>::create();
  subject->subscribe(late);
  ASSERT_EQ(late->descriptions().size(), 1u);
  EXPECT_TRUE(isDisposedError(late->descriptions()[0])) << late->descriptions()[0];
}

// Disposing clears the recorded stop event, so a disposed subject records a
// new one: kept as it is, since callers may rely on it.
TEST(PublishSubject, CompletedAfterDisposeIsRecordedAgain) {
  auto subject = PublishSubject<int>::create();
  subject->onCompleted();
  subject->dispose();
  subject->onError(makeError("second stop"));
  auto late = RecordingObserver<int>::create();
  subject->subscribe(late);
  EXPECT_EQ(late->descriptions(), (Log{"error(second stop)"}));
}

TEST(PublishSubject, DisposeForgetsObserversWithoutTellingThem) {
  auto subject = PublishSubject<int>::create();
  auto recorder = RecordingObserver<int>::create();
  subject->subscribe(recorder);
  subject->dispose();
  subject->onNext(1);
  EXPECT_TRUE(recorder->events().empty());
  EXPECT_FALSE(subject->hasObservers());
}

TEST(PublishSubject, DeliveryFollowsTheBagOrder) {
  auto subject = PublishSubject<int>::create();
  Log log;
  auto observer = [&](std::string name) {
    return makeAnonymousObserver<int>([&log, name](const Event<int>&) { log.push_back(name); });
  };
  auto a = subject->subscribe(observer("A"));
  auto b = subject->subscribe(observer("B"));
  subject->onNext(1);
  a->dispose();
  auto c = subject->subscribe(observer("C"));  // takes the free inline slot
  subject->onNext(2);
  EXPECT_EQ(log, (Log{"A", "B", "C", "B"}));
  b->dispose();
  c->dispose();
}

// Each nested delivery holds the observers of its own moment, however deep
// the nesting goes.
TEST(PublishSubject, DeeplyNestedDeliveriesEachReachTheirOwnObservers) {
  auto subject = PublishSubject<int>::create();
  std::vector<Ref<Disposable>> late;
  std::vector<std::string> log;
  auto first = subject->subscribe(makeAnonymousObserver<int>([&](const Event<int>& e) {
    const int depth = *e.element();
    log.push_back("first " + std::to_string(depth));
    if (depth == 20) return;
    // Joins during this delivery: sees only the deeper ones.
    late.push_back(
        subject->subscribe(makeAnonymousObserver<int>([&log, depth](const Event<int>& e) {
          log.push_back(std::to_string(depth) + " saw " + std::to_string(*e.element()));
        })));
    subject->onNext(depth + 1);
  }));
  subject->onNext(0);
  EXPECT_EQ(log.size(), 21u + 20u * 21u / 2u);
  EXPECT_EQ(log.front(), "first 0");
  EXPECT_EQ(log[1], "first 1");
  EXPECT_EQ(log.back(), "0 saw 1");
  first->dispose();
  for (auto& d : late) d->dispose();
  EXPECT_FALSE(subject->hasObservers());
}

TEST(PublishSubject, SubscriptionDisposableOutlivingTheSubjectDoesNothing) {
  Ref<Disposable> d;
  {
    auto subject = PublishSubject<int>::create();
    d = subject->subscribe(RecordingObserver<int>::create());
  }
  d->dispose();
}

TEST(PublishSubject, ObserverReplayedToMayCallBackIntoTheSubject) {
  auto subject = PublishSubject<int>::create();
  subject->onCompleted();
  bool subscribedAgain = false;
  subscribe(subject, [&](const Event<int>&) {
    subject->subscribe(RecordingObserver<int>::create());  // re-enters the lock
    subscribedAgain = true;
  });
  EXPECT_TRUE(subscribedAgain);
}

// The replayed stop event must stay intact while the observer handles it,
// even when its handler disposes the subject (which forgets the recorded
// event).
TEST(PublishSubject, LateSubscriberDisposingTheSubjectStillReadsItsStopEvent) {
  auto subject = PublishSubject<int>::create();
  subject->onError(makeError("recorded"));
  std::string seen;
  subscribe(subject, {.onError = [&](const Error& e) {
              subject->dispose();
              seen = describe(e);
            }});
  EXPECT_EQ(seen, "recorded");
}

// --- every subject: destroyed from its own delivery ------------------------------

// Logs "<name>:<event>". Armed, the first observer drops the only reference
// to its subject on its first event, and then goes on reading its own
// members: it must stay alive for the whole of its `on`.
class TeardownObserver final : public ObserverType<int> {
 public:
  TeardownObserver(std::string name, Log& log, const bool& armed, Ref<ObserverType<int>>* owner)
      : name_(std::move(name)), log_(log), armed_(armed), owner_(owner) {}

  void on(const Event<int>& event) noexcept override {
    if (armed_ && owner_ != nullptr) std::exchange(owner_, nullptr)->reset();
    log_.push_back(name_ + ":" + describe(event));
  }

 private:
  std::string name_;
  Log& log_;
  const bool& armed_;
  Ref<ObserverType<int>>* owner_;
};

// A model owning a subject is torn down by one of the subject's observers
// while the subject delivers to it: that observer finishes its `on`, the
// delivery reaches the rest of its snapshot, and every observer is released
// afterwards.
TEST(Subjects, DestroyedFromItsOwnDeliveryFinishesThatDeliveryCleanly) {
  struct Case {
    const char* what;
    std::function<Ref<ObserverType<int>>()> make;
    int observers;
    std::vector<Event<int>> push;
    Log expected;
  };
  const Event<int> one = Event<int>::next(1);
  const Event<int> completed = Event<int>::completed();
  const Log both = {"A:next(1)", "B:next(1)"};
  const Log bothCompleted = {"A:completed", "B:completed"};
  const std::vector<Case> cases = {
      {"publish, one observer",
       [] { return PublishSubject<int>::create(); },
       1,
       {one},
       {"A:next(1)"}},
      {"publish", [] { return PublishSubject<int>::create(); }, 2, {one}, both},
      {"publish, stop",
       [] { return PublishSubject<int>::create(); },
       2,
       {completed},
       bothCompleted},
      {"behavior, one observer",
       [] { return BehaviorSubject<int>::create(0); },
       1,
       {one},
       {"A:next(1)"}},
      {"behavior", [] { return BehaviorSubject<int>::create(0); }, 2, {one}, both},
      {"replay", [] { return ReplaySubject<int>::create(1); }, 2, {one}, both},
      {"replay, stop", [] { return ReplaySubject<int>::create(1); }, 2, {completed}, bothCompleted},
      {"async",
       [] { return AsyncSubject<int>::create(); },
       2,
       {one, completed},
       {"A:next(1)", "B:next(1)", "A:completed", "B:completed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Log log;
    bool armed = false;
    Ref<ObserverType<int>> subject = c.make();  // the model's only reference
    auto* observable = dynamic_cast<Observable<int>*>(subject.get());
    std::vector<Weak<ObserverType<int>>> observers;
    for (int i = 0; i < c.observers; ++i) {
      auto observer = std::make_shared<TeardownObserver>(std::string(1, static_cast<char>('A' + i)),
                                                         log, armed, i == 0 ? &subject : nullptr);
      observable->subscribe(observer);
      observers.push_back(observer);
    }
    log.clear();
    armed = true;
    ObserverType<int>& input = *subject;
    for (const Event<int>& event : c.push) input.on(event);  // the last one tears it down
    EXPECT_EQ(subject, nullptr);
    EXPECT_EQ(log, c.expected);
    for (const auto& observer : observers) EXPECT_TRUE(observer.expired());
  }
}

// A new subscriber that tears the model down from what the subject replays
// to it during subscribe: subscribe finishes, and nothing is kept.
TEST(Subjects, DestroyedFromAReplayToANewSubscriberFinishesSubscribing) {
  struct Case {
    const char* what;
    std::function<Ref<ObserverType<int>>()> make;
    std::vector<Event<int>> before;
    Log expected;
  };
  const Event<int> one = Event<int>::next(1);
  const Event<int> completed = Event<int>::completed();
  const std::vector<Case> cases = {
      {"publish, stopped",
       [] { return PublishSubject<int>::create(); },
       {completed},
       {"A:completed"}},
      {"behavior", [] { return BehaviorSubject<int>::create(0); }, {one}, {"A:next(1)"}},
      {"replay",
       [] { return ReplaySubject<int>::create(2); },
       {one, one},
       {"A:next(1)", "A:next(1)"}},
      {"async, stopped",
       [] { return AsyncSubject<int>::create(); },
       {one, completed},
       {"A:next(1)", "A:completed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Log log;
    const bool armed = true;
    Ref<ObserverType<int>> subject = c.make();  // the model's only reference
    for (const Event<int>& event : c.before) subject->on(event);
    auto* observable = dynamic_cast<Observable<int>*>(subject.get());
    auto observer = std::make_shared<TeardownObserver>("A", log, armed, &subject);
    const Weak<ObserverType<int>> weak = observer;
    observable->subscribe(std::move(observer));
    EXPECT_EQ(subject, nullptr);
    EXPECT_EQ(log, c.expected);
    EXPECT_TRUE(weak.expired());
  }
}

// --- behavior subject ------------------------------------------------------------

TEST(BehaviorSubject, NewSubscriberGetsTheCurrentValueFirst) {
  auto subject = BehaviorSubject<int>::create(0);
  subject->onNext(1);
  subject->onNext(2);
  auto recorder = RecordingObserver<int>::create();
  auto d = subject->subscribe(recorder);
  subject->onNext(3);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(2)", "next(3)"}));
  EXPECT_EQ(subject->value(), 3);
  d->dispose();
}

TEST(BehaviorSubject, CompletedSubjectReplaysOnlyCompletedButKeepsItsValue) {
  auto subject = BehaviorSubject<int>::create(4);
  auto early = RecordingObserver<int>::create();
  subject->subscribe(early);
  subject->onCompleted();
  EXPECT_TRUE(subject->hasObservers());  // not removed on stop
  auto late = RecordingObserver<int>::create();
  subject->subscribe(late);
  EXPECT_EQ(late->descriptions(), (Log{"completed"}));
  EXPECT_EQ(subject->value(), 4);
  subject->dispose();
}

TEST(BehaviorSubject, FailedSubjectReplaysTheErrorAndValueThrowsIt) {
  auto subject = BehaviorSubject<int>::create(4);
  subject->onError(makeError("failed"));
  auto late = RecordingObserver<int>::create();
  subject->subscribe(late);
  EXPECT_EQ(late->descriptions(), (Log{"error(failed)"}));
  EXPECT_THROW(subject->value(), test::TestError);
}

TEST(BehaviorSubject, AfterDisposeValueThrowsAndUnsubscribeDoesNothing) {
  auto subject = BehaviorSubject<int>::create(4);
  auto d = subject->subscribe(RecordingObserver<int>::create());
  subject->dispose();
  EXPECT_THROW(subject->value(), RvError);
  d->dispose();
  auto late = RecordingObserver<int>::create();
  subject->subscribe(late);
  ASSERT_EQ(late->descriptions().size(), 1u);
  EXPECT_TRUE(isDisposedError(late->descriptions()[0]));
}

TEST(BehaviorSubject, LateSubscriberDisposingTheSubjectStillReadsItsStopEvent) {
  auto subject = BehaviorSubject<int>::create(0);
  subject->onError(makeError("recorded"));
  std::string seen;
  subscribe(subject, {.onError = [&](const Error& e) {
              subject->dispose();
              seen = describe(e);
            }});
  EXPECT_EQ(seen, "recorded");
}

// --- replay subject --------------------------------------------------------------

std::vector<int> replayed(const Ref<ReplaySubject<int>>& subject) {
  auto recorder = RecordingObserver<int>::create();
  subject->subscribe(recorder)->dispose();
  return recorder->elements();
}

TEST(ReplaySubject, ReplaysTheLastElementsByBufferSize) {
  auto one = ReplaySubject<int>::create(1);
  auto three = ReplaySubject<int>::create(3);
  auto none = ReplaySubject<int>::create(0);
  auto all = ReplaySubject<int>::createUnbound();
  for (int i = 1; i <= 5; ++i) {
    one->onNext(i);
    three->onNext(i);
    none->onNext(i);
    all->onNext(i);
  }
  EXPECT_EQ(replayed(one), (std::vector<int>{5}));
  EXPECT_EQ(replayed(three), (std::vector<int>{3, 4, 5}));
  EXPECT_TRUE(replayed(none).empty());
  EXPECT_EQ(replayed(all), (std::vector<int>{1, 2, 3, 4, 5}));
}

// A negative size used to loop for ever (-1) or to ask for a negative
// capacity: it now keeps nothing.
TEST(ReplaySubject, NegativeBufferSizeKeepsNothing) {
  for (int64_t size : {-1, -2, -100}) {
    auto subject = ReplaySubject<int>::create(size);
    subject->onNext(1);
    subject->onNext(2);
    subject->onCompleted();
    auto late = RecordingObserver<int>::create();
    subject->subscribe(late);
    EXPECT_EQ(late->descriptions(), (Log{"completed"})) << size;
  }
}

TEST(ReplaySubject, StoppedSubjectReplaysBufferThenStopEvent) {
  auto subject = ReplaySubject<int>::create(2);
  subject->onNext(1);
  subject->onNext(2);
  subject->onError(makeError("end"));
  EXPECT_TRUE(subject->isStopped());
  auto late = RecordingObserver<int>::create();
  EXPECT_EQ(subject->subscribe(late), Disposables::create());
  EXPECT_EQ(late->descriptions(), (Log{"next(1)", "next(2)", "error(end)"}));
  EXPECT_FALSE(subject->hasObservers());
}

TEST(ReplaySubject, DisposedSubjectGivesOnlyTheDisposedError) {
  auto subject = ReplaySubject<int>::create(2);
  subject->onNext(1);
  subject->onCompleted();
  subject->dispose();
  auto late = RecordingObserver<int>::create();
  subject->subscribe(late);
  ASSERT_EQ(late->descriptions().size(), 1u);
  EXPECT_TRUE(isDisposedError(late->descriptions()[0]));
}

TEST(ReplaySubject, SubscriberDuringDeliveryGetsTheElementThroughReplayOnly) {
  auto subject = ReplaySubject<int>::create(1);
  auto late = RecordingObserver<int>::create();
  Ref<Disposable> lateSubscription;
  auto d = subscribe(subject, {.onNext = [&](const int&) {
                       if (!lateSubscription) lateSubscription = subject->subscribe(late);
                     }});
  subject->onNext(7);
  EXPECT_EQ(late->descriptions(), (Log{"next(7)"}));
  d->dispose();
  lateSubscription->dispose();
}

TEST(ReplaySubject, ObserverPushingDuringReplayDoesNotDisturbIt) {
  auto subject = ReplaySubject<int>::createUnbound();
  subject->onNext(1);
  subject->onNext(2);
  std::vector<int> seen;
  auto d = subscribe(subject, {.onNext = [&](const int& x) {
                       seen.push_back(x);
                       if (x < 3) subject->onNext(x + 10);
                     }});
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  EXPECT_EQ(replayed(subject), (std::vector<int>{1, 2, 11, 12}));
  d->dispose();
}

// --- async subject ---------------------------------------------------------------

TEST(AsyncSubject, EmitsTheLastElementThenCompletedAtTheEnd) {
  auto subject = AsyncSubject<int>::create();
  auto a = RecordingObserver<int>::create();
  auto b = RecordingObserver<int>::create();
  subject->onNext(1);
  subject->subscribe(a);
  subject->subscribe(b);
  subject->onNext(2);
  subject->onNext(3);
  EXPECT_TRUE(a->events().empty());
  subject->onCompleted();
  subject->onNext(4);
  EXPECT_EQ(a->descriptions(), (Log{"next(3)", "completed"}));
  EXPECT_EQ(b->descriptions(), (Log{"next(3)", "completed"}));
  EXPECT_FALSE(subject->hasObservers());
  auto late = RecordingObserver<int>::create();
  subject->subscribe(late);
  EXPECT_EQ(late->descriptions(), (Log{"next(3)", "completed"}));
}

TEST(AsyncSubject, ElementReachesEveryObserverBeforeAnyCompletion) {
  auto subject = AsyncSubject<int>::create();
  Log log;
  auto observer = [&](std::string name) {
    return makeAnonymousObserver<int>(
        [&log, name](const Event<int>& e) { log.push_back(name + " " + describe(e)); });
  };
  subject->subscribe(observer("A"));
  subject->subscribe(observer("B"));
  subject->onNext(1);
  subject->onCompleted();
  EXPECT_EQ(log, (Log{"A next(1)", "B next(1)", "A completed", "B completed"}));
}

TEST(AsyncSubject, CompletedEmptyAndFailed) {
  auto empty = AsyncSubject<int>::create();
  empty->onCompleted();
  auto emptyLate = RecordingObserver<int>::create();
  empty->subscribe(emptyLate);
  EXPECT_EQ(emptyLate->descriptions(), (Log{"completed"}));

  auto failed = AsyncSubject<int>::create();
  auto early = RecordingObserver<int>::create();
  failed->subscribe(early);
  failed->onNext(1);
  failed->onError(makeError("x"));
  auto late = RecordingObserver<int>::create();
  failed->subscribe(late);
  EXPECT_EQ(early->descriptions(), (Log{"error(x)"}));
  EXPECT_EQ(late->descriptions(), (Log{"error(x)"}));
}

}  // namespace
}  // namespace rv
