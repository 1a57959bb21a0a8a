#include <dispatch/DispatchQueue.h>
#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "RvCocoa/SharedSequence.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestSource;

// Appends "<name>:<event>" to a log shared by several observers.
class LoggingObserver final : public ObserverType<int> {
 public:
  LoggingObserver(std::string name, std::vector<std::string>& log)
      : name_(std::move(name)), log_(log) {}
  void on(const Event<int>& event) noexcept override {
    log_.push_back(name_ + ":" + describe(event));
  }

 private:
  std::string name_;
  std::vector<std::string>& log_;
};

class DriveEmitTest : public ::rv::test::MainQueueTest {};

static_assert(detail::kDriveOffMainThreadMessage.size() == 162);

TEST_F(DriveEmitTest, DriveOffTheMainThreadStopsWithTheTwoLineMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Driver<int> driver = Driver<int>::never();
  const char* expected =
      "Fatal error: `drive\\*` family of methods can be only called from `MainThread`\\.\n"
      "This is required to ensure that the last replayed `Driver` element is delivered on "
      "`MainThread`\\.\n";
  EXPECT_DEATH(std::thread([&] { driver.drive(); }).join(), expected);
  EXPECT_DEATH(std::thread([&] { driver.drive(RecordingObserver<int>::create()); }).join(),
               expected);
  EXPECT_DEATH(
      std::thread([&] { driver.drive([](const Ref<Observable<int>>&) { return 1; }); }).join(),
      expected);
}

TEST_F(DriveEmitTest, EmitOnABackgroundThreadSubscribesNormally) {
  auto source = TestSource<int>::create();
  Signal<int> signal(source);
  auto relay = PublishRelay<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto keep = relay->asObservable()->subscribe(recorder);
  Ref<Disposable> subscription;
  std::thread([&] { subscription = signal.emit(relay); }).join();
  source->onNext(5);
  EXPECT_EQ(recorder->elements(), std::vector<int>{5});
  subscription->dispose();
  keep->dispose();
}

TEST_F(DriveEmitTest, ObserversReceiveEveryEventInTheOrderGiven) {
  auto source = PublishSubject<int>::create();
  std::vector<std::string> log;
  auto first = std::make_shared<LoggingObserver>("first", log);
  AnyObserver<int> second(
      [&log](const Event<int>& event) { log.push_back("second:" + describe(event)); });
  auto d = Driver<int>(source).drive(first, second);
  auto e = Signal<int>(source).emit(second, first);
  source->onNext(1);
  source->onCompleted();
  EXPECT_EQ(log, (std::vector<std::string>{"first:next(1)", "second:next(1)", "second:next(1)",
                                           "first:next(1)", "first:completed", "second:completed",
                                           "second:completed", "first:completed"}));
  d->dispose();
  e->dispose();
}

TEST_F(DriveEmitTest, OptionalTargetsReceivePresentOptionals) {
  auto source = PublishSubject<int>::create();
  Driver<int> driver(source);
  Signal<int> signal(source);
  auto behavior = BehaviorRelay<std::optional<int>>::create(std::nullopt);
  auto replay = ReplayRelay<std::optional<int>>::create(2);
  auto plain = BehaviorRelay<int>::create(0);
  auto published = PublishRelay<std::optional<int>>::create();
  auto observer = RecordingObserver<std::optional<int>>::create();
  auto publishedSeen = RecordingObserver<std::optional<int>>::create();
  auto keep = published->asObservable()->subscribe(publishedSeen);

  std::vector<Ref<Disposable>> subscriptions{driver.drive(behavior), driver.drive(replay, replay),
                                             driver.drive(plain), driver.drive(observer),
                                             signal.emit(published)};
  source->onNext(1);
  source->onNext(2);
  source->onCompleted();

  EXPECT_EQ(behavior->value(), std::optional<int>(2));
  EXPECT_EQ(plain->value(), 2) << "completion leaves the relay's value in place";
  auto replayed = RecordingObserver<std::optional<int>>::create();
  auto r = replay->asObservable()->subscribe(replayed);
  EXPECT_EQ(replayed->elements(), (std::vector<std::optional<int>>{2, 2}))
      << "each relay of the list accepts each element";
  EXPECT_EQ(replayed->stopCount(), 0) << "a relay never receives the completion";
  EXPECT_EQ(observer->descriptions(),
            (std::vector<std::string>{"next(Optional(1))", "next(Optional(2))", "completed"}));
  EXPECT_EQ(publishedSeen->elements(), (std::vector<std::optional<int>>{1, 2}));
  for (const auto& s : subscriptions) s->dispose();
  r->dispose();
  keep->dispose();
}

TEST_F(DriveEmitTest, ClosureFormsAndTheFormWithoutHandlers) {
  auto source = TestSource<int>::create();
  Driver<int> driver(source);
  std::vector<std::string> log;
  auto d = driver.drive({.onNext = [&](const int& x) { log.push_back(std::to_string(x)); },
                         .onDisposed = [&] { log.push_back("disposed"); }});
  auto bare = driver.drive();
  auto signalBare = Signal<int>(source).emit();
  EXPECT_EQ(source->observerCount(), 2) << "the Driver shares one; the Signal has its own";
  source->onNext(1);
  d->dispose();
  bare->dispose();
  EXPECT_EQ(source->observerCount(), 1);
  signalBare->dispose();
  EXPECT_EQ(source->observerCount(), 0);
  EXPECT_EQ(log, (std::vector<std::string>{"1", "disposed"}));
}

TEST_F(DriveEmitTest, HandlersWithAReleasedObjectStopButTheSubscriptionStays) {
  auto source = TestSource<int>::create();
  auto object = std::make_shared<std::string>("o");
  std::vector<std::string> log;
  auto d = Driver<int>(source).drive(
      object, {.onNext = [&](const Ref<std::string>& o,
                             const int& x) { log.push_back(*o + std::to_string(x)); },
               .onDisposed = [&](const Ref<std::string>&) { log.push_back("disposed"); }});
  auto e =
      Signal<int>(source).emit(object, {.onNext = [&](const Ref<std::string>& o, const int& x) {
                                 log.push_back("signal " + *o + std::to_string(x));
                               }});
  source->onNext(1);
  object.reset();
  source->onNext(2);
  EXPECT_EQ(source->observerCount(), 2) << "still subscribed";
  d->dispose();
  e->dispose();
  EXPECT_EQ(source->observerCount(), 0);
  EXPECT_EQ(log, (std::vector<std::string>{"o1", "signal o1"}));
}

TEST_F(DriveEmitTest, FunctionFormsReturnTheFunctionsResult) {
  auto source = TestSource<int>::create();
  Driver<int> driver(source);
  int calls = 0;
  auto returned = driver.drive([&](const Ref<Observable<int>>& observable) {
    ++calls;
    EXPECT_TRUE(dispatch::isMainThread());
    EXPECT_EQ(observable, driver.asObservable()) << "the shared source itself";
    return std::string("built");
  });
  EXPECT_EQ(returned, "built");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(source->subscriptionCount(), 0) << "the form subscribes nothing itself";

  auto curried = driver.drive(
      [&](const Ref<Observable<int>>& observable) {
        ++calls;
        return [observable](int offset) { return offset + (observable ? 1 : 0); };
      },
      41);
  EXPECT_EQ(curried, 42);
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace rv
