#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/CurrentThreadScheduler.h"
#include "RvStreams/Just.h"
#include "RvStreams/Map.h"
#include "RvStreams/Subscribe.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::CountingDisposable;
using test::makeError;
using test::RecordingObserver;
using test::TestSource;
using Log = std::vector<std::string>;

// --- observers ---------------------------------------------------------------

TEST(ObserverBase, OneStopEventAndNothingAfterIt) {
  Log log;
  auto observer =
      makeAnonymousObserver<int>([&](const Event<int>& e) { log.push_back(describe(e)); });
  observer->on(Event<int>::next(1));
  observer->on(Event<int>::completed());
  observer->on(Event<int>::error(makeError("late")));
  observer->on(Event<int>::completed());
  observer->on(Event<int>::next(2));
  EXPECT_EQ(log, (Log{"next(1)", "completed"}));
}

TEST(ObserverBase, DisposedObserverDropsEverything) {
  Log log;
  auto observer =
      makeAnonymousObserver<int>([&](const Event<int>& e) { log.push_back(describe(e)); });
  observer->dispose();
  observer->on(Event<int>::next(1));
  observer->on(Event<int>::completed());
  EXPECT_TRUE(log.empty());
}

TEST(AnyObserver, WrapsHandlersAndObservers) {
  auto recorder = RecordingObserver<int>::create();
  AnyObserver<int> any{Ref<ObserverType<int>>(recorder)};
  any.onNext(1);
  AnyObserver<int>([&](const Event<int>& e) { recorder->on(e); }).onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));
}

TEST(MapObserver, FailingTransformBecomesAnError) {
  auto recorder = RecordingObserver<int>::create();
  auto mapped = mapObserver<std::string, int>(recorder, [](const std::string& s) {
    if (s.empty()) throw test::TestError("empty");
    return static_cast<int>(s.size());
  });
  mapped.onNext("abc");
  mapped.onNext("");
  EXPECT_EQ(recorder->descriptions(), (Log{"next(3)", "error(empty)"}));
}

// --- subscribe forms -----------------------------------------------------------

TEST(Subscribe, FourHandlersRunHandlerThenDisposed) {
  Log log;
  auto d = subscribe(just(5),
                     {.onNext = [&](const int& x) { log.push_back("next " + std::to_string(x)); },
                      .onCompleted = [&] { log.push_back("completed"); },
                      .onDisposed = [&] { log.push_back("disposed"); }});
  d->dispose();
  EXPECT_EQ(log, (Log{"next 5", "completed", "disposed"}));
}

TEST(Subscribe, MissingOnErrorGoesToTheDefaultHandlerAndStillDisposes) {
  Log log;
  auto old = Hooks::defaultErrorHandler();
  Hooks::setDefaultErrorHandler([&](const Hooks::CallStack& stack, const Error& e) {
    log.push_back("hook " + describe(e) + std::to_string(stack.size()));
  });
  subscribe(error<int>(makeError("x")), {.onDisposed = [&] { log.push_back("disposed"); }});
  Hooks::setDefaultErrorHandler(old);
  EXPECT_EQ(log, (Log{"hook x0", "disposed"}));
}

TEST(Subscribe, CapturesTheCallStackOnlyWhenAsked) {
  std::vector<size_t> sizes;
  auto oldHandler = Hooks::defaultErrorHandler();
  Hooks::setDefaultErrorHandler(
      [&](const Hooks::CallStack& stack, const Error&) { sizes.push_back(stack.size()); });
  Hooks::setCaptureSubscriptionCallStack([] { return Hooks::CallStack{"frame a", "frame b"}; });
  subscribe(error<int>(makeError()), SubscribeHandlers<int>{});
  Hooks::setRecordCallStackOnError(true);
  subscribe(error<int>(makeError()), SubscribeHandlers<int>{});
  Hooks::setRecordCallStackOnError(false);
  Hooks::setCaptureSubscriptionCallStack([] { return Hooks::CallStack{}; });
  Hooks::setDefaultErrorHandler(oldHandler);
  EXPECT_EQ(sizes, (std::vector<size_t>{0, 2}));
}

TEST(Subscribe, EarlyDisposeRunsOnDisposedOnceAndEndsTheSubscription) {
  auto source = TestSource<int>::create();
  int disposedRuns = 0;
  Log log;
  auto d = subscribe(source, {.onNext = [&](const int& x) { log.push_back(std::to_string(x)); },
                              .onCompleted = [&] { log.push_back("completed"); },
                              .onDisposed = [&] { ++disposedRuns; }});
  source->onNext(1);
  d->dispose();
  source->onNext(2);
  source->onCompleted();
  d->dispose();
  EXPECT_EQ(disposedRuns, 1);
  EXPECT_EQ(log, (Log{"1"}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(Subscribe, EventHandlerFormAndPipeForms) {
  Log log;
  auto recordEvent = [&](const Event<int>& e) { log.push_back(describe(e)); };
  subscribe(just(1), recordEvent);
  just(2) | rv::subscribe(recordEvent);
  just(3) | rv::subscribe<int>({.onNext = [&](const int& x) { log.push_back(std::to_string(x)); }});
  EXPECT_EQ(log, (Log{"next(1)", "completed", "next(2)", "completed", "3"}));
}

TEST(Subscribe, WeakObjectFormStopsCallingOnceTheObjectIsGone) {
  auto source = TestSource<int>::create();
  auto owner = std::make_shared<std::string>("owner");
  Log log;
  int hookCalls = 0;
  auto old = Hooks::defaultErrorHandler();
  Hooks::setDefaultErrorHandler([&](const Hooks::CallStack&, const Error&) { ++hookCalls; });
  auto d = subscribe(source, owner,
                     {.onNext = [&](const Ref<std::string>& o,
                                    const int& x) { log.push_back(*o + std::to_string(x)); },
                      .onDisposed = [&](const Ref<std::string>&) { log.push_back("disposed"); }});
  source->onNext(1);
  owner.reset();
  source->onNext(2);
  EXPECT_EQ(source->observerCount(), 1);  // still subscribed
  source->onError(makeError());
  Hooks::setDefaultErrorHandler(old);
  d->dispose();
  EXPECT_EQ(log, (Log{"owner1"}));
  EXPECT_EQ(hookCalls, 0);
}

// --- producer, sink and disposer ------------------------------------------------

TEST(Producer, DisposeInsideTheSourceSubscribeDisposesSinkThenSubscriptionWhenSet) {
  Log log;
  auto source = create<int>([&](AnyObserver<int> observer) -> Ref<Disposable> {
    observer.onNext(1);
    observer.onCompleted();  // disposes the sink while run is still running
    log.push_back("handler returns");
    return CountingDisposable::create("subscription", &log);
  });
  auto recorder = RecordingObserver<int>::create();
  source->subscribe(recorder);
  EXPECT_EQ(log, (Log{"handler returns", "subscription"}));
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));
}

TEST(Producer, DisposingTwiceDisposesOnce) {
  auto inner = CountingDisposable::create();
  auto source = create<int>([&](AnyObserver<int>) -> Ref<Disposable> { return inner; });
  auto d = source->subscribe(RecordingObserver<int>::create());
  d->dispose();
  d->dispose();
  EXPECT_EQ(inner->count(), 1);
}

TEST(Producer, EventsAfterCompletionAreDropped) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | map([](const int& x) { return x; }))->subscribe(recorder);
  source->onCompleted();
  source->onNext(3);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
  EXPECT_EQ(source->observerCount(), 0);
  d->dispose();
}

using SinkDisposerDeathTest = test::DeathTestBase;

TEST_F(SinkDisposerDeathTest, SettingTwiceStops) {
  EXPECT_DEATH(
      {
        SinkDisposer disposer;
        disposer.setSinkAndSubscription(Disposables::create(), Disposables::create());
        disposer.setSinkAndSubscription(Disposables::create(), Disposables::create());
      },
      "Sink and subscription were already set");
}

TEST(SinkDisposer, DisposeBeforeSetDisposesOnSetSinkFirst) {
  Log log;
  SinkDisposer disposer;
  disposer.dispose();
  EXPECT_TRUE(disposer.isDisposed());
  disposer.setSinkAndSubscription(CountingDisposable::create("sink", &log),
                                  CountingDisposable::create("subscription", &log));
  disposer.dispose();
  EXPECT_EQ(log, (Log{"sink", "subscription"}));
}

// --- trampoline ----------------------------------------------------------------

TEST(CurrentThreadScheduler, NestedScheduleRunsAfterTheCurrentActionInFifoOrder) {
  Log log;
  auto& scheduler = CurrentThreadScheduler::instance();
  scheduler->schedule(0, [&](int) {
    log.push_back("outer");
    scheduler->schedule(0, [&](int) {
      log.push_back("a");
      scheduler->schedule(0, [&](int) {
        log.push_back("c");
        return Disposables::create();
      });
      return Disposables::create();
    });
    scheduler->schedule(0, [&](int) {
      log.push_back("b");
      return Disposables::create();
    });
    log.push_back("outer done");
    EXPECT_FALSE(CurrentThreadScheduler::isScheduleRequired());
    return Disposables::create();
  });
  EXPECT_EQ(log, (Log{"outer", "outer done", "a", "b", "c"}));
  EXPECT_TRUE(CurrentThreadScheduler::isScheduleRequired());
  EXPECT_FALSE(CurrentThreadScheduler::hasQueue());
}

TEST(CurrentThreadScheduler, DisposedItemIsSkipped) {
  Log log;
  auto& scheduler = CurrentThreadScheduler::instance();
  scheduler->schedule(0, [&](int) {
    auto item = scheduler->schedule(0, [&](int) {
      log.push_back("never");
      return Disposables::create();
    });
    item->dispose();
    return Disposables::create();
  });
  EXPECT_TRUE(log.empty());
}

TEST(CurrentThreadScheduler, OutermostReturnsTheActionsDisposableWithoutAQueue) {
  auto result = CountingDisposable::create();
  bool queueDuringAction = true;
  auto d = CurrentThreadScheduler::instance()->schedule(0, [&](int) -> Ref<Disposable> {
    queueDuringAction = CurrentThreadScheduler::hasQueue();
    return result;
  });
  EXPECT_EQ(d, result);
  EXPECT_FALSE(queueDuringAction);
}

TEST(CurrentThreadScheduler, ItemDisposedAfterItRanDisposesTheResult) {
  auto result = CountingDisposable::create();
  Ref<Disposable> item;
  CurrentThreadScheduler::instance()->schedule(0, [&](int) {
    item = CurrentThreadScheduler::instance()->schedule(
        0, [&](int) -> Ref<Disposable> { return result; });
    return Disposables::create();
  });
  EXPECT_EQ(result->count(), 0);
  item->dispose();
  EXPECT_EQ(result->count(), 1);
}

TEST(CurrentThreadScheduler, StateIsResetWhenAnActionThrows) {
  auto& scheduler = CurrentThreadScheduler::instance();
  EXPECT_THROW(scheduler->schedule(0,
                                   [&](int) -> Ref<Disposable> {
                                     scheduler->schedule(0,
                                                         [](int) { return Disposables::create(); });
                                     throw std::runtime_error("abnormal end");
                                   }),
               std::runtime_error);
  EXPECT_TRUE(CurrentThreadScheduler::isScheduleRequired());
  EXPECT_FALSE(CurrentThreadScheduler::hasQueue());
  Log log;
  scheduler->schedule(0, [&](int) {
    log.push_back("runs");
    return Disposables::create();
  });
  EXPECT_EQ(log, (Log{"runs"}));
}

TEST(CurrentThreadScheduler, SubscriptionInsideASubscriptionRunsAtOnce) {
  Log log;
  auto inner = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    log.push_back("inner subscribed");
    o.onCompleted();
    return Disposables::create();
  });
  auto outer = create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    auto d = inner->subscribe(RecordingObserver<int>::create());
    log.push_back("outer continues");
    o.onCompleted();
    return d;
  });
  outer->subscribe(RecordingObserver<int>::create());
  EXPECT_EQ(log, (Log{"inner subscribed", "outer continues"}));
}

}  // namespace
}  // namespace rv
