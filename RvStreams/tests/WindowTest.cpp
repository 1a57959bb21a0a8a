#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RvStreams/Window.h"
#include "RvStreamsTest/QueuedScheduler.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::completedAt;
using test::errorAt;
using test::makeError;
using test::nextAt;
using test::QueuedScheduler;
using test::Subscription;
using test::TestScheduler;
using test::TestSource;
using DTI = DispatchTimeInterval;
using Log = std::vector<std::string>;
using Window = Ref<Observable<int>>;

// Subscribes to every window as it is emitted and logs, stamped with the
// clock: "t open i" for window i, "t i:<event>" for its events, "t <event>"
// for the output's stop event.
class WindowRecorder {
 public:
  explicit WindowRecorder(std::function<std::string()> clock) : clock_(std::move(clock)) {}
  ~WindowRecorder() {
    for (auto& subscription : windowSubscriptions) subscription->dispose();
  }

  Ref<ObserverType<Window>> observer() {
    return makeAnonymousObserver<Window>([this](const Event<Window>& event) {
      if (const Window* window = event.element()) {
        const int index = windows_++;
        log.push_back(clock_() + " open " + std::to_string(index));
        windowSubscriptions.push_back(
            (*window)->subscribe(makeAnonymousObserver<int>([this, index](const Event<int>& e) {
              log.push_back(clock_() + " " + std::to_string(index) + ":" + describe(e));
            })));
      } else {
        log.push_back(clock_() + " " + (event.isCompleted() ? "completed" : "error"));
      }
    });
  }

  Log log;
  std::vector<Ref<Disposable>> windowSubscriptions;

 private:
  std::function<std::string()> clock_;
  int windows_ = 0;
};

struct WindowFixture : ::testing::Test {
  Ref<TestScheduler> scheduler = TestScheduler::create();
  WindowRecorder recorder{[this] { return std::to_string(scheduler->clock()); }};

  // Subscribes at 200, disposes the outer subscription at `disposeAt`.
  void run(const Ref<Observable<Window>>& windows, int64_t disposeAt = 1000) {
    Ref<Disposable> subscription;
    scheduler->scheduleAt(200, [&] { subscription = windows->subscribe(recorder.observer()); });
    scheduler->scheduleAt(disposeAt, [&] { subscription->dispose(); });
    scheduler->start();
  }
};

TEST_F(WindowFixture, AFullWindowClosesAndTheNextOpensAtOnce) {
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(211, 2), nextAt(212, 3), completedAt<int>(250)});
  run(xs | window(DTI::seconds(100), 2, scheduler));
  EXPECT_EQ(recorder.log, (Log{"200 open 0", "210 0:next(1)", "211 0:next(2)", "211 0:completed",
                               "211 open 1", "212 1:next(3)", "250 1:completed", "250 completed"}));
}

TEST_F(WindowFixture, QuietTimeSpansCloseEmptyWindows) {
  auto xs = scheduler->createHotObservable<int>({});
  run(xs | window(DTI::seconds(20), 5, scheduler), 245);
  // Window 2 was subscribed, so it kept the timer going past the outer
  // disposal until it closed; no window opened after the disposal is emitted.
  EXPECT_EQ(recorder.log, (Log{"200 open 0", "220 0:completed", "220 open 1", "240 1:completed",
                               "240 open 2", "260 2:completed"}));
}

TEST_F(WindowFixture, ACountOfZeroOrLessClosesByTimeOnly) {
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(211, 2)});
  run(xs | window(DTI::seconds(20), 0, scheduler), 225);
  EXPECT_EQ(recorder.log, (Log{"200 open 0", "210 0:next(1)", "211 0:next(2)", "220 0:completed",
                               "220 open 1", "240 1:completed"}));
}

TEST_F(WindowFixture, ASourceErrorReachesTheOpenWindowAndTheOutput) {
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), errorAt<int>(215, makeError())});
  run(xs | window(DTI::seconds(100), 5, scheduler));
  ASSERT_EQ(recorder.log.size(), 4u);
  EXPECT_EQ(recorder.log[1], "210 0:next(1)");
  EXPECT_EQ(recorder.log[2].rfind("215 0:error(", 0), 0u);
  EXPECT_EQ(recorder.log[3], "215 error");
  EXPECT_EQ(xs->subscriptions(), (std::vector<Subscription>{{200, 215}}));
}

TEST_F(WindowFixture, AWindowSubscriptionOutlivesTheOuterOne) {
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(220, 2), nextAt(230, 3)});
  scheduler->scheduleAt(240, [&] {
    for (auto& subscription : recorder.windowSubscriptions) subscription->dispose();
  });
  run(xs | window(DTI::seconds(100), 10, scheduler), 215);
  EXPECT_EQ(recorder.log, (Log{"200 open 0", "210 0:next(1)", "220 0:next(2)", "230 0:next(3)"}));
  // The outer subscription ended at 215; the source was released only when
  // the window subscription ended too.
  EXPECT_EQ(xs->subscriptions(), (std::vector<Subscription>{{200, 240}}));
}

TEST(Window, AStaleTimerOfAWindowClosedByCountOpensNothing) {
  auto scheduler = QueuedScheduler::create();  // cancelled timers still fire
  auto source = TestSource<int>::create();
  WindowRecorder recorder([] { return std::string("-"); });
  auto subscription =
      (source | window(DTI::seconds(20), 2, scheduler))->subscribe(recorder.observer());
  source->onNext(1);
  source->onNext(2);  // closes window 0 by count; window 1's timer starts
  ASSERT_EQ(scheduler->waiting(), 2u);
  scheduler->run(0);  // window 0's timer, cancelled too late
  EXPECT_EQ(recorder.log,
            (Log{"- open 0", "- 0:next(1)", "- 0:next(2)", "- 0:completed", "- open 1"}));
  scheduler->run(0);  // window 1's timer
  EXPECT_EQ(recorder.log.back(), "- open 2");
  subscription->dispose();
  scheduler->clear();
}

}  // namespace
}  // namespace rv
