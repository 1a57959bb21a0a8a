#include <gtest/gtest.h>

#include <list>
#include <ranges>
#include <string>
#include <vector>

#include "RvStreams/PrimitiveSequence.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/Reports.h"

namespace rv {
namespace {

using test::CountingDisposable;
using test::ErrorHookCapture;
using test::makeError;
using test::record;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

// --- Maybe ---

TEST(Maybe, CreateLetsOnlyTheFirstOutcomeThrough) {
  auto maybe = Maybe<int>::create([](MaybeObserver<int> observer) {
    observer(MaybeEvent<int>::completed());
    observer(MaybeEvent<int>::success(1));
    return Disposables::create();
  });
  EXPECT_EQ(record(maybe)->descriptions(), (Log{"completed"}));

  auto failing = Maybe<int>::create([](MaybeObserver<int> observer) {
    observer(MaybeEvent<int>::error(makeError("e")));
    observer(MaybeEvent<int>::completed());
    return Disposables::create();
  });
  EXPECT_EQ(record(failing)->descriptions(), (Log{"error(e)"}));
}

TEST(Maybe, SuccessIsReportedOnceAndTheFollowingCompletionNot) {
  auto maybe = Maybe<int>::create([](MaybeObserver<int> observer) {
    observer(MaybeEvent<int>::success(4));
    return Disposables::create();
  });
  EXPECT_EQ(record(maybe)->descriptions(), (Log{"next(4)", "completed"}));
  Log log;
  maybe.subscribe([&](const MaybeEvent<int>& e) { log.push_back(describe(e)); });
  Maybe<int>::empty().subscribe([&](const MaybeEvent<int>& e) { log.push_back(describe(e)); });
  EXPECT_EQ(log, (Log{"success(4)", "completed"}));
}

TEST(Maybe, OnCompletedThenOnDisposedEachOnce) {
  Log log;
  auto d =
      Maybe<int>::empty().subscribe({.onSuccess = [&](const int&) { log.push_back("success"); },
                                     .onCompleted = [&] { log.push_back("completed"); },
                                     .onDisposed = [&] { log.push_back("disposed"); }});
  d->dispose();
  EXPECT_EQ(log, (Log{"completed", "disposed"}));
}

TEST(Maybe, ErrorWithoutHandlerGoesToTheHookWithAnEmptyCallStack) {
  ErrorHookCapture hook;
  Maybe<int>::error(makeError("lost")).subscribe(MaybeSubscribeHandlers<int>{});
  EXPECT_EQ(hook.errors(), (Log{"lost"}));
  ASSERT_EQ(hook.stacks().size(), 1u);
  EXPECT_TRUE(hook.stacks()[0].empty());

  Log log;
  Maybe<int>::error(makeError("handled")).subscribe({.onError = [&](const Error& e) {
    log.push_back(describe(e));
  }});
  EXPECT_EQ(log, (Log{"handled"}));
  EXPECT_EQ(hook.errors().size(), 1u);
}

TEST(Maybe, SubscribeWithObjectPassesItWhileAliveAndDropsErrors) {
  ErrorHookCapture hook;
  auto object = std::make_shared<std::string>("owner");
  Log log;
  Maybe<int>::just(2).subscribe(
      object, {.onSuccess = [&](const Ref<std::string>& o,
                                const int& x) { log.push_back(*o + " " + std::to_string(x)); },
               .onCompleted = [&](const Ref<std::string>&) { log.push_back("completed"); }});
  Maybe<int>::error(makeError()).subscribe(object, {});
  EXPECT_EQ(log, (Log{"owner 2"}));
  EXPECT_TRUE(hook.errors().empty());

  auto source = TestSource<int>::create();
  int calls = 0;
  auto d = Maybe<int>(source).subscribe(object,
                                        {.onCompleted = [&](const Ref<std::string>&) { ++calls; },
                                         .onDisposed = [&](const Ref<std::string>&) { ++calls; }});
  object.reset();
  source->onCompleted();
  d->dispose();
  EXPECT_EQ(calls, 0);
}

TEST(Maybe, IfEmptyDefaultMakesASingle) {
  Single<int> fromEmpty = Maybe<int>::empty().ifEmptyDefault(5);
  EXPECT_EQ(record(fromEmpty)->descriptions(), (Log{"next(5)", "completed"}));
  Single<int> fromElement = Maybe<int>::just(1).ifEmptyDefault(5);
  EXPECT_EQ(record(fromElement)->descriptions(), (Log{"next(1)", "completed"}));
}

TEST(Maybe, IfEmptySwitchToSubscribesTheOtherOnlyAfterTheEmptyCompletion) {
  auto source = TestSource<int>::create();
  auto other = TestSource<int>::create();
  Single<int> switched = Maybe<int>(source).ifEmptySwitchTo(Single<int>(other));
  auto recorder = record(switched);
  EXPECT_EQ(other->subscriptionCount(), 0);
  source->onCompleted();
  EXPECT_EQ(other->subscriptionCount(), 1);
  other->onNext(8);
  other->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(8)", "completed"}));

  Maybe<int> maybeOther = Maybe<int>::just(3).ifEmptySwitchTo(Maybe<int>::empty());
  EXPECT_EQ(record(maybeOther)->descriptions(), (Log{"next(3)", "completed"}));
}

TEST(Maybe, OperatorsKeepTheShape) {
  EXPECT_EQ(record(Maybe<int>::just(2).map([](int x) { return x + 1; }))->descriptions(),
            (Log{"next(3)", "completed"}));
  EXPECT_EQ(record(Maybe<int>::just(2).filter([](int x) { return x > 2; }))->descriptions(),
            (Log{"completed"}));
  EXPECT_EQ(record(Maybe<int>::just(2).compactMap([](int x) -> std::optional<std::string> {
              return std::to_string(x);
            }))->elements(),
            (std::vector<std::string>{"2"}));
  EXPECT_EQ(
      record(Maybe<int>::just(2).flatMap([](int) { return Maybe<int>::empty(); }))->descriptions(),
      (Log{"completed"}));
  EXPECT_EQ(record(Maybe<int>::error(makeError()).catchAndReturn(6))->descriptions(),
            (Log{"next(6)", "completed"}));
  EXPECT_EQ(record(Maybe<int>::never())->descriptions(), Log{});
}

TEST(Maybe, DoPassesAllNineHandlersThrough) {
  Log log;
  auto d = Maybe<int>::empty()
               .doOn({.onCompleted = [&] { log.push_back("onCompleted"); },
                      .afterCompleted = [&] { log.push_back("afterCompleted"); }})
               .subscribe({.onCompleted = [&] { log.push_back("subscriber"); }});
  EXPECT_EQ(log, (Log{"onCompleted", "subscriber", "afterCompleted"}));
  d->dispose();
}

// --- Completable ---

TEST(Completable, CreateLetsOnlyTheFirstOutcomeThrough) {
  auto completable = Completable::create([](CompletableObserver observer) {
    observer(CompletableEvent::completed());
    observer(CompletableEvent::error(makeError()));
    return Disposables::create();
  });
  EXPECT_EQ(record(completable)->descriptions(), (Log{"completed"}));
  Log log;
  completable.subscribe([&](const CompletableEvent& e) { log.push_back(describe(e)); });
  EXPECT_EQ(log, (Log{"completed"}));
}

TEST(Completable, EmptyCompletesAtSubscriptionAndNeverOnlyRunsOnDisposed) {
  Log log;
  Completable::empty().subscribe({.onCompleted = [&] { log.push_back("completed"); }});
  EXPECT_EQ(log, (Log{"completed"}));
  auto d = Completable::never().subscribe({.onCompleted = [&] { log.push_back("completed"); },
                                           .onError = [&](const Error&) { log.push_back("error"); },
                                           .onDisposed = [&] { log.push_back("disposed"); }});
  d->dispose();
  d->dispose();
  EXPECT_EQ(log, (Log{"completed", "disposed"}));
}

TEST(Completable, ErrorWithoutHandlerGoesToTheHookButTheObjectFormDropsIt) {
  ErrorHookCapture hook;
  Completable::error(makeError("lost")).subscribe(CompletableSubscribeHandlers{});
  EXPECT_EQ(hook.errors(), (Log{"lost"}));
  EXPECT_TRUE(hook.stacks().at(0).empty());

  auto object = std::make_shared<int>(3);
  Log log;
  Completable::error(makeError("dropped")).subscribe(object, {.onDisposed = [&](const Ref<int>& o) {
                                                       log.push_back("disposed " +
                                                                     std::to_string(*o));
                                                     }});
  EXPECT_EQ(hook.errors(), (Log{"lost"}));
  EXPECT_EQ(log, (Log{"disposed 3"}));
}

TEST(Completable, ConcatStopsAtTheFirstErrorWithoutSubscribingTheRest) {
  auto first = TestSource<Never>::create();
  auto second = TestSource<Never>::create();
  auto third = TestSource<Never>::create();
  auto recorder =
      record(Completable::concat(Completable(first), Completable(second), Completable(third)));
  EXPECT_EQ(second->subscriptionCount(), 0);
  first->onCompleted();
  EXPECT_EQ(second->subscriptionCount(), 1);
  second->onError(makeError("second"));
  EXPECT_EQ(third->subscriptionCount(), 0);
  EXPECT_EQ(recorder->descriptions(), (Log{"error(second)"}));
}

TEST(Completable, ConcatWithASecondRunsSelfFirst) {
  Log log;
  auto tagged = [&](std::string name) {
    return Completable::empty().doOn({.onSubscribe = [&log, name] { log.push_back(name); }});
  };
  auto recorder = record(tagged("self").concat(tagged("second")));
  EXPECT_EQ(log, (Log{"self", "second"}));
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

// Completables 1 to 3, each made only when its iterator is read, the second
// failing; the range knows no size, so it must be walked one step at a time.
struct LazyCompletables {
  struct iterator {
    using value_type = Completable;
    using difference_type = std::ptrdiff_t;
    int id = 0;
    int* made = nullptr;
    Completable operator*() const {
      ++*made;
      return id == 2 ? Completable::error(makeError("at 2")) : Completable::empty();
    }
    iterator& operator++() {
      ++id;
      return *this;
    }
    iterator operator++(int) {
      auto before = *this;
      ++id;
      return before;
    }
    bool operator==(const iterator& other) const { return id == other.id; }
  };
  int* made;
  iterator begin() const { return {1, made}; }
  iterator end() const { return {4, made}; }
};
static_assert(std::ranges::forward_range<const LazyCompletables>);
static_assert(!std::ranges::sized_range<const LazyCompletables>);

TEST(Completable, ConcatOverCollectionsAndLazyRanges) {
  std::list<Completable> none;
  EXPECT_EQ(record(Completable::concat(none))->descriptions(), (Log{"completed"}));

  // A range without a size is read lazily: nothing after the failure is made.
  int made = 0;
  LazyCompletables lazy{&made};
  EXPECT_EQ(record(Completable::concat(lazy))->descriptions(), (Log{"error(at 2)"}));
  EXPECT_EQ(made, 2);

  std::vector<Completable> failing{Completable::empty(), Completable::error(makeError("e"))};
  EXPECT_EQ(record(Completable::concat(failing))->descriptions(), (Log{"error(e)"}));
}

TEST(Completable, ZipWaitsForAllAndFailsAtOnce) {
  auto never = RecordingObserver<Never>::create();
  auto subscription =
      Completable::zip(Completable::empty(), Completable::never()).asObservable()->subscribe(never);
  EXPECT_EQ(never->descriptions(), Log{});
  subscription->dispose();

  auto pending = TestSource<Never>::create();
  auto failing = TestSource<Never>::create();
  auto recorder = record(
      Completable::zip(std::vector<Completable>{Completable(pending), Completable(failing)}));
  failing->onError(makeError("f"));
  EXPECT_EQ(recorder->descriptions(), (Log{"error(f)"}));
  EXPECT_EQ(pending->observerCount(), 0);

  EXPECT_EQ(record(Completable::zip(std::vector<Completable>{}))->descriptions(),
            (Log{"completed"}));
  EXPECT_EQ(record(Completable::zip(Completable::empty(), Completable::empty()))->descriptions(),
            (Log{"completed"}));
}

TEST(Completable, DoAfterCompletedRunsAfterTheSubscriber) {
  Log log;
  Completable::empty()
      .doOn({.onCompleted = [&] { log.push_back("onCompleted"); },
             .afterCompleted = [&] { log.push_back("afterCompleted"); }})
      .subscribe({.onCompleted = [&] { log.push_back("subscriber"); }});
  EXPECT_EQ(log, (Log{"onCompleted", "subscriber", "afterCompleted"}));

  log.clear();
  Completable::error(makeError("e"))
      .doOn({.onError = [&](const Error&) -> void { throw TestError("handler"); }})
      .subscribe({.onError = [&](const Error& e) { log.push_back(describe(e)); }});
  EXPECT_EQ(log, (Log{"handler"}));
}

}  // namespace
}  // namespace rv
