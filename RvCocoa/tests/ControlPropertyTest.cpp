#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "RvCocoa/BehaviorRelayDriver.h"
#include "RvCocoa/ControlEvent.h"
#include "RvCocoa/ControlProperty.h"
#include "RvStreams/Create.h"
#include "RvStreams/Just.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestKit.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/MainLoop.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestSource;

class ControlPropertyTest : public ::rv::test::MainQueueTest {};

// A source that records, per subscription and disposal, whether it ran on
// the main thread.
struct ThreadLog {
  std::mutex mutex;
  std::vector<std::string> entries;
  void add(const std::string& what) {
    std::lock_guard<std::mutex> guard(mutex);
    entries.push_back(what + (dispatch::isMainThread() ? " on main" : " elsewhere"));
  }
  std::vector<std::string> read() {
    std::lock_guard<std::mutex> guard(mutex);
    return entries;
  }
};

Ref<Observable<int>> loggedSource(ThreadLog& log) {
  return rv::create<int>([&log](AnyObserver<int> observer) -> Ref<Disposable> {
    log.add("subscribe");
    observer.onNext(7);
    return Disposables::create([&log] { log.add("dispose"); });
  });
}

TEST_F(ControlPropertyTest, ControlEventSubscribesAndDisposesOnTheMainThread) {
  ThreadLog log;
  ControlEvent<int> event(loggedSource(log));
  auto observer = RecordingObserver<int>::create();

  Ref<Disposable> subscription = event.subscribe(observer);
  EXPECT_EQ(log.read(), std::vector<std::string>{"subscribe on main"})
      << "on the main thread it subscribes before subscribe returns";
  EXPECT_EQ(observer->elements(), std::vector<int>{7});
  subscription->dispose();
  EXPECT_EQ(log.read().back(), "dispose on main");

  ThreadLog background;
  ControlEvent<int> other(loggedSource(background));
  auto seen = RecordingObserver<int>::create();
  Ref<Disposable> fromBackground;
  std::thread([&] { fromBackground = other.subscribe(seen); }).join();
  EXPECT_TRUE(background.read().empty()) << "posted to the main queue";
  drain();
  EXPECT_EQ(background.read(), std::vector<std::string>{"subscribe on main"});
  std::thread([&] { fromBackground->dispose(); }).join();
  drain();
  EXPECT_EQ(background.read().back(), "dispose on main");
  EXPECT_EQ(seen->elements(), std::vector<int>{7});
}

TEST_F(ControlPropertyTest, AnErrorWrittenToAPropertyIsPrintedAndKeptFromTheSink) {
  auto sink = RecordingObserver<int>::create();
  ControlProperty<int> property(rv::just(1), Ref<ObserverType<int>>(sink));

  property.onNext(1);
  ::testing::internal::CaptureStdout();
  property.onError(test::makeError("boom"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Binding error: boom\n");
  property.onNext(2);
  property.onCompleted();
  EXPECT_EQ(sink->descriptions(), (std::vector<std::string>{"next(1)", "next(2)", "completed"}))
      << "the sink never sees the error, and the property stays usable";

  // Subscribed to a source as an observer value, it behaves the same.
  auto second = RecordingObserver<int>::create();
  ControlProperty<int> other(rv::just(1), AnyObserver<int>(Ref<ObserverType<int>>(second)));
  auto source = TestSource<int>::create();
  auto d = source->subscribe(std::make_shared<AnyObserver<int>>(other.asObserver()));
  source->onNext(5);
  ::testing::internal::CaptureStdout();
  source->onError(test::makeError("late"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Binding error: late\n");
  EXPECT_EQ(second->descriptions(), std::vector<std::string>{"next(5)"});
}

TEST_F(ControlPropertyTest, ChangedLeavesOutTheValueAtSubscription) {
  auto source = rv::create<int>([](AnyObserver<int> observer) -> Ref<Disposable> {
    observer.onNext(10);  // the current value
    observer.onNext(11);
    observer.onNext(12);
    return Disposables::create();
  });
  ControlProperty<int> property(source, AnyObserver<int>([](const Event<int>&) {}));
  auto all = RecordingObserver<int>::create();
  auto changes = RecordingObserver<int>::create();
  auto a = property.subscribe(all);
  auto b = property.changed().subscribe(changes);
  EXPECT_EQ(all->elements(), (std::vector<int>{10, 11, 12}));
  EXPECT_EQ(changes->elements(), (std::vector<int>{11, 12}));
  a->dispose();
  b->dispose();
}

TEST_F(ControlPropertyTest, OrEmptyReadsAbsentAsEmptyAndWritesPresentStrings) {
  using Text = std::optional<std::string>;
  auto source = TestSource<Text>::create();
  auto written = RecordingObserver<Text>::create();
  ControlProperty<Text> property(source, Ref<ObserverType<Text>>(written));
  ControlProperty<std::string> orEmpty = property.orEmpty();

  auto seen = RecordingObserver<std::string>::create();
  auto d = orEmpty.subscribe(seen);
  source->onNext(std::nullopt);
  source->onNext(Text("abc"));
  EXPECT_EQ(seen->elements(), (std::vector<std::string>{"", "abc"}));

  orEmpty.onNext("xyz");
  orEmpty.onNext("");
  ASSERT_EQ(written->elements().size(), 2u);
  EXPECT_EQ(written->elements()[0], Text("xyz"));
  EXPECT_EQ(written->elements()[1], Text("")) << "an empty string is written as present";
  ::testing::internal::CaptureStdout();
  orEmpty.onError(test::makeError("bad"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Binding error: bad\n");
  EXPECT_EQ(written->stopCount(), 0);
  d->dispose();
}

TEST_F(ControlPropertyTest, TraitConversionsTurnAFailureIntoCompletion) {
  auto source = TestSource<int>::create();
  ControlEvent<int> event(source);
  ControlProperty<int> property(source, AnyObserver<int>([](const Event<int>&) {}));

  auto driver = RecordingObserver<int>::create();
  auto signal = RecordingObserver<int>::create();
  auto infallible = RecordingObserver<int>::create();
  auto propertyDriver = RecordingObserver<int>::create();
  auto a = event.asDriver().asObservable()->subscribe(driver);
  auto b = event.asSignal().asObservable()->subscribe(signal);
  auto c = event.asInfallible().asObservable()->subscribe(infallible);
  auto d = property.asDriver().asObservable()->subscribe(propertyDriver);
  source->onNext(1);
  source->onError(test::makeError());
  drain();
  const std::vector<std::string> expected{"next(1)", "completed"};
  EXPECT_EQ(driver->descriptions(), expected);
  EXPECT_EQ(signal->descriptions(), expected);
  EXPECT_EQ(infallible->descriptions(), expected);
  EXPECT_EQ(propertyDriver->descriptions(), expected);
}

TEST_F(ControlPropertyTest, BehaviorRelayDriverReplaysTheCurrentValueOnTheMainThread) {
  auto relay = BehaviorRelay<int>::create(1);
  Driver<int> driver = asDriver(relay);
  auto first = RecordingObserver<int>::create();
  Ref<Disposable> a;
  std::thread([&] { a = driver.asObservable()->subscribe(first); }).join();
  EXPECT_TRUE(first->elements().empty()) << "delivered through the main queue";
  drain();
  EXPECT_EQ(first->elements(), std::vector<int>{1});

  relay->accept(2);
  drain();
  auto second = RecordingObserver<int>::create();
  auto b = driver.asObservable()->subscribe(second);
  EXPECT_EQ(second->elements(), std::vector<int>{2}) << "the latest value, at once";
  a->dispose();
  b->dispose();

  auto third = RecordingObserver<int>::create();
  auto c = driver.asObservable()->subscribe(third);
  drain();
  EXPECT_EQ(third->elements(), std::vector<int>{2}) << "a new connection reads the relay anew";
  c->dispose();
}

}  // namespace
}  // namespace rv
